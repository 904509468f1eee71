#pragma once

#include <QLabel>

// A panel's caption set on its rectangle's top edge: it hides the stretch of
// the edge behind its words, as a group box title does, and no more.
class PanelCaption : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};
