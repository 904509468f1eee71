#include "panel/PanelTextBox.h"

#include <QPainter>

void PanelTextBox::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    if (!hasFocus()) {
        return;
    }
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::Text), 2));
    painter.drawRect(QRectF(rect()).adjusted(2, 2, -2, -2));
}
