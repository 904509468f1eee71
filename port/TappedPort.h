#pragma once

#include "port/PortOutput.h"

#include <functional>
#include <memory>
#include <utility>
#include <vector>

// A port output that tells its taps of every word once it has reached the
// port: the trace and the monitor see what was written, never what failed.
class TappedPort : public PortOutput {
public:
    using Tap = std::function<void(std::uint16_t address, std::uint16_t word)>;

    explicit TappedPort(std::shared_ptr<PortOutput> inner) : inner_(std::move(inner)) {}
    void addTap(Tap tap) { taps_.push_back(std::move(tap)); }

protected:
    void release() override { inner_->close(); }
    void put(std::uint16_t address, std::uint16_t word) override {
        inner_->write(address, word);
        for (const auto& tap : taps_) {
            tap(address, word);
        }
    }

private:
    std::shared_ptr<PortOutput> inner_;
    std::vector<Tap> taps_;
};
