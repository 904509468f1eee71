#include "panel/ColourButton.h"

#include <QPainter>
#include <QStyleOptionFocusRect>
#include <qdrawutil.h>

namespace {

constexpr int Bevel = 2;
constexpr int Caption_Margin = 1;
constexpr int Caption_Flags = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;

} // namespace

Colour_Button::Colour_Button(const QColor& face, QWidget* parent)
    : QPushButton(parent), face_(face) {
    setAutoDefault(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect Colour_Button::captionRect() const {
    const int inset = Bevel + Caption_Margin;
    return rect().adjusted(inset, inset, -inset, -inset);
}

void Colour_Button::paintEvent(QPaintEvent*) {
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
    painter.drawText(caption, Caption_Flags, text());

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(Bevel + 1, Bevel + 1, -Bevel - 1, -Bevel - 1);
        focus.backgroundColor = face_;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}
