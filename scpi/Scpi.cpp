#include "scpi/Scpi.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "scpi/Advertiser.h"
#include "scpi/HttpDoor.h"
#include "scpi/RawDoor.h"
#include "scpi/Server.h"
#include "scpi/Sockets.h"
#include "scpi/StreamOutput.h"
#include "scpi/Vxi11Door.h"
#include "setup/FailureText.h"
#include "setup/PortStack.h"
#include "setup/StandardStreams.h"
#include "setup/StopSignals.h"

#include <unistd.h>

#include <fstream>

#include <string>
#include <vector>

namespace {

// How long the end of a run waits for its last messages to be read.
constexpr auto lastWords = std::chrono::milliseconds(500);

// The board on the chosen port, one frame a code. A port that fails is not
// given up: the failure is told, the port released, and the next code opens
// it afresh, so an adapter plugged back in or a port another program freed is
// used again without a restart.
class PortBoard {
public:
    explicit PortBoard(PortStack& stack) : stack_(stack) {}

    // The failure's text, with cause and remedy, if the frame did not go whole.
    std::optional<std::string> send(int code) {
        Module1::Data_Byte = code;
        try {
            if (cut_) {
                // The last frame may have stopped with select low and some
                // bits shifted in: replace them before select rises again.
                shiftCodeWithoutLatching();
            }
            Read_Write_Bits_to_Parallel_Port();
        } catch (const std::exception& e) {
            // A port that would not open wrote nothing: only a frame that
            // went out in part leaves the chip's bits to replace.
            cut_ = cut_ || stack_.output->isOpen();
            stack_.reopenAfterFailure();
            return failureText(e, Program::Scpi);
        }
        cut_ = false;
        return std::nullopt;
    }

private:
    PortStack& stack_;
    bool cut_ = false; // a frame failed, and what the chip holds is not known
};

} // namespace

int runScpi(int argc, char** argv, std::shared_ptr<PortOutput> replacement) {
    guardStandardStreams();
    const CommandLine line =
        readCommandLine(std::vector<std::string>(argv, argv + argc), Program::Scpi);
    if (line.outcome != CommandLine::Outcome::Run) {
        writeWhole(line.outcome == CommandLine::Outcome::Misuse ? STDERR_FILENO : STDOUT_FILENO,
                   line.text);
        return line.exitStatus;
    }
    StopSignals stops;
    // A server never waits on its own output: a frame log or messages that
    // nobody reads are held, then dropped and counted.
    const std::string note = programName(Program::Scpi) + ": ";
    StreamOutput out(STDOUT_FILENO, note);
    StreamOutput err(STDERR_FILENO, note);
    const auto say = [&err, &note](const std::string& text) { err.write(note + text + "\n"); };
    const auto end = [&](int status) {
        out.finish(lastWords);
        err.finish(lastWords);
        return status;
    };

    // The web page's password, from its file's first line: never on the
    // command line, where any user's ps would show it.
    std::string password;
    if (!line.options.httpPasswordFile.empty()) {
        std::ifstream file(line.options.httpPasswordFile);
        std::getline(file, password);
        if (!password.empty() && password.back() == '\r') {
            password.pop_back();
        }
        if (password.empty()) {
            say("the password file '" + printable(line.options.httpPasswordFile) + "' " +
                (file.is_open() ? "holds no password on its first line" : "cannot be read"));
            return end(misuseExitStatus);
        }
    }

    PortStack stack;
    try {
        stack = buildPortStack(line.options, Program::Scpi, std::move(replacement),
                               [&out](std::string_view logged) { out.write(logged); });
    } catch (const TraceError& e) {
        say(e.what());
        return end(misuseExitStatus);
    }
    stack.install();

    Instrument::Board board;
    board.identity = "Zovrel,Zovrel Rev B,0," ZOVREL_VERSION;
    PortBoard port(stack);
    Server server(stops, {&out, &err});
    board.send = [&](int code) -> std::optional<std::string> {
        if (const auto failure = port.send(code)) {
            // Told on standard error whole, and to every client's queue
            // (the asking client's among them).
            say(*failure);
            server.tellEveryone(*failure);
            board.lastCode.reset(); // what the wiper holds is not known
            board.lastFailure = *failure;
            return std::nullopt;
        }
        board.lastCode = code;
        board.lastFailure.reset();
        board.recentCodes.push_back(code);
        if (board.recentCodes.size() > 16) {
            board.recentCodes.pop_front();
        }
        return std::nullopt;
    };
    int status = 1; // when it cannot listen
    if (UniqueFd raw = listenOn(line.options.listenAddress, say)) {
        say("listening on " + addressText(raw.get()));
        const unsigned short rawPort = boundPort(raw.get());
        server.addDoor(std::make_unique<RawDoor>(std::move(raw), board, say));
        auto vxi11 = std::make_unique<Vxi11Door>(board, say);
        const bool vxi11Served = vxi11->open(line.options.listenAddress);
        if (vxi11Served) {
            server.addDoor(std::move(vxi11));
        }
        unsigned short httpPort = 0;
        HttpDoor* pageDoor = nullptr; // told its mDNS name
        bool started = true;          // a page asked for and not served is a failure to start
        if (line.options.httpPort != 0) {
            const int port = line.options.httpPort;
            auto page = std::make_unique<HttpDoor>(
                board,
                [&board, rawPort, vxi11Served, port](const std::string& reached) {
                    return identityOf(board, reached, rawPort, vxi11Served, port);
                },
                say);
            pageDoor = page.get();
            if (!password.empty()) {
                page->requirePassword(password);
            }
            started = page->open(line.options.listenAddress, line.options.httpPort);
            if (started) {
                server.addDoor(std::move(page));
                httpPort = static_cast<unsigned short>(line.options.httpPort);
            }
        }
        // Found by mDNS only where it can be reached from elsewhere.
        Advertiser advertiser(say);
        if (started && Advertiser::reachesOut(line.options.listenAddress) &&
            advertiser.start({line.options.listenAddress, rawPort, vxi11Served, httpPort,
                              [pageDoor](const std::string& name) {
                                  if (pageDoor) {
                                      pageDoor->answerTo(name);
                                  }
                              }})) {
            server.setWait([&advertiser](std::vector<pollfd>& watched, int timeoutMs) {
                return advertiser.wait(watched, timeoutMs);
            });
        }
        if (started) {
            status = server.serve(say);
        }
    }
    if (const auto traceFailure = stack.finish()) {
        say(*traceFailure);
        if (status == 0) {
            status = 1;
        }
    }
    return end(status);
}
