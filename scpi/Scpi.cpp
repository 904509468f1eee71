#include "scpi/Scpi.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "port/NTPort.h"
#include "scpi/Server.h"
#include "setup/FailureText.h"
#include "setup/PortStack.h"
#include "setup/StandardStreams.h"
#include "setup/StopSignals.h"

#include <unistd.h>

#include <string>
#include <vector>

int runScpi(int argc, char** argv, std::shared_ptr<PortOutput> replacement) {
    guardStandardStreams();
    const CommandLine line =
        readCommandLine(std::vector<std::string>(argv, argv + argc), Program::Scpi);
    if (line.outcome != CommandLine::Outcome::Run) {
        writeWhole(line.outcome == CommandLine::Outcome::Misuse ? STDERR_FILENO : STDOUT_FILENO,
                   line.text);
        return line.exitStatus;
    }
    const auto say = [](const std::string& text) { ::say(Program::Scpi, text); };
    StopSignals stops;
    PortStack stack;
    try {
        stack = buildPortStack(line.options, Program::Scpi, std::move(replacement));
    } catch (const TraceError& e) {
        say(e.what());
        return misuseExitStatus;
    }
    stack.install();

    Instrument::Board board;
    board.identity = "Zovrel,Zovrel Rev B,0," ZOVREL_VERSION;
    Server* server = nullptr;
    board.send = [&board, &server, &say](int code) -> std::optional<std::string> {
        Module1::Data_Byte = code;
        try {
            Read_Write_Bits_to_Parallel_Port();
        } catch (const std::exception& e) {
            // Told on standard error once, and to every client's queue.
            const std::string text = failureText(e, Program::Scpi);
            if (!dynamic_cast<const PortRefused*>(&e)) {
                say(text);
                server->tellEveryone(text);
                return std::nullopt; // the asking client is among everyone
            }
            return text;
        }
        board.lastCode = code;
        return std::nullopt;
    };
    Server serving(board, stops, say);
    server = &serving;
    int status = serving.serve(*readListenAddress(line.options.listen));
    if (const auto traceFailure = stack.finish()) {
        say(*traceFailure);
        if (status == 0) {
            status = 1;
        }
    }
    return status;
}
