#pragma once

#include "port/PortOutput.h"

#include <string>
#include <utility>

// A port that cannot be reached: its first write fails with the reason given.
class UnavailablePort : public PortOutput {
public:
    explicit UnavailablePort(std::string reason) : reason_(std::move(reason)) {}

protected:
    void open() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    std::string reason_;
};
