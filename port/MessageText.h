#pragma once

// The texts every message is made of: numbers in hexadecimal, errno values by
// name, and text from outside made safe to show.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// "0x" and the value in upper-case hexadecimal, with at least minDigits digits.
std::string hexText(unsigned value, int minDigits = 1);

// The system's text for an errno value with its symbolic name: "Permission
// denied (EACCES)".
std::string errorText(int error);

// Text from outside (an argument, a path) made fit for one line of a message:
// cut to 200 characters, control and invisible characters and bytes that are
// not UTF-8 replaced with '?'.
std::string printable(std::string_view text);

// printable(text) between single quotes. Built by appending: GCC 12 at -O3
// warns falsely about a literal added to a temporary string.
std::string inQuotes(std::string_view text);

// A whole number in decimal as a person or the kernel writes it: digits only,
// leading zeros allowed, no sign, no space; nothing when it exceeds most.
std::optional<unsigned long> readDecimal(std::string_view text, unsigned long most);
