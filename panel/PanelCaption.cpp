#include "panel/PanelCaption.h"

#include <QPainter>

void PanelCaption::paintEvent(QPaintEvent* event) {
    constexpr int gap = 3;
    const QRect words = fontMetrics().boundingRect(contentsRect(), int(alignment()), text());
    QPainter(this).fillRect(words.adjusted(-gap, 0, gap, 0), palette().color(QPalette::Window));
    QLabel::paintEvent(event);
}
