#pragma once

#include <QColor>
#include <QPushButton>

// A push button painted in its own background colour, whatever style the
// program runs with, with a caption that wraps at word boundaries when it is
// too long for one line, as a desktop button's caption does.
class ColourButton : public QPushButton {
    Q_OBJECT

public:
    ColourButton(const QColor& face, QWidget* parent);

    QColor face() const { return face_; }
    // The caption's area inside the bevel.
    QRect captionRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    // Enter presses a focused button, as Space does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QColor face_;
};
