#pragma once

#include <QLineEdit>

// A value box of the panel: it shows its focus as a solid ring in its own
// text colour, which stands out against its field whatever the palette (the
// style's frame can be as pale as the field beside it).
class PanelTextBox : public QLineEdit {
    Q_OBJECT

public:
    using QLineEdit::QLineEdit;

protected:
    void paintEvent(QPaintEvent* event) override;
};
