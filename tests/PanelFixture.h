#pragma once

#include "ProbePort.h"

#include "model/Module1.h"
#include "panel/Form1.h"
#include "port/NTPort.h"

#include <QLineEdit>
#include <QScrollBar>
#include <QStringList>

#include <memory>
#include <vector>

// A fresh window over a probe port, as at start-up, with a log of every bit
// change handler run: +k when bit k rose, -k-1 when it dropped.
struct PanelFixture {
    std::shared_ptr<ProbePort> port = std::make_shared<ProbePort>();
    QStringList failures;
    std::vector<int> bitChanges;
    std::unique_ptr<Form1> form;

    explicit PanelFixture(std::shared_ptr<PortOutput> output = nullptr) {
        Module1::Data_Byte = 0;
        usePortOutput(output ? std::move(output) : port);
        form = std::make_unique<Form1>([this](const std::exception& failure) {
            failures << QString::fromLocal8Bit(failure.what());
        });
        for (int k = 0; k < codeBits; ++k) {
            QObject::connect(form->vsbBit[k], &QScrollBar::valueChanged, form.get(),
                             [this, k](int v) { bitChanges.push_back(v ? k : -k - 1); });
        }
    }
    ~PanelFixture() { releasePortOutput(); }

    void setBitsByHand(int code) {
        for (int k = 0; k < codeBits; ++k) {
            form->vsbBit[k]->setValue((code >> k) & 1);
        }
    }
    int bits() const {
        int code = 0;
        for (int k = 0; k < codeBits; ++k) {
            code |= form->vsbBit[k]->value() << k;
        }
        return code;
    }
    QStringList bitTexts() const {
        QStringList texts;
        for (auto* box : form->txtBit) {
            texts << box->text();
        }
        return texts;
    }
    // Everything the program writes into its nine text boxes.
    QStringList allTexts() const {
        return QStringList{form->txtDisplay1->text()} + bitTexts() +
               QStringList{form->txtSDA_Write->text()};
    }
    // Forgets what happened so far, to look at one action alone.
    void forget() {
        bitChanges.clear();
        port->writes.clear();
        framesBefore = port->board.frameCount();
    }
    std::vector<int> codesSent() const {
        std::vector<int> codes;
        const auto& frames = port->board.frames();
        for (auto i = frames.size() - (port->board.frameCount() - framesBefore); i < frames.size();
             ++i) {
            codes.push_back(frames[i].code);
        }
        return codes;
    }

    std::uint64_t framesBefore = 0;
};
