#pragma once

// The core of writing a frame: OutportW, the one way a word leaves the program,
// over the PortOutput the program chose (PortOutput.h), the frame writer
// (FrameWriter.h) and the words it sends (PortWords.h). No Qt.

#include "port/PortOutput.h"

#include <cstdint>
#include <memory>

// Writes the 16-bit word Data to the I/O address PortAddress through the port
// output the program chose. Returns once the word is on the data lines. After a
// write has failed, every later call throws PortRefused and writes nothing.
void OutportW(std::int16_t PortAddress, std::int16_t Data);

// Thrown by OutportW once the output has failed: the failure was told already.
class PortRefused : public PortError {
public:
    PortRefused() : PortError("the port failed earlier; nothing more is written to it") {}
};

// The program chooses its port output once, before the first write; tests choose
// one per case. Choosing also clears the memory of an earlier failure.
void usePortOutput(std::shared_ptr<PortOutput> output);

// Closes the chosen output (releasing any claim on the port) without writing.
void releasePortOutput();

// The one memory of a failure. OutportW sets it when a write fails; a caller
// whose own work failed in another way sets it with stopPortOutput, so that the
// program writes nothing more on its way out.
bool portOutputFailed();
void stopPortOutput();
