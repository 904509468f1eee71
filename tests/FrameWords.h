#pragma once

#include <cstdint>
#include <vector>

using Words = std::vector<std::uint16_t>;

// The words of a frame as the chip expects them, with any number of bits:
// the idle word, a setup and a clock word per bit from the top, the idle word.
inline Words frameFor(int code, int bits = 7) {
    Words words{0x24};
    for (int k = bits - 1; k >= 0; --k) {
        const std::uint16_t data = (code >> k) & 1;
        words.push_back(0x20 | data);
        words.push_back(0x22 | data);
    }
    words.push_back(0x24);
    return words;
}
