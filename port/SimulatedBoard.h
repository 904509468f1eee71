#pragma once

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
    int clock_edges = 0;              // rising clock edges while selected
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
    using Frame_Listener = std::function<void(const LatchedFrame&)>;

    static constexpr std::size_t History_Limit = 4096;

    // Called for every latched frame, inside the write that raised select.
    void onFrameLatched(Frame_Listener listener);

    std::optional<int> code() const { return code_; }
    std::uint64_t frameCount() const { return frame_count_; }
    std::uint64_t malformedCount() const { return malformed_count_; }
    // The most recent frames, oldest first, at most History_Limit of them.
    const std::deque<LatchedFrame>& frames() const { return history_; }
    std::uint16_t lines() const { return lines_; }

    // Feeds one word to the chip as if written to the port at the given time.
    void drive(std::uint16_t word, std::uint64_t time_ns = 0);

    // Steady-clock nanoseconds, the time base of LatchedFrame::times.
    static std::uint64_t Now_Ns();

protected:
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    // The board powers up deselected with the clock low.
    std::uint16_t lines_ = 0x04;
    unsigned shift_register_ = 0;
    int edges_ = 0;
    std::vector<std::uint16_t> pending_words_;
    std::vector<std::uint64_t> pending_times_;
    std::optional<int> code_;
    std::uint64_t frame_count_ = 0;
    std::uint64_t malformed_count_ = 0;
    std::deque<LatchedFrame> history_;
    std::vector<Frame_Listener> listeners_;
};
