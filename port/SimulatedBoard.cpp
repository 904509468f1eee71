#include "port/SimulatedBoard.h"

#include "port/PortFault.h"
#include "port/PortWords.h"

#include <chrono>

#include <utility>

bool LatchedFrame::malformed() const {
    return clock_edges != Port_Words::Frame_Bits;
}

void SimulatedBoard::onFrameLatched(Frame_Listener listener) {
    listeners_.push_back(std::move(listener));
}

void SimulatedBoard::put(std::uint16_t address, std::uint16_t word) {
    if (address != static_cast<std::uint16_t>(Port_Words::Port_Address) || word > 0xFF) {
        throw PortError(Program_Fault(address, word));
    }
    drive(word, Now_Ns());
}

std::uint64_t SimulatedBoard::Now_Ns() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

void SimulatedBoard::drive(std::uint16_t word, std::uint64_t time_ns) {
    using namespace Port_Words;
    const bool was_selected = (lines_ & Select_Line) == 0;
    const bool selected = (word & Select_Line) == 0;
    const bool clock_rose = (lines_ & Clock_Line) == 0 && (word & Clock_Line) != 0;
    lines_ = word;

    if (!was_selected && !selected) {
        // Idle: only the last idle word before select falls belongs to a frame.
        pending_words_.assign(1, word);
        pending_times_.assign(1, time_ns);
        return;
    }
    pending_words_.push_back(word);
    pending_times_.push_back(time_ns);
    if (selected) {
        if (was_selected && clock_rose) {
            shift_register_ = ((shift_register_ << 1) | (word & Serial_Data_Line)) & 0x7F;
            ++edges_;
        }
        return;
    }

    LatchedFrame frame;
    frame.number = ++frame_count_;
    frame.code = static_cast<int>(shift_register_);
    frame.clock_edges = edges_;
    frame.words = std::move(pending_words_);
    frame.times = std::move(pending_times_);
    pending_words_.clear();
    pending_times_.clear();
    edges_ = 0;
    code_ = frame.code;
    if (frame.malformed()) {
        ++malformed_count_;
    }
    if (history_.size() == History_Limit) {
        history_.pop_front();
    }
    history_.push_back(std::move(frame));
    for (const auto& listener : listeners_) {
        listener(history_.back());
    }
}
