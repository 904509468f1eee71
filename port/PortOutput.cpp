#include "port/PortOutput.h"

#include "port/MessageText.h"
#include "port/PortWords.h"

namespace {

std::string programFault(std::uint16_t address, std::uint16_t word) {
    return "program fault: the word " + hexText(word, 4) + " to address " + hexText(address, 3) +
           " was refused: only the data register at 0x378 is written, and only with a high "
           "byte of 0. Nothing was written.";
}

} // namespace

void PortOutput::write(std::uint16_t address, std::uint16_t word) {
    if (address != static_cast<std::uint16_t>(PortWords::portAddress) || word > 0xFF) {
        throw PortError(programFault(address, word));
    }
    if (!opened_) {
        open();
        opened_ = true;
    }
    put(address, word);
}

void PortOutput::close() {
    if (opened_) {
        release();
        opened_ = false;
    }
}
