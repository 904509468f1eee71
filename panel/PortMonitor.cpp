#include "panel/PortMonitor.h"

#include "panel/TimingDiagram.h"
#include "port/PortWords.h"
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

    codeLabel_ = new QLabel(QStringLiteral("none yet"), this);
    codeLabel_->setObjectName(QStringLiteral("codeLabel"));
    QFont big = codeLabel_->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    codeLabel_->setFont(big);
    codeBar_ = new QProgressBar(this);
    codeBar_->setObjectName(QStringLiteral("codeBar"));
    codeBar_->setRange(0, 127);
    codeBar_->setValue(0);
    // The number beside it says the code; text on the bar would sit half under
    // its fill. A screen reader hears the bar by name, with the code as its value.
    codeBar_->setTextVisible(false);
    codeBar_->setAccessibleName(heldCodeCaption);
    wordsLabel_ = new QLabel(QStringLiteral("-"), this);
    wordsLabel_->setObjectName(QStringLiteral("wordsLabel"));
    wordsLabel_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    wordsLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Room for a whole frame from the start, so the window keeps its size.
    QStringList wholeFrame;
    for (int i = 0; i < PortWords::frameWords; ++i) {
        wholeFrame << QStringLiteral("00");
    }
    wordsLabel_->setMinimumWidth(
        wordsLabel_->fontMetrics().horizontalAdvance(wholeFrame.join(QLatin1Char(' '))) + 2);
    diagram_ = new TimingDiagram(this);
    diagram_->setObjectName(QStringLiteral("diagram"));
    framesLabel_ = new QLabel(QStringLiteral("0"), this);
    framesLabel_->setObjectName(QStringLiteral("framesLabel"));
    warningLabel_ = new QLabel(this);
    warningLabel_->setObjectName(QStringLiteral("warningLabel"));
    warningLabel_->setWordWrap(true);
    warningLabel_->setStyleSheet(QStringLiteral("color: #B00000; font-weight: bold;"));
    warningLabel_->hide();

    auto* form = new QFormLayout;
    form->addRow(heldCodeCaption, codeLabel_);
    form->addRow(QString(), codeBar_);
    form->addRow(QStringLiteral("Last frame"), wordsLabel_);
    form->addRow(QStringLiteral("Frames"), framesLabel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(diagram_, 1);
    layout->addWidget(warningLabel_);

    QPointer<PortMonitor> self(this);
    board_.onFrameLatched([self](const LatchedFrame& frame) {
        if (self) {
            self->showFrame(frame);
        }
    });
}

void PortMonitor::showFrame(const LatchedFrame& frame) {
    codeLabel_->setText(QString::number(frame.code));
    codeBar_->setValue(frame.code);
    codeBar_->setAccessibleDescription(QStringLiteral("%1 of 127").arg(frame.code));
    QStringList words;
    for (const auto word : frame.words) {
        words << QStringLiteral("%1").arg(word, 2, 16, QLatin1Char('0')).toUpper();
    }
    wordsLabel_->setText(words.join(QLatin1Char(' ')));
    diagram_->showFrame(frame.words, frame.times);
    framesLabel_->setText(QString::number(board_.frameCount()));
    if (frame.malformed()) {
        warningLabel_->setText(QStringLiteral("Malformed frame %1: %2 clock edges instead of 7 "
                                              "(%3 malformed so far). The chip took code %4.")
                                   .arg(frame.number)
                                   .arg(frame.clockEdges)
                                   .arg(board_.malformedCount())
                                   .arg(frame.code));
        warningLabel_->show();
    } else if (board_.malformedCount() > 0) {
        warningLabel_->setText(QStringLiteral("%1 malformed frame(s) so far; the last frame was "
                                              "whole.")
                                   .arg(board_.malformedCount()));
        warningLabel_->show();
    }
}
