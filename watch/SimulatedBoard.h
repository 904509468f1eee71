#pragma once

// Tools for seeing what was sent: a model of the chip that follows the data
// lines (this file) and a logic trace of them (VcdTrace.h). No Qt.

#include "port/PortOutput.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

// What the chip latched when its select line rose.
struct LatchedFrame {
    std::uint64_t number = 0;         // counts from 1
    int code = 0;                     // the shift register's seven bits at the rise of select
    int clockEdges = 0;               // rising clock edges while selected
    std::vector<std::uint16_t> words; // the last idle word, the selected words, the rising word
    std::vector<std::uint64_t> times; // when each word was written, in steady-clock nanoseconds

    bool malformed() const;
};

// A virtual board at 0x378: the chip follows the data lines as the real one
// does. While select (D2) is low it shifts the data line (D0) into a seven-bit
// register on every rising edge of the clock (D1); when select rises it takes
// the register as its wiper code. A frame with other than seven clock edges is
// latched all the same, as the chip would, and flagged malformed.
class SimulatedBoard : public PortOutput {
public:
    using FrameListener = std::function<void(const LatchedFrame&)>;

    static constexpr std::size_t historyLimit = 4096;

    // Called for every latched frame, inside the write that raised select;
    // or, once deferred, at deliverLatched(), so that what stamps each word's
    // time (the trace) sees the word before the listeners print or paint.
    void onFrameLatched(FrameListener listener);
    void deferListeners() { deferred_ = true; }
    void deliverLatched();

    std::optional<int> code() const { return code_; }
    std::uint64_t frameCount() const { return frameCount_; }
    std::uint64_t malformedCount() const { return malformedCount_; }
    // The most recent frames, oldest first, at most historyLimit of them.
    const std::deque<LatchedFrame>& frames() const { return history_; }
    std::uint16_t lines() const { return lines_; }

    // Feeds one word to the chip as if written to the port at the given time.
    void drive(std::uint16_t word, std::uint64_t timeNs = 0);

    // Steady-clock nanoseconds, the time base of LatchedFrame::times.
    static std::uint64_t nowNs();

protected:
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    // The board powers up deselected with the clock low.
    std::uint16_t lines_ = 0x04;
    unsigned shiftRegister_ = 0;
    int edges_ = 0;
    std::vector<std::uint16_t> pendingWords_;
    std::vector<std::uint64_t> pendingTimes_;
    std::optional<int> code_;
    std::uint64_t frameCount_ = 0;
    std::uint64_t malformedCount_ = 0;
    std::deque<LatchedFrame> history_;
    std::vector<FrameListener> listeners_;
    bool deferred_ = false;
    std::size_t undelivered_ = 0;
};
