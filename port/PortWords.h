#pragma once

#include <cstdint>
#include <string_view>

namespace Port_Words {

// Converts hexadecimal text in the "&H378" form to a 16-bit integer. Evaluated
// by the compiler, so a malformed literal fails the build rather than a frame.
consteval std::int16_t Hex_Text_to_Integer(std::string_view text) {
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
inline constexpr std::int16_t Port_Address = Hex_Text_to_Integer("&H378");

// The words on the data lines: D0 serial data, D1 clock, D2 select (high when
// idle), D5 always high; the high byte is always 0.
inline constexpr std::int16_t Idle_Word = Hex_Text_to_Integer("&H24");
inline constexpr std::int16_t Zero_Setup_Word = Hex_Text_to_Integer("&H20");
inline constexpr std::int16_t Zero_Clock_Word = Hex_Text_to_Integer("&H22");
inline constexpr std::int16_t One_Setup_Word = Hex_Text_to_Integer("&H21");
inline constexpr std::int16_t One_Clock_Word = Hex_Text_to_Integer("&H23");

inline constexpr std::uint16_t Serial_Data_Line = 0x01; // D0
inline constexpr std::uint16_t Clock_Line = 0x02;       // D1
inline constexpr std::uint16_t Select_Line = 0x04;      // D2

inline constexpr int Frame_Bits = 7;
inline constexpr int Frame_Words = 2 + 2 * Frame_Bits;

} // namespace Port_Words
