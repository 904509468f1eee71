#include "instrument/Session.h"

void Session::runTurn() {
    moreWork_ = true;
    for (int work = 0; work < workPerTurn; ++work) {
        if (output.size() >= outputLimit) {
            return; // its replies are taken before more are made
        }
        if (instrument.finished()) {
            auto line = input.next();
            if (!line) {
                moreWork_ = false;
                return;
            }
            if (line->tooLong) {
                instrument.pushError(-100, "a line longer than " + std::to_string(lineLimit) +
                                               " characters was refused");
                continue;
            }
            instrument.start(std::move(line->text));
        }
        instrument.setOutputWaiting(!output.empty());
        instrument.step();
        if (instrument.finished()) {
            if (auto response = instrument.takeResponse(); response && !finished_) {
                output += *response;
                output += '\n';
            }
        }
    }
}

void Session::clear() {
    input.clear();
    instrument.clear();
    output.clear();
    moreWork_ = false;
}
