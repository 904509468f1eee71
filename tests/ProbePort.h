#pragma once

#include "RecorderPort.h"
#include "watch/SimulatedBoard.h"

#include <optional>
#include <vector>

// Keeps every write, as a recorder does, and feeds it to a simulated chip,
// so that a test can check both the words and what the chip made of them.
class ProbePort : public PortOutput {
public:
    SimulatedBoard board;
    std::vector<PortWrite> writes;

    std::vector<int> codes() const {
        std::vector<int> latched;
        for (const auto& frame : board.frames()) {
            latched.push_back(frame.code);
        }
        return latched;
    }

protected:
    void put(std::uint16_t address, std::uint16_t word) override {
        writes.push_back({address, word});
        board.write(address, word);
    }
};
