#pragma once

#include "port/PortOutput.h"

#include <benchmark/benchmark.h>

// A port that takes every word and does nothing with it: what is left to time
// is the program's own cost.
class NullPort : public PortOutput {
protected:
    void put(std::uint16_t address, std::uint16_t word) override {
        benchmark::DoNotOptimize(address);
        benchmark::DoNotOptimize(word);
    }
};
