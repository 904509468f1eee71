#include "port/RecorderPort.h"

#include <string>

RecorderPort::RecorderPort(std::optional<std::size_t> fail_at_write) : fail_at_(fail_at_write) {}

void RecorderPort::open() {
    ++opens_;
}

void RecorderPort::put(std::uint16_t address, std::uint16_t word) {
    const std::size_t index = attempts_++;
    if (fail_at_ && index == *fail_at_) {
        throw PortError("the test port failed at write " + std::to_string(index));
    }
    writes_.push_back({address, word});
}
