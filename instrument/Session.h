#pragma once

#include "instrument/Instrument.h"
#include "instrument/LineInput.h"

#include <string>

// One controller's conversation with the instrument, whichever door it came
// through: its registers and error queue, the lines it sent that wait to run,
// the replies that wait to be taken. Its commands run a turn at a time, so
// that a long line of them holds no other controller up.
class Session {
public:
    static constexpr std::size_t lineLimit = 4096;
    // Replies held before its commands wait for them to be taken.
    static constexpr std::size_t outputLimit = 64 * 1024;
    static constexpr int workPerTurn = 32;

    explicit Session(Instrument::Board& board) : instrument(board), input(lineLimit) {}

    // Takes bytes the controller sent; their commands run from the next turn.
    void receive(const char* data, std::size_t size) {
        input.append(data, size);
        moreWork_ = true;
    }
    // Runs its commands in order, workPerTurn at most.
    void runTurn();
    // Commands wait that a turn can run now.
    bool runnable() const { return moreWork_ && output.size() < outputLimit; }
    // Nothing is left to run: every line it sent has run whole.
    bool idle() const { return !moreWork_ && instrument.finished(); }
    // A device clear: what waits to run or to be taken is dropped.
    void clear();
    // The controller has gone (or let go of this conversation): every line it
    // sent still runs, the last even without its new line, and the replies
    // are dropped as they come, since nobody is left to take them.
    void finish() {
        input.end();
        output.clear();
        finished_ = true;
        moreWork_ = true;
    }

    Instrument instrument;
    LineInput input;
    std::string output;

private:
    bool moreWork_ = false;
    bool finished_ = false;
};
