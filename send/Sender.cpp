#include "send/Sender.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "send/CodeReader.h"
#include "setup/FailureText.h"
#include "setup/PortStack.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int number) {
    stopSignal = number;
}

// SIGINT, SIGTERM and SIGHUP are held back while frames go out and taken only
// while the sender waits (for input, or between frames), so a frame is never
// cut short. SIGPIPE is ignored: a reader that went away ends nothing.
class StopSignals {
public:
    StopSignals() {
        stopSignal = 0;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigset_t held;
        sigemptyset(&held);
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(number, &action, &before_[index(number)]);
            sigaddset(&held, number);
        }
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &beforePipe_);
        sigprocmask(SIG_BLOCK, &held, &mask_);
        waitMask_ = mask_;
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
            sigdelset(&waitMask_, number);
        }
    }
    ~StopSignals() {
        sigprocmask(SIG_SETMASK, &mask_, nullptr);
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(number, &before_[index(number)], nullptr);
        }
        sigaction(SIGPIPE, &beforePipe_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits until fd is readable, or the deadline passes (fd < 0: only the
    // deadline). False when a stop signal came.
    bool wait(int fd, const Clock::time_point* deadline) const {
        for (;;) {
            if (stopSignal != 0) {
                return false;
            }
            timespec timeout{};
            if (deadline) {
                const auto left = *deadline - Clock::now();
                if (left <= Clock::duration::zero()) {
                    return true;
                }
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
                timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            }
            pollfd input{fd, POLLIN, 0};
            const int ready = ppoll(fd >= 0 ? &input : nullptr, fd >= 0 ? 1 : 0,
                                    deadline ? &timeout : nullptr, &waitMask_);
            if (ready > 0) {
                return true;
            }
        }
    }

private:
    static int index(int number) { return number == SIGINT ? 0 : number == SIGTERM ? 1 : 2; }

    struct sigaction before_[3]{};
    struct sigaction beforePipe_ {};
    sigset_t mask_{};
    sigset_t waitMask_{};
};

void say(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

std::string frames(long count) {
    return count == 1 ? "1 frame" : std::to_string(count) + " frames";
}

// Sends the codes one frame each, as they come, with the interval between
// frames. Returns the exit status.
class Run {
public:
    Run(int intervalMs, const StopSignals& stops)
        : interval_(std::chrono::milliseconds(intervalMs)), stops_(stops) {}

    // False when the run must end: a signal came, or the port failed (status set).
    bool send(int code) {
        if (sent_ > 0 && interval_.count() > 0) {
            const Clock::time_point due = lastFrame_ + interval_;
            if (!stops_.wait(-1, &due)) {
                return false;
            }
        }
        if (stopSignal != 0) {
            return false;
        }
        Module1::Data_Byte = code;
        try {
            Read_Write_Bits_to_Parallel_Port();
        } catch (const std::exception& e) {
            say("zovrel-send: frame " + std::to_string(sent_ + 1) + " failed: " +
                failureText(e, Program::Sender) + " (" + frames(sent_) + " sent whole)\n");
            status_ = 1;
            return false;
        }
        ++sent_;
        lastFrame_ = Clock::now();
        return true;
    }

    long sent() const { return sent_; }
    int status() const { return stopSignal != 0 && status_ == 0 ? 128 + stopSignal : status_; }
    void fail(int status) { status_ = status; }

private:
    std::chrono::milliseconds interval_;
    const StopSignals& stops_;
    long sent_ = 0;
    int status_ = 0;
    Clock::time_point lastFrame_;
};

} // namespace

int runSender(int argc, char** argv, std::shared_ptr<PortOutput> replacement) {
    const CommandLine line =
        readCommandLine(std::vector<std::string>(argv, argv + argc), Program::Sender);
    if (line.outcome == CommandLine::Outcome::PrintAndExit) {
        std::fputs(line.text.c_str(), stdout);
        return line.exitStatus;
    }
    if (line.outcome == CommandLine::Outcome::Misuse) {
        say(line.text);
        return line.exitStatus;
    }
    const ProgramOptions& options = line.options;
    const bool fromInput = options.codes == std::vector<std::string>{"-"};

    // Every code on the command line is checked before the first frame.
    std::vector<int> codes;
    for (std::size_t i = 0; !fromInput && i < options.codes.size(); ++i) {
        const auto code = readCode(options.codes[i]);
        if (!code) {
            say(misuse(Program::Sender, "code " + std::to_string(i + 1) + " of " +
                                            std::to_string(options.codes.size()) + ", '" +
                                            options.codes[i] +
                                            "', is not a whole number from 0 to 127")
                    .text);
            return misuseExitStatus;
        }
        codes.push_back(*code);
    }

    PortStack stack;
    try {
        stack = buildPortStack(options, Program::Sender, std::move(replacement));
    } catch (const TraceError& e) {
        say("zovrel-send: " + std::string(e.what()) + "\n");
        return misuseExitStatus;
    }
    stack.install();
    const StopSignals stops;
    Run run(options.intervalMs, stops);

    if (fromInput) {
        TokenReader reader(STDIN_FILENO, [&stops] { return stops.wait(STDIN_FILENO, nullptr); });
        std::string token;
        for (;;) {
            const auto status = reader.next(token);
            if (status != TokenReader::Status::Token) {
                if (status == TokenReader::Status::Failed) {
                    say("zovrel-send: standard input could not be read\n");
                    run.fail(1);
                }
                break;
            }
            const auto code = readCode(token);
            if (!code) {
                std::string shown = printable(token.substr(0, 40));
                if (token.size() > 40) {
                    shown += "...";
                }
                say("zovrel-send: line " + std::to_string(reader.line()) + ": '" + shown +
                    "' is not a whole number from 0 to 127; " + frames(run.sent()) +
                    " sent before it\n");
                run.fail(misuseExitStatus);
                break;
            }
            if (!run.send(*code)) {
                break;
            }
        }
    } else {
        for (const int code : codes) {
            if (!run.send(code)) {
                break;
            }
        }
    }

    int status = run.status();
    if (const auto traceFailure = stack.finish()) {
        say("zovrel-send: " + *traceFailure + "\n");
        if (status == 0) {
            status = 1;
        }
    }
    return status;
}
