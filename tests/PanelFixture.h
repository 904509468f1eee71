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
struct Panel_Fixture {
    std::shared_ptr<Probe_Port> port = std::make_shared<Probe_Port>();
    QStringList failures;
    std::vector<int> bit_changes;
    std::unique_ptr<Form1> form;

    explicit Panel_Fixture(std::shared_ptr<PortOutput> output = nullptr) {
        Module1::Data_Byte = 0;
        Use_Port_Output(output ? std::move(output) : port);
        form = std::make_unique<Form1>([this](const QString& what) { failures << what; });
        for (int k = 0; k < Form1::Bit_Count; ++k) {
            QObject::connect(form->vsbBit[k], &QScrollBar::valueChanged, form.get(),
                             [this, k](int v) { bit_changes.push_back(v ? k : -k - 1); });
        }
    }
    ~Panel_Fixture() { Release_Port_Output(); }

    void set_bits_by_hand(int code) {
        for (int k = 0; k < Form1::Bit_Count; ++k) {
            form->vsbBit[k]->setValue((code >> k) & 1);
        }
    }
    int bits() const {
        int code = 0;
        for (int k = 0; k < Form1::Bit_Count; ++k) {
            code |= form->vsbBit[k]->value() << k;
        }
        return code;
    }
    QStringList bit_texts() const {
        QStringList texts;
        for (auto* box : form->txtBit) {
            texts << box->text();
        }
        return texts;
    }
    // Everything the program writes into its nine text boxes.
    QStringList all_texts() const {
        return QStringList{form->txtDisplay1->text()} + bit_texts() +
               QStringList{form->txtSDA_Write->text()};
    }
    // Forgets what happened so far, to look at one action alone.
    void forget() {
        bit_changes.clear();
        port->writes.clear();
        frames_before = port->board.frameCount();
    }
    std::vector<int> codes_sent() const {
        std::vector<int> codes;
        const auto& frames = port->board.frames();
        for (auto i = frames.size() - (port->board.frameCount() - frames_before); i < frames.size();
             ++i) {
            codes.push_back(frames[i].code);
        }
        return codes;
    }

    std::uint64_t frames_before = 0;
};
