#include "panel/BitScrollBars.h"

#include <QScrollBar>

int Bit_Scroll_Bars::bit(int k) const {
    return bars_.at(static_cast<std::size_t>(k))->value();
}

void Bit_Scroll_Bars::setBit(int k, int value) {
    bars_.at(static_cast<std::size_t>(k))->setValue(value);
}
