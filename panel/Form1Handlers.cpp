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

void Form1::connectHandlers() {
    connect(vsbInputCode1, &QScrollBar::valueChanged, this,
            [this] { runHandler([this] { vsbInputCode1_Change(); }); });
    for (int k = 0; k < codeBits; ++k) {
        connect(vsbBit[k], &QScrollBar::valueChanged, this,
                [this, k] { runHandler([this, k] { vsbBit_Change(k); }); });
    }
    connect(cmdRun, &QPushButton::clicked, this,
            [this] { runHandler([this] { cmdRun_Click(); }); });
    connect(cmdZS, &QPushButton::clicked, this, [this] { runHandler([this] { cmdZS_Click(); }); });
    connect(cmdMS, &QPushButton::clicked, this, [this] { runHandler([this] { cmdMS_Click(); }); });
    connect(cmdFS, &QPushButton::clicked, this, [this] { runHandler([this] { cmdFS_Click(); }); });
    connect(cmdExit, &QPushButton::clicked, this,
            [this] { runHandler([this] { cmdExit_Click(); }); });
}

void Form1::reportFailure(std::exception_ptr failure) noexcept {
    // The port remembers its own failure and refuses every later write; a
    // refusal says nothing new. Any other failure stops the port too, so that
    // nothing more is written while the program ends.
    stopPortOutput();
    try {
        std::rethrow_exception(failure);
    } catch (const PortRefused&) {
        return;
    } catch (const std::exception& e) {
        if (onFailure_) {
            onFailure_(e);
        }
    } catch (...) {
        if (onFailure_) {
            onFailure_(std::runtime_error("an unexpected failure inside the panel"));
        }
    }
}

void Form1::Get_Data_Byte_from_Bits(double& target) const {
    ::Get_Data_Byte_from_Bits(bits_, target);
}

void Form1::Set_Bits_from_Data_Byte() {
    ::Set_Bits_from_Data_Byte(bits_);
}

void Form1::vsbInputCode1_Change() {
    txtDisplay1->setText(decimalText(vsbInputCode1->value()));
    Module1::Data_Byte = vsbInputCode1->value();
    Set_Bits_from_Data_Byte();
    Read_Write_Bits_to_Parallel_Port();
}

void Form1::vsbBit_Change(int /*Index*/) {
    for (int i = 0; i < codeBits; ++i) {
        txtBit[i]->setText(decimalText(vsbBit[i]->value()));
    }
    double composed = 0;
    Get_Data_Byte_from_Bits(composed);
    txtSDA_Write->setText(decimalText(composed));
}

void Form1::cmdRun_Click() {
    Get_Data_Byte_from_Bits(Module1::Data_Byte);
    Read_Write_Bits_to_Parallel_Port();
}

void Form1::cmdZS_Click() {
    presetEveryBit(0, 0);
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
    presetEveryBit(1, largestCode);
}

void Form1::presetEveryBit(int value, int code) {
    for (int i = 0; i < codeBits; ++i) {
        vsbBit[i]->setValue(value);
    }
    vsbInputCode1->setValue(code);
    cmdRun_Click();
}

void Form1::cmdExit_Click() {
    QCoreApplication::exit(0);
}
