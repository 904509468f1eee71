#include "panel/PanelCaption.h"

#include <QPainter>

void Panel_Caption::paintEvent(QPaintEvent* event) {
    constexpr int Gap = 3;
    const QRect words = fontMetrics().boundingRect(contentsRect(), int(alignment()), text());
    QPainter(this).fillRect(words.adjusted(-Gap, 0, Gap, 0), palette().color(QPalette::Window));
    QLabel::paintEvent(event);
}
