#include "panel/ColourButton.h"

#include <QKeyEvent>
#include <QPainter>
#include <qdrawutil.h>

namespace {

constexpr int bevel = 2;
constexpr int captionMargin = 1;
constexpr int captionFlags = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;

} // namespace

ColourButton::ColourButton(const QColor& face, QWidget* parent) : QPushButton(parent), face_(face) {
    setAutoDefault(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect ColourButton::captionRect() const {
    const int inset = bevel + captionMargin;
    return rect().adjusted(inset, inset, -inset, -inset);
}

void ColourButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool sunken = isDown() || isChecked();
    const QBrush fill(face_);
    // The light, dark and shadow edges come from the palette; the face is ours.
    qDrawWinButton(&painter, rect(), palette(), sunken, &fill);

    QRect caption = captionRect();
    if (sunken) {
        caption.translate(1, 1);
    }
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(caption, captionFlags, text());

    if (hasFocus()) {
        // A solid ring in the caption's colour inside the bevel: the style's
        // dotted one all but vanishes against a light face.
        painter.setPen(QPen(palette().color(QPalette::ButtonText), 2));
        painter.drawRect(QRectF(rect()).adjusted(bevel + 2, bevel + 2, -bevel - 2, -bevel - 2));
    }
}

void ColourButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !event->isAutoRepeat()) {
        animateClick();
        return;
    }
    QPushButton::keyPressEvent(event);
}
