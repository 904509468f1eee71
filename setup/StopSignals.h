#pragma once

#include "port/UniqueFd.h"

#include <chrono>
#include <csignal>
#include <optional>

// SIGINT, SIGTERM and SIGHUP, taken as data rather than as interruptions: they
// are blocked in every thread the program starts after this (so construct it
// first) and read from a signalfd, which the sender polls between frames and
// while it waits, and the panel's event loop watches. A frame is never cut:
// nothing is interrupted, the program looks when a frame is done. SIGPIPE is
// ignored while it lives, so a reader that went away ends nothing.
class StopSignals {
public:
    using Clock = std::chrono::steady_clock;

    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable while a stop signal waits to be taken.
    int fd() const { return fd_.get(); }
    // The stop signal that came, taken without waiting; 0 while none has. Once
    // one is taken it stays the answer.
    int taken();
    // Whether one has been taken already; takes nothing.
    bool wasTaken() const { return taken_ != 0; }
    // Waits until fd is readable (fd < 0: never) or the deadline passes;
    // false as soon as a stop signal comes.
    bool wait(int fd, std::optional<Clock::time_point> deadline = std::nullopt);

    // The one that lives now, for the writers that must not hang past a stop.
    static StopSignals* current();

private:
    UniqueFd fd_;
    int taken_ = 0;
    sigset_t savedMask_{};
    struct sigaction savedPipe_ {};
};

// 128 + the number for a run ended by a stop signal, as a shell reports it.
int stopStatus(int signal);

// Ends the process by the stop signal behind status (one of stopStatus'), with
// the default action, so that a shell loop around the program stops as it does
// for other tools; any other status is returned, for main to return.
int endAs(int status);
