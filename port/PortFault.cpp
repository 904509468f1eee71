#include "port/PortFault.h"

#include <charconv>
#include <cstring>

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

std::string programFault(std::uint16_t address, std::uint16_t word) {
    return "program fault: the word " + hexText(word, 4) + " to address " + hexText(address, 3) +
           " was refused: only the data register at 0x378 is written, and only with a high "
           "byte of 0. Nothing was written.";
}

std::string errorText(int error) {
    std::string text = std::strerror(error);
    if (const char* name = strerrorname_np(error)) {
        text += std::string(" (") + name + ")";
    }
    return text;
}
