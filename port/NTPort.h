#pragma once

#include "port/PortOutput.h"

#include <cstdint>
#include <memory>

// Writes the 16-bit word Data to the I/O address PortAddress through the port
// output the program chose. Returns once the word is on the data lines. After a
// write has failed, every later call fails at once and writes nothing.
void OutportW(std::int16_t PortAddress, std::int16_t Data);

// The program chooses its port output once, before the first write; tests choose
// one per case. Choosing also clears the memory of an earlier failure.
void Use_Port_Output(std::shared_ptr<PortOutput> output);

// Closes the chosen output (releasing any claim on the port) without writing.
void Release_Port_Output();
