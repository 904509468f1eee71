#pragma once

#include "port/PortOutput.h"

#include <cstddef>
#include <optional>
#include <vector>

struct PortWrite {
    std::uint16_t address;
    std::uint16_t word;
    bool operator==(const PortWrite&) const = default;
};

// Keeps every write with its address and word. It can be told to fail at one
// write (counted from 0), to stand in for a port that breaks during a frame.
class RecorderPort : public PortOutput {
public:
    explicit RecorderPort(std::optional<std::size_t> failAtWrite = std::nullopt);

    const std::vector<PortWrite>& writes() const { return writes_; }
    std::size_t attempts() const { return attempts_; }
    int openCount() const { return opens_; }
    void clear() { writes_.clear(); }

protected:
    void open() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    std::optional<std::size_t> failAt_;
    std::size_t attempts_ = 0;
    int opens_ = 0;
    std::vector<PortWrite> writes_;
};
