#pragma once

#include "port/PortOutput.h"

#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// A port output that tells its taps of every word once it has reached the
// port: the trace and the monitor see what was written, never what failed.
// Words an output holds back (a frame not yet sent as one transfer) reach the
// taps when the output has put them on the lines.
class TappedPort : public PortOutput {
public:
    using Tap = std::function<void(std::uint16_t address, std::uint16_t word)>;

    explicit TappedPort(std::shared_ptr<PortOutput> inner) : inner_(std::move(inner)) {}
    void addTap(Tap tap) { taps_.push_back(std::move(tap)); }
    std::size_t heldWords() const override { return inner_->heldWords(); }

protected:
    void release() override {
        held_.clear();
        inner_->close();
    }
    void put(std::uint16_t address, std::uint16_t word) override {
        try {
            inner_->write(address, word);
        } catch (...) {
            held_.clear(); // what was held went down with the failed write
            throw;
        }
        held_.push_back(word);
        while (held_.size() > inner_->heldWords()) {
            for (const auto& tap : taps_) {
                tap(address, held_.front());
            }
            held_.pop_front();
        }
    }

private:
    std::shared_ptr<PortOutput> inner_;
    std::vector<Tap> taps_;
    std::deque<std::uint16_t> held_;
};
