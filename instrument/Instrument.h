#pragma once

// The board as a lab instrument, with no sockets in it: the SCPI commands and
// their state (this file), the lines a client sends (LineInput.h), one
// controller's conversation (Session.h). The doors that bring controllers
// to it are in scpi/. No Qt.

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One client's side of the instrument: its error queue and status registers,
// as IEEE 488.2 keeps them per controller. The code last sent and the port
// are the board's, shared by every client through the Board.
class Instrument {
public:
    // The board every client shares: sends one frame, or says why it could not.
    struct Board {
        std::function<std::optional<std::string>(int code)> send; // the failure text, if any
        std::optional<int> lastCode;                              // nothing while not known
        std::string identity;                                     // *IDN?'s answer
        std::deque<int> recentCodes; // the codes of the last frames sent whole, newest last
        std::optional<std::string> lastFailure; // the port's, until a frame goes whole again
    };

    static constexpr std::size_t queueLimit = 16;
    // SCPI's longest error description.
    static constexpr std::size_t descriptionLimit = 255;

    // Status byte bits (IEEE 488.2 and SCPI-99).
    static constexpr int errorQueueBit = 1 << 2;
    static constexpr int messageAvailableBit = 1 << 4;
    static constexpr int eventSummaryBit = 1 << 5;
    static constexpr int serviceRequestBit = 1 << 6;

    explicit Instrument(Board& board) : board_(board) {}

    // Runs one program message (a line without its terminator) whole. Returns
    // the replies of its queries joined by ';', or nothing when none was asked.
    std::optional<std::string> execute(std::string_view line);

    // The same, a command at a time, so that a long line shares the server
    // with other clients: start() takes the line, each step() runs one
    // command, and once finished() the response is taken.
    void start(std::string line);
    void step();
    bool finished() const { return at_ >= line_.size(); }
    std::optional<std::string> takeResponse();

    // The status byte; messageAvailable: a reply waits in the client's output.
    int statusByte(bool messageAvailable) const;
    // Tells *STB? whether replies already wait to be sent to the client.
    void setOutputWaiting(bool waiting) { outputWaiting_ = waiting; }
    // A device clear: the message being run is dropped, the registers stay.
    void clear();

    // A failure of the shared port, told to this client's queue.
    void portFailed(const std::string& text) { pushError(-300, text); }
    // An error of the line itself (too long, not text), told as a command error.
    void pushError(int number, const std::string& detail = {});

private:
    struct Parameter;
    struct Unit;

    Unit parseUnit();
    std::optional<std::string> run(const Unit& unit);
    std::optional<std::string> runCommon(const Unit& unit);
    std::optional<std::string> runWiper(const Unit& unit);
    std::optional<int> wholeParameter(const Unit& unit, int low, int high);
    std::string nextError();

    Board& board_;
    std::deque<std::string> errors_;
    int eventStatus_ = 0;
    int eventEnable_ = 0;
    int serviceEnable_ = 0;
    bool outputWaiting_ = false;

    // The program message being run.
    std::string line_;
    std::size_t at_ = 0;
    std::vector<std::string> path_; // the compound header's current path
    std::vector<std::string> replies_;
};
