#pragma once

#include "port/PortOutput.h"
#include "port/UniqueFd.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

// Which GPIO lines carry which data lines: --port=gpio:CHIP:D0=LINE,D1=LINE,...
// CHIP is a chip's name (gpiochip0) or path (/dev/gpiochip0); LINE an offset
// (17) or a line's name (GPIO17). Data lines left out are not driven.
struct GpioMapping {
    std::string chip;
    std::array<std::string, 8> lines; // by data line D0 to D7; empty: not driven
};

// Reads the text after "gpio:"; nothing, with why, when it is not a mapping
// that can drive the chip: D0, D1 and D2 must be mapped, no data line twice,
// no GPIO line for two data lines.
std::optional<GpioMapping> readGpioMapping(const std::string& text, std::string& why);

// The board's lines on a single-board computer's GPIO lines, through the
// kernel's GPIO character device (uAPI v2). At the first word the mapped
// lines are requested as outputs, under the consumer name "zovrel", with that
// word's values; each later word sets every mapped line in one request, so
// that they change together as the port's eight lines do. Nothing is read
// back. The lines keep the last word when the port is closed.
class GpioPort : public PortOutput {
public:
    explicit GpioPort(GpioMapping mapping);
    ~GpioPort() override { close(); }

protected:
    void open() override;
    void release() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    void request(std::uint16_t word);
    std::uint64_t valuesOf(std::uint16_t word) const;
    std::string inUse(unsigned offset, const char* consumer) const;

    GpioMapping mapping_;
    std::string device_;
    UniqueFd chip_;
    UniqueFd lines_;
    std::vector<unsigned> offsets_; // the mapped lines, in the order requested
    std::vector<int> dataLines_;    // the data line each of them carries
};
