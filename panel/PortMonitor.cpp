#include "panel/PortMonitor.h"

#include "panel/TimingDiagram.h"
#include "watch/SimulatedBoard.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QVBoxLayout>

PortMonitor::PortMonitor(SimulatedBoard& board, const QString& heldCodeCaption, QWidget* parent)
    : QWidget(parent), board_(board) {
    setObjectName(QStringLiteral("PortMonitor"));
    setWindowTitle(QStringLiteral("Zovrel Rev B: port monitor"));
    // Closing the monitor leaves the panel running; closing the panel ends both.
    setAttribute(Qt::WA_QuitOnClose, false);

    codeLabel = new QLabel(QStringLiteral("none yet"), this);
    codeLabel->setObjectName(QStringLiteral("codeLabel"));
    QFont big = codeLabel->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    codeLabel->setFont(big);
    codeBar = new QProgressBar(this);
    codeBar->setObjectName(QStringLiteral("codeBar"));
    codeBar->setRange(0, 127);
    codeBar->setValue(0);
    codeBar->setFormat(QStringLiteral("%v of 127"));
    wordsLabel = new QLabel(QStringLiteral("-"), this);
    wordsLabel->setObjectName(QStringLiteral("wordsLabel"));
    wordsLabel->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    wordsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    diagram = new TimingDiagram(this);
    diagram->setObjectName(QStringLiteral("diagram"));
    framesLabel = new QLabel(QStringLiteral("0"), this);
    framesLabel->setObjectName(QStringLiteral("framesLabel"));
    warningLabel = new QLabel(this);
    warningLabel->setObjectName(QStringLiteral("warningLabel"));
    warningLabel->setWordWrap(true);
    warningLabel->setStyleSheet(QStringLiteral("color: #B00000; font-weight: bold;"));
    warningLabel->hide();

    auto* form = new QFormLayout;
    form->addRow(heldCodeCaption, codeLabel);
    form->addRow(QString(), codeBar);
    form->addRow(QStringLiteral("Last frame"), wordsLabel);
    form->addRow(QStringLiteral("Frames"), framesLabel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(diagram, 1);
    layout->addWidget(warningLabel);

    QPointer<PortMonitor> self(this);
    board_.onFrameLatched([self](const LatchedFrame& frame) {
        if (self) {
            self->showFrame(frame);
        }
    });
}

void PortMonitor::showFrame(const LatchedFrame& frame) {
    codeLabel->setText(QString::number(frame.code));
    codeBar->setValue(frame.code);
    QStringList words;
    for (const auto word : frame.words) {
        words << QStringLiteral("%1").arg(word, 2, 16, QLatin1Char('0')).toUpper();
    }
    wordsLabel->setText(words.join(QLatin1Char(' ')));
    diagram->showFrame(frame.words, frame.times);
    framesLabel->setText(QString::number(board_.frameCount()));
    if (frame.malformed()) {
        warningLabel->setText(QStringLiteral("Malformed frame %1: %2 clock edges instead of 7 "
                                             "(%3 malformed so far). The chip took code %4.")
                                  .arg(frame.number)
                                  .arg(frame.clockEdges)
                                  .arg(board_.malformedCount())
                                  .arg(frame.code));
        warningLabel->show();
    } else if (board_.malformedCount() > 0) {
        warningLabel->setText(QStringLiteral("%1 malformed frame(s) so far; the last frame was "
                                             "whole.")
                                  .arg(board_.malformedCount()));
        warningLabel->show();
    }
}
