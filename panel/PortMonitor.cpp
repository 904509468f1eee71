#include "panel/PortMonitor.h"

#include "panel/TimingDiagram.h"
#include "port/SimulatedBoard.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QVBoxLayout>

Port_Monitor::Port_Monitor(SimulatedBoard& board, const QString& held_code_caption, QWidget* parent)
    : QWidget(parent), board_(board) {
    setObjectName(QStringLiteral("Port_Monitor"));
    setWindowTitle(QStringLiteral("Zovrel Rev B: port monitor"));
    // Closing the monitor leaves the panel running; closing the panel ends both.
    setAttribute(Qt::WA_QuitOnClose, false);

    lblCode = new QLabel(QStringLiteral("none yet"), this);
    lblCode->setObjectName(QStringLiteral("lblCode"));
    QFont big = lblCode->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    lblCode->setFont(big);
    barCode = new QProgressBar(this);
    barCode->setObjectName(QStringLiteral("barCode"));
    barCode->setRange(0, 127);
    barCode->setValue(0);
    barCode->setFormat(QStringLiteral("%v of 127"));
    lblWords = new QLabel(QStringLiteral("-"), this);
    lblWords->setObjectName(QStringLiteral("lblWords"));
    lblWords->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    lblWords->setTextInteractionFlags(Qt::TextSelectableByMouse);
    diagram = new Timing_Diagram(this);
    diagram->setObjectName(QStringLiteral("diagram"));
    lblFrames = new QLabel(QStringLiteral("0"), this);
    lblFrames->setObjectName(QStringLiteral("lblFrames"));
    lblWarning = new QLabel(this);
    lblWarning->setObjectName(QStringLiteral("lblWarning"));
    lblWarning->setWordWrap(true);
    lblWarning->setStyleSheet(QStringLiteral("color: #B00000; font-weight: bold;"));
    lblWarning->hide();

    auto* form = new QFormLayout;
    form->addRow(held_code_caption, lblCode);
    form->addRow(QString(), barCode);
    form->addRow(QStringLiteral("Last frame"), lblWords);
    form->addRow(QStringLiteral("Frames"), lblFrames);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(diagram, 1);
    layout->addWidget(lblWarning);

    QPointer<Port_Monitor> self(this);
    board_.onFrameLatched([self](const LatchedFrame& frame) {
        if (self) {
            self->Show_Frame(frame);
        }
    });
}

void Port_Monitor::Show_Frame(const LatchedFrame& frame) {
    lblCode->setText(QString::number(frame.code));
    barCode->setValue(frame.code);
    QStringList words;
    for (const auto word : frame.words) {
        words << QStringLiteral("%1").arg(word, 2, 16, QLatin1Char('0')).toUpper();
    }
    lblWords->setText(words.join(QLatin1Char(' ')));
    diagram->showFrame(frame.words, frame.times);
    lblFrames->setText(QString::number(board_.frameCount()));
    if (frame.malformed()) {
        lblWarning->setText(QStringLiteral("Malformed frame %1: %2 clock edges instead of 7 "
                                           "(%3 malformed so far). The chip took code %4.")
                                .arg(frame.number)
                                .arg(frame.clock_edges)
                                .arg(board_.malformedCount())
                                .arg(frame.code));
        lblWarning->show();
    } else if (board_.malformedCount() > 0) {
        lblWarning->setText(QStringLiteral("%1 malformed frame(s) so far; the last frame was "
                                           "whole.")
                                .arg(board_.malformedCount()));
        lblWarning->show();
    }
}
