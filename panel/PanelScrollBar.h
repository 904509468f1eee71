#pragma once

#include <QScrollBar>

// A vertical scroll bar with the keys of a classic desktop form: Up and Left
// move towards the top (a smaller value), Down and Right towards the bottom.
// It also shows when it has the keyboard focus, so that a keyboard user can
// see where Tab went.
class PanelScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
