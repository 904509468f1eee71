#pragma once

#include "model/CodeBits.h"

#include <cstdint>
#include <string_view>

namespace PortWords {

// Converts hexadecimal text in the "&H378" form to a 16-bit integer. Evaluated
// by the compiler, so a malformed literal fails the build rather than a frame.
consteval std::int16_t hexTextToInteger(std::string_view text) {
    if (text.size() < 3 || text.size() > 6 || text[0] != '&' ||
        (text[1] != 'H' && text[1] != 'h')) {
        throw "not hexadecimal text of the &H form";
    }
    unsigned value = 0;
    for (char c : text.substr(2)) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            throw "not a hexadecimal digit";
        }
        value = value * 16 + digit;
    }
    if (value > 0xFFFF) {
        throw "does not fit 16 bits";
    }
    return static_cast<std::int16_t>(value);
}

// The data register of the first parallel port.
inline constexpr std::int16_t portAddress = hexTextToInteger("&H378");

// The words on the data lines: D0 serial data, D1 clock, D2 select (high when
// idle), D5 always high; the high byte is always 0.
inline constexpr std::int16_t idleWord = hexTextToInteger("&H24");
inline constexpr std::int16_t zeroSetupWord = hexTextToInteger("&H20");
inline constexpr std::int16_t zeroClockWord = hexTextToInteger("&H22");
inline constexpr std::int16_t oneSetupWord = hexTextToInteger("&H21");
inline constexpr std::int16_t oneClockWord = hexTextToInteger("&H23");

inline constexpr std::uint16_t serialDataLine = 0x01; // D0
inline constexpr std::uint16_t clockLine = 0x02;      // D1
inline constexpr std::uint16_t selectLine = 0x04;     // D2

inline constexpr int frameWords = 2 + 2 * codeBits;

} // namespace PortWords
