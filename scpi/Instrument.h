#pragma once

// zovrel-scpi, the board as a lab instrument: the SCPI commands and their
// state (this file), the TCP server that serves them (Server.h). No Qt.

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// One client's side of the instrument: its error queue and event status
// register, as IEEE 488.2 keeps them per controller. The code last sent and
// the port are the board's, shared by every client through the Board.
class Instrument {
public:
    // The board every client shares: sends one frame, or says why it could not.
    struct Board {
        std::function<std::optional<std::string>(int code)> send; // the failure text, if any
        std::optional<int> lastCode;                              // nothing before the first frame
        std::string identity;                                     // *IDN?'s answer
    };

    static constexpr std::size_t queueLimit = 16;

    explicit Instrument(Board& board) : board_(board) {}

    // Runs one line of commands separated by ';'. Returns the replies of its
    // queries joined by ';', or nothing when none was asked.
    std::optional<std::string> execute(std::string_view line);

    // A failure of the shared port, told to this client's queue.
    void portFailed(const std::string& text) { pushError(-300, text); }
    // An error of the line itself (too long, not text), told as a command error.
    void pushError(int number, const std::string& text);

private:
    std::optional<std::string> run(std::string_view command);
    std::string nextError();

    Board& board_;
    std::deque<std::string> errors_;
    int eventStatus_ = 0;
};
