#include "panel/BitScrollBars.h"

#include <QScrollBar>

int BitScrollBars::bit(int k) const {
    return bars_.at(static_cast<std::size_t>(k))->value();
}

void BitScrollBars::setBit(int k, int value) {
    bars_.at(static_cast<std::size_t>(k))->setValue(value);
}
