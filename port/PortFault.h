#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A word the program should never have made: an address other than the data
// register at 0x378, or a word with a high byte. Such a word is refused with
// this text and nothing is written.
std::string programFault(std::uint16_t address, std::uint16_t word);

// "0x" and the value in upper-case hexadecimal, with at least minDigits digits.
std::string hexText(unsigned value, int minDigits = 1);

// The system's text for an errno value with its symbolic name: "Permission
// denied (EACCES)".
std::string errorText(int error);

// Text from outside (an argument, a path) made fit for one line of a message:
// cut to 200 characters, control and invisible characters and bytes that are
// not UTF-8 replaced with '?'.
std::string printable(std::string_view text);
