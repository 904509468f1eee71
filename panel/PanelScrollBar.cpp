#include "panel/PanelScrollBar.h"

#include <QKeyEvent>
#include <QPainter>

void PanelScrollBar::keyPressEvent(QKeyEvent* event) {
    if (orientation() == Qt::Vertical &&
        (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
        triggerAction(event->key() == Qt::Key_Left ? SliderSingleStepSub : SliderSingleStepAdd);
        event->accept();
        return;
    }
    QScrollBar::keyPressEvent(event);
}

void PanelScrollBar::paintEvent(QPaintEvent* event) {
    QScrollBar::paintEvent(event);
    if (!hasFocus()) {
        return;
    }
    QPainter painter(this);
    // Black against the window's yellow (and the bar's light trough): the
    // palette's accent may be too pale to see there.
    painter.setPen(QPen(QColor(Qt::black), 2));
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}
