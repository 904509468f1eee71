#include "setup/PortStack.h"

#include "hardware/DirectIoPort.h"
#include "hardware/FtdiPort.h"
#include "hardware/GpioPort.h"
#include "hardware/PpdevPort.h"
#include "port/NTPort.h"
#include "port/TappedPort.h"
#include "setup/StandardStreams.h"

#include <unistd.h>

#include <string>

namespace {

std::shared_ptr<PortOutput> realPort(const ProgramOptions& options) {
    const std::string& port = options.port;
    if (port == "direct") {
        return std::make_shared<DirectIoPort>();
    }
    if (options.gpio) {
        return std::make_shared<GpioPort>(*options.gpio);
    }
    if (port == "ftdi" || port.rfind("ftdi:", 0) == 0) {
        return std::make_shared<FtdiPort>(
            FtdiPort::Settings{port.size() > 5 ? port.substr(5) : std::string()});
    }
    PpdevPort::Settings settings;
    if (port.rfind("ppdev:", 0) == 0) {
        settings.device = std::filesystem::path(port.substr(6));
    }
    return std::make_shared<PpdevPort>(std::move(settings));
}

} // namespace

PortStack buildPortStack(const ProgramOptions& options, Program program,
                         std::shared_ptr<PortOutput> replacement, LineWriter frameLog) {
    PortStack stack;
    if (!options.trace.empty()) {
        stack.trace = VcdTrace::create(options.trace, programName(program) + " " ZOVREL_VERSION);
    }
    if (replacement) {
        stack.output = std::move(replacement);
    } else if (options.port == "sim") {
        stack.board = std::make_shared<SimulatedBoard>();
        stack.simulated = true;
        stack.output = stack.board;
        logLatchedFrames(*stack.board, std::move(frameLog));
    } else {
        stack.output = realPort(options);
    }

    const bool shadow = options.monitor && !stack.board;
    if (!stack.trace && !shadow) {
        return stack;
    }
    auto tapped = std::make_shared<TappedPort>(stack.output);
    if (VcdTrace* trace = stack.trace.get()) {
        tapped->addTap([trace](std::uint16_t, std::uint16_t word) { trace->record(word); });
    }
    if (stack.simulated) {
        // The frame log and the monitor come after the trace has stamped the word.
        stack.board->deferListeners();
        tapped->addTap(
            [board = stack.board](std::uint16_t, std::uint16_t) { board->deliverLatched(); });
    }
    if (shadow) {
        // A chip of our own, fed with every word that reached the real port,
        // tells the monitor what the real chip received.
        stack.board = std::make_shared<SimulatedBoard>();
        tapped->addTap([board = stack.board](std::uint16_t, std::uint16_t word) {
            board->drive(word, SimulatedBoard::nowNs());
        });
    }
    stack.output = tapped;
    return stack;
}

void PortStack::install() const {
    usePortOutput(output);
}

void PortStack::reopenAfterFailure() const {
    if (output) {
        output->close();
    }
    install();
}

std::optional<std::string> PortStack::finish() {
    releasePortOutput();
    if (output) {
        output->close();
        output.reset();
    }
    if (!trace) {
        return std::nullopt;
    }
    try {
        trace->close();
    } catch (const TraceError& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

void logLatchedFrames(SimulatedBoard& board, LineWriter frameLog) {
    board.onFrameLatched([frameLog = std::move(frameLog)](const LatchedFrame& frame) {
        std::string line =
            "frame " + std::to_string(frame.number) + ": code " + std::to_string(frame.code);
        if (frame.malformed()) {
            line += " (malformed: " + std::to_string(frame.clockEdges) + " clock edges)";
        }
        line += '\n';
        if (frameLog) {
            frameLog(line);
            return;
        }
        // Straight to the descriptor, no stdio buffer: a reader that stalls
        // holds the program only until a stop signal.
        writeWhole(STDOUT_FILENO, line);
    });
}
