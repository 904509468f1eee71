#pragma once

// What both programs share: the command line (CommandLine.h), the port stack
// built from it (this file) and the wording of failures (FailureText.h). No Qt,
// so that the sender starts as fast as a plain program.

#include "setup/CommandLine.h"
#include "watch/SimulatedBoard.h"
#include "watch/VcdTrace.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class PortOutput;

// The chosen port with what watches it: the trace tap, and the chip the
// monitor shows (the simulated board itself, or a shadow chip fed with every
// word that reached a real port).
struct PortStack {
    std::shared_ptr<PortOutput> output; // what OutportW writes through, taps included
    std::shared_ptr<SimulatedBoard> board;
    bool simulated = false;
    std::unique_ptr<VcdTrace> trace;

    // Makes output the one OutportW writes through.
    void install() const;
    // After a failure: releases the port without writing and forgets the
    // failure, so that the next write opens it afresh. For a program that
    // goes on after a failure (the SCPI server).
    void reopenAfterFailure() const;
    // Releases the port without writing and closes the trace; returns the
    // trace's failure, if it could not be written completely.
    std::optional<std::string> finish();
};

// Builds the stack the options ask for; replacement, when given, stands in
// for the chosen port (and no other port is made). On the simulated board
// every latched frame is logged on standard output. Throws TraceError when
// the trace file cannot be made.
// frameLog takes each line of the simulated board's frame log; by default it
// goes straight to standard output.
using LineWriter = std::function<void(std::string_view line)>;
PortStack buildPortStack(const ProgramOptions& options, Program program,
                         std::shared_ptr<PortOutput> replacement = nullptr,
                         LineWriter frameLog = {});

// Logs "frame <n>: code <c>" for every frame the board latches, written at
// once so that a reader sees it as it happens: through frameLog, or straight
// to standard output.
void logLatchedFrames(SimulatedBoard& board, LineWriter frameLog = {});
