#pragma once

#include "hardware/GpioPort.h"
#include "port/MessageText.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Which program reads the command line: all take --port and --trace alike,
// the panel adds --monitor, the sender --interval and the codes to send, the
// SCPI server --listen, the sweep its meter and what it measures.
enum class Program { Panel, Sender, Scpi, Sweep };

// The limits a chip is held to; each is judged only when given.
struct SweepLimits {
    std::optional<double> maxInlLsb;
    std::optional<double> maxDnlLsb;
    std::optional<double> endToEndOhms;
    double endToEndTolerancePercent = 20; // a digital potentiometer's usual tolerance
    std::optional<double> maxWiperOhms;
    bool any() const { return maxInlLsb || maxDnlLsb || endToEndOhms || maxWiperOhms; }
};

// What zovrel-sweep measures and how: codes FIRST to LAST by STEP (downward
// when FIRST > LAST), one frame each, a settle time, then readings; the
// sweep repeated, each time up then down when bothWays. Or no measuring at
// all: a saved CSV read again (fromCsv).
struct SweepOptions {
    std::string meter; // sim, TCPIP::HOST::INSTR, TCPIP::HOST::PORT::SOCKET or /dev/usbtmcN
    int first = 0;
    int last = 127;
    int step = 1;
    int settleMs = 100;
    int readings = 1;
    std::string csv;  // rows as they are measured, or none
    std::string plot; // a PNG or SVG file, or none
    std::string configure = "CONF:RES";
    std::string read = "READ?";
    int timeoutMs = 10000; // the longest a meter may take to answer
    int repeat = 1;
    bool bothWays = false;
    SweepLimits limits;
    std::string fromCsv; // a CSV to analyse again, or none
};

// Where the SCPI server listens: "127.0.0.1:5025", "[::1]:5025", "0.0.0.0:5025".
struct ListenAddress {
    std::string host;
    std::string port;
};

// Reads ADDRESS:PORT (an IPv6 address in brackets); nothing when it is not of that form.
std::optional<ListenAddress> readListenAddress(const std::string& text);

// What the command line asked for. Texts are the argument's bytes as given,
// so that a path names the very file the user typed.
struct ProgramOptions {
    std::string port = "auto";      // auto, sim, direct, ppdev:/dev/parportN, ftdi or ftdi:SERIAL
    std::string trace;              // a file to record every word in, or empty
    bool monitor = false;           // show the port monitor (always on the simulated board)
    int intervalMs = 0;             // the sender's wait after each frame but the last
    std::vector<std::string> codes; // the sender's codes as typed, or "-" for standard input
    std::string listen = "127.0.0.1:5025"; // the SCPI server's address and TCP port
    // Read once, as the command line is checked: what the texts above say.
    ListenAddress listenAddress{"127.0.0.1", "5025"};
    int httpPort = 0;                // the SCPI server's web page, on the listen host; 0: none
    std::string httpPasswordFile;    // holds the password that changes on the page need, or none
    std::optional<GpioMapping> gpio; // for --port=gpio:...
    SweepOptions sweep;
};

// The outcome of reading the command line: run, or leave at once with a text
// for standard output (help, version) or standard error (misuse).
struct CommandLine {
    enum class Outcome { Run, PrintAndExit, Misuse };
    Outcome outcome = Outcome::Run;
    ProgramOptions options;
    std::string text;
    int exitStatus = 0;
};

inline constexpr int misuseExitStatus = 2;
// zovrel-sweep: the chip was measured, and is outside a limit it was held to.
inline constexpr int limitsExitStatus = 3;
inline constexpr int longestInterval = 3'600'000;

// The program's name as it introduces its messages: "zovrel-panel".
std::string programName(Program program);

// One line of misuse for standard error: "zovrel-send: why (try --help)".
CommandLine misuse(Program program, const std::string& why);

// arguments[0] is the program's name, as in argv.
CommandLine readCommandLine(const std::vector<std::string>& arguments,
                            Program program = Program::Panel);
