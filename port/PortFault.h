#pragma once

#include <cstdint>
#include <string>

// A word the program should never have made: an address other than the data
// register at 0x378, or a word with a high byte. Such a word is refused with
// this text and nothing is written.
std::string Program_Fault(std::uint16_t address, std::uint16_t word);

// The system's text for an errno value with its symbolic name: "Permission
// denied (EACCES)".
std::string Error_Text(int error);
