#include "panel/Form1.h"

#include "model/BitConversion.h"
#include "model/Module1.h"
#include "panel/DecimalText.h"
#include "port/FrameWriter.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include <stdexcept>

void Form1::Connect_Handlers() {
    connect(vsbInputCode1, &QScrollBar::valueChanged, this,
            [this] { Run_Handler([this] { vsbInputCode1_Change(); }); });
    for (int k = 0; k < Bit_Count; ++k) {
        connect(vsbBit[k], &QScrollBar::valueChanged, this,
                [this, k] { Run_Handler([this, k] { vsbBit_Change(k); }); });
    }
    connect(cmdRun, &QPushButton::clicked, this,
            [this] { Run_Handler([this] { cmdRun_Click(); }); });
    connect(cmdZS, &QPushButton::clicked, this, [this] { Run_Handler([this] { cmdZS_Click(); }); });
    connect(cmdMS, &QPushButton::clicked, this, [this] { Run_Handler([this] { cmdMS_Click(); }); });
    connect(cmdFS, &QPushButton::clicked, this, [this] { Run_Handler([this] { cmdFS_Click(); }); });
    connect(cmdExit, &QPushButton::clicked, this,
            [this] { Run_Handler([this] { cmdExit_Click(); }); });
}

void Form1::Report_Failure(std::exception_ptr failure) noexcept {
    // Only the first failure is news: once the port has failed, every later
    // write refuses at once, and those refusals say nothing new.
    if (failed_) {
        return;
    }
    failed_ = true;
    QString what;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        what = QString::fromLocal8Bit(e.what());
    } catch (...) {
        what = QStringLiteral("an unexpected failure inside the panel");
    }
    if (on_failure_) {
        on_failure_(what);
    }
}

void Form1::Get_Data_Byte_from_Bits(double& target) const {
    ::Get_Data_Byte_from_Bits(bits_, target);
}

void Form1::Set_Bits_from_Data_Byte() {
    ::Set_Bits_from_Data_Byte(bits_);
}

void Form1::vsbInputCode1_Change() {
    txtDisplay1->setText(Decimal_Text(vsbInputCode1->value()));
    Module1::Data_Byte = vsbInputCode1->value();
    Set_Bits_from_Data_Byte();
    Read_Write_Bits_to_Parallel_Port();
}

void Form1::vsbBit_Change(int /*Index*/) {
    for (int i = 0; i < Bit_Count; ++i) {
        txtBit[i]->setText(Decimal_Text(vsbBit[i]->value()));
    }
    double composed = 0;
    Get_Data_Byte_from_Bits(composed);
    txtSDA_Write->setText(Decimal_Text(composed));
}

void Form1::cmdRun_Click() {
    Get_Data_Byte_from_Bits(Module1::Data_Byte);
    Read_Write_Bits_to_Parallel_Port();
}

void Form1::cmdZS_Click() {
    for (int i = 0; i < Bit_Count; ++i) {
        vsbBit[i]->setValue(0);
    }
    vsbInputCode1->setValue(0);
    cmdRun_Click();
}

void Form1::cmdMS_Click() {
    vsbBit[6]->setValue(1);
    for (int i = 0; i <= 5; ++i) {
        vsbBit[i]->setValue(0);
    }
    vsbInputCode1->setValue(64);
    cmdRun_Click();
}

void Form1::cmdFS_Click() {
    for (int i = 0; i < Bit_Count; ++i) {
        vsbBit[i]->setValue(1);
    }
    vsbInputCode1->setValue(127);
    cmdRun_Click();
}

void Form1::cmdExit_Click() {
    QCoreApplication::exit(0);
}
