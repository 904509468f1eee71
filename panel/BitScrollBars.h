#pragma once

#include "model/BitView.h"

#include <array>

class QScrollBar;

// The seven bit scroll bars as the conversions see them. Setting a value goes
// straight to QScrollBar::setValue, so a real change runs the bit change
// handler nested, exactly as the user's own change would.
class BitScrollBars : public BitView {
public:
    explicit BitScrollBars(const std::array<QScrollBar*, codeBits>& bars) : bars_(bars) {}

    int bit(int k) const override;
    void setBit(int k, int value) override;

private:
    const std::array<QScrollBar*, codeBits>& bars_;
};
