#include "watch/SimulatedBoard.h"

#include "port/PortWords.h"

#include <algorithm>
#include <chrono>

#include <utility>

bool LatchedFrame::malformed() const {
    return clockEdges != codeBits;
}

void SimulatedBoard::onFrameLatched(FrameListener listener) {
    listeners_.push_back(std::move(listener));
}

void SimulatedBoard::put(std::uint16_t, std::uint16_t word) {
    drive(word, nowNs());
}

std::uint64_t SimulatedBoard::nowNs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

void SimulatedBoard::drive(std::uint16_t word, std::uint64_t timeNs) {
    using namespace PortWords;
    const bool wasSelected = (lines_ & selectLine) == 0;
    const bool selected = (word & selectLine) == 0;
    const bool clockRose = (lines_ & clockLine) == 0 && (word & clockLine) != 0;
    lines_ = word;

    if (!wasSelected && !selected) {
        // Idle: only the last idle word before select falls belongs to a frame.
        pendingWords_.assign(1, word);
        pendingTimes_.assign(1, timeNs);
        return;
    }
    pendingWords_.push_back(word);
    pendingTimes_.push_back(timeNs);
    if (selected) {
        if (wasSelected && clockRose) {
            shiftRegister_ = ((shiftRegister_ << 1) | (word & serialDataLine)) & 0x7F;
            ++edges_;
        }
        return;
    }

    LatchedFrame frame;
    frame.number = ++frameCount_;
    frame.code = static_cast<int>(shiftRegister_);
    frame.clockEdges = edges_;
    frame.words = std::move(pendingWords_);
    frame.times = std::move(pendingTimes_);
    pendingWords_.clear();
    pendingTimes_.clear();
    edges_ = 0;
    code_ = frame.code;
    if (frame.malformed()) {
        ++malformedCount_;
    }
    if (history_.size() == historyLimit) {
        history_.pop_front();
    }
    history_.push_back(std::move(frame));
    if (deferred_) {
        ++undelivered_;
        return;
    }
    for (const auto& listener : listeners_) {
        listener(history_.back());
    }
}

void SimulatedBoard::deliverLatched() {
    const std::size_t count = std::min(undelivered_, history_.size());
    undelivered_ = 0;
    for (std::size_t i = history_.size() - count; i < history_.size(); ++i) {
        for (const auto& listener : listeners_) {
            listener(history_[i]);
        }
    }
}
