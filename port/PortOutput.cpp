#include "port/PortOutput.h"

void PortOutput::write(std::uint16_t address, std::uint16_t word) {
    if (!opened_) {
        open();
        opened_ = true;
    }
    put(address, word);
}
