#include "send/Sender.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "send/CodeReader.h"
#include "setup/FailureText.h"
#include "setup/PortStack.h"

#include "setup/StandardStreams.h"
#include "setup/StopSignals.h"

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = StopSignals::Clock;

void say(const std::string& text) {
    say(Program::Sender, text);
}

std::string frames(long count) {
    return count == 1 ? "1 frame" : std::to_string(count) + " frames";
}

// Sends the codes one frame each, as they come, with the interval between
// frames. A stop signal is looked for before every frame, so a run ends within
// one frame of it however the codes come.
class Run {
public:
    Run(int intervalMs, StopSignals& stops)
        : interval_(std::chrono::milliseconds(intervalMs)), stops_(stops) {}

    // False when the run must end: a signal came, or the port failed (status set).
    bool send(int code) {
        if (sent_ > 0 && interval_.count() > 0 && !stops_.wait(-1, lastFrame_ + interval_)) {
            return false;
        }
        if (stops_.taken() != 0) {
            return false;
        }
        Module1::Data_Byte = code;
        try {
            Read_Write_Bits_to_Parallel_Port();
        } catch (const TraceError& e) {
            // The frame reached the port; the trace says which it lost.
            say(std::string(e.what()) + " (" + frames(sent_ + 1) + " sent whole)");
            status_ = 1;
            return false;
        } catch (const std::exception& e) {
            say("frame " + std::to_string(sent_ + 1) + " failed: " +
                failureText(e, Program::Sender) + " (" + frames(sent_) + " sent whole)");
            status_ = 1;
            return false;
        }
        ++sent_;
        lastFrame_ = Clock::now();
        return true;
    }

    long sent() const { return sent_; }
    int status() {
        return status_ == 0 && stops_.taken() != 0 ? stopStatus(stops_.taken()) : status_;
    }
    void fail(int status) { status_ = status; }

private:
    std::chrono::milliseconds interval_;
    StopSignals& stops_;
    long sent_ = 0;
    int status_ = 0;
    Clock::time_point lastFrame_;
};

// Codes from standard input, each sent as soon as the space after it arrives.
void sendFromInput(Run& run, StopSignals& stops) {
    TokenReader reader(STDIN_FILENO, [&stops] { return stops.wait(STDIN_FILENO); });
    std::string token;
    for (;;) {
        const auto status = reader.next(token);
        if (status == TokenReader::Status::Failed) {
            say("standard input could not be read: " + errorText(reader.error()) + "; " +
                frames(run.sent()) + " sent before it");
            run.fail(1);
        }
        if (status != TokenReader::Status::Token) {
            return;
        }
        const auto code = readCode(token);
        if (!code) {
            std::string shown = printable(token.substr(0, 40));
            if (token.size() > 40) {
                shown += "...";
            }
            say("line " + std::to_string(reader.line()) + ": '" + shown +
                "' is not a whole number from 0 to 127; " + frames(run.sent()) + " sent before it");
            run.fail(misuseExitStatus);
            return;
        }
        if (!run.send(*code)) {
            return;
        }
    }
}

} // namespace

int runSender(int argc, char** argv, std::shared_ptr<PortOutput> replacement) {
    guardStandardStreams();
    const CommandLine line =
        readCommandLine(std::vector<std::string>(argv, argv + argc), Program::Sender);
    if (line.outcome == CommandLine::Outcome::PrintAndExit) {
        writeWhole(STDOUT_FILENO, line.text);
        return line.exitStatus;
    }
    if (line.outcome == CommandLine::Outcome::Misuse) {
        writeWhole(STDERR_FILENO, line.text);
        return line.exitStatus;
    }
    const ProgramOptions& options = line.options;
    const bool fromInput = options.codes == std::vector<std::string>{"-"};

    // Every code on the command line is checked before the first frame.
    std::vector<int> codes;
    for (std::size_t i = 0; !fromInput && i < options.codes.size(); ++i) {
        const auto code = readCode(options.codes[i]);
        if (!code) {
            writeWhole(STDERR_FILENO,
                       misuse(Program::Sender, "code " + std::to_string(i + 1) + " of " +
                                                   std::to_string(options.codes.size()) + ", '" +
                                                   options.codes[i] +
                                                   "', is not a whole number from 0 to 127")
                           .text);
            return misuseExitStatus;
        }
        codes.push_back(*code);
    }

    StopSignals stops;
    PortStack stack;
    try {
        stack = buildPortStack(options, Program::Sender, std::move(replacement));
    } catch (const TraceError& e) {
        say(e.what());
        return misuseExitStatus;
    }
    stack.install();
    Run run(options.intervalMs, stops);
    if (fromInput) {
        sendFromInput(run, stops);
    } else {
        for (const int code : codes) {
            if (!run.send(code)) {
                break;
            }
        }
    }

    int status = run.status();
    if (const auto traceFailure = stack.finish()) {
        say(*traceFailure);
        if (status == 0) {
            status = 1;
        }
    }
    return status;
}
