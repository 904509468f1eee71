#include "port/MessageText.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

// The next code point of UTF-8 text, or nothing for a byte that starts none.
std::optional<std::uint32_t> nextCodePoint(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const int length = lead < 0x80         ? 1
                       : (lead >> 5) == 6  ? 2
                       : (lead >> 4) == 14 ? 3
                       : (lead >> 3) == 30 ? 4
                                           : 0;
    if (length == 0 || at + length > text.size()) {
        ++at;
        return std::nullopt;
    }
    std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return std::nullopt;
        }
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    at += length;
    const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < shortest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return std::nullopt;
    }
    return point;
}

// Control characters, and the invisible ones that reorder or hide text.
bool isShown(std::uint32_t c) {
    return !(c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) ||
             (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
             (c >= 0xFFF9 && c <= 0xFFFB) || c == 0xFFFE || c == 0xFFFF);
}

} // namespace

std::string hexText(unsigned value, int minDigits) {
    char text[16];
    const auto end = std::to_chars(text, text + sizeof text, value, 16).ptr;
    std::string shown(text, end);
    for (char& c : shown) {
        c = static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
    }
    const std::size_t wanted = static_cast<std::size_t>(minDigits);
    return "0x" + std::string(shown.size() < wanted ? wanted - shown.size() : 0, '0') + shown;
}

std::string errorText(int error) {
    std::string text = std::strerror(error);
    if (const char* name = strerrorname_np(error)) {
        text += std::string(" (") + name + ")";
    }
    return text;
}

std::string printable(std::string_view text) {
    constexpr int longest = 200;
    std::string shown;
    int count = 0;
    std::size_t at = 0;
    while (at < text.size() && count < longest) {
        const std::size_t from = at;
        const auto point = nextCodePoint(text, at);
        if (point && isShown(*point)) {
            shown.append(text.substr(from, at - from));
        } else {
            shown += '?';
        }
        ++count;
    }
    if (at < text.size()) {
        shown += "...";
    }
    return shown;
}

std::string inQuotes(std::string_view text) {
    std::string shown = "'";
    shown += printable(text);
    shown += '\'';
    return shown;
}

std::optional<unsigned long> readDecimal(std::string_view text, unsigned long most) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > most) {
        return std::nullopt;
    }
    return value;
}
