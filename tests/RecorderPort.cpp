#include "RecorderPort.h"

#include <string>

RecorderPort::RecorderPort(std::optional<std::size_t> failAtWrite) : failAt_(failAtWrite) {}

void RecorderPort::open() {
    ++opens_;
}

void RecorderPort::put(std::uint16_t address, std::uint16_t word) {
    const std::size_t index = attempts_++;
    if (failAt_ && index == *failAt_) {
        throw PortError("the test port failed at write " + std::to_string(index));
    }
    writes_.push_back({address, word});
}
