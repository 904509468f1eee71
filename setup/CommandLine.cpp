#include "setup/CommandLine.h"

#include "hardware/GpioPort.h"
#include "port/MessageText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace {

struct Option {
    std::vector<std::string> names; // without dashes; the first is the one shown
    std::string valueName;          // empty for a switch
    std::string description;
};

bool isKnownPort(const std::string& port) {
    if (port == "auto" || port == "sim" || port == "direct" || port == "ftdi") {
        return true;
    }
    return (port.rfind("ppdev:/", 0) == 0 && port.size() > 7) ||
           (port.rfind("ftdi:", 0) == 0 && port.size() > 5) || port.rfind("gpio:", 0) == 0;
}

// The window system's own options, which a desktop user may give any Qt
// program: the panel leaves them (and their values) for Qt to take. Each is
// written with one dash or two, its value after '=' or as the next argument.
struct QtOption {
    const char* name;
    bool takesValue;
};
constexpr QtOption qtOptions[] = {
    {"style", true},
    {"stylesheet", true},
    {"platform", true},
    {"platformtheme", true},
    {"platformpluginpath", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"qwindowicon", true},
    {"qwindowtitle", true},
    {"geometry", true},
    {"title", true},
    {"name", true},
    {"display", true},
    {"session", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
};

// How many arguments a window-system option at arguments[i] takes up (0: none there).
std::size_t qtOptionAt(const std::vector<std::string>& arguments, std::size_t i) {
    const std::string& argument = arguments[i];
    const std::size_t dashes = argument.rfind("--", 0) == 0 ? 2 : 1;
    if (argument.size() <= dashes || argument[0] != '-') {
        return 0;
    }
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(dashes, equals - dashes);
    for (const QtOption& option : qtOptions) {
        if (name == option.name) {
            if (!option.takesValue || equals != std::string::npos) {
                return 1;
            }
            return i + 1 < arguments.size() ? 2 : 0;
        }
    }
    return 0;
}

// A code such as "-1" or "-.5" is an argument to refuse as a code, not an option.
bool looksNumeric(const std::string& argument) {
    return argument.size() > 1 &&
           ((argument[1] >= '0' && argument[1] <= '9') || argument[1] == '.');
}

bool readInterval(const std::string& text, int& milliseconds) {
    const auto value = readDecimal(text, longestInterval);
    if (value) {
        milliseconds = static_cast<int>(*value);
    }
    return value.has_value();
}

std::string helpText(Program program, const std::vector<Option>& options) {
    const bool panel = program == Program::Panel;
    const bool sender = program == Program::Sender;
    const bool sweep = program == Program::Sweep;
    std::string text = "Usage: " + programName(program) +
                       (sender  ? " [options] CODE...|-\n"
                        : sweep ? " --meter=RESOURCE [options]\n"
                                : " [options]\n");
    text += panel    ? "Control panel for the Zovrel Rev B digital potentiometer board on the "
                       "first parallel port (0x378).\n"
            : sender ? "Sends wiper codes (0 to 127) to the Zovrel Rev B board on the first "
                       "parallel port (0x378), one frame each, in the order given.\n"
            : sweep  ? "Steps the Zovrel Rev B board's wiper through its codes, reads a bench "
                       "meter at each, and gives its resistance, INL and DNL.\n"
                     : "Serves the Zovrel Rev B board as a SCPI instrument over VXI-11 and on a "
                       "raw TCP socket (commands and replies end with a new line).\n";
    text += "\nOptions:\n";
    for (const Option& option : options) {
        std::string names;
        for (const std::string& name : option.names) {
            names +=
                (names.empty() ? "" : ", ") + std::string(name.size() == 1 ? "-" : "--") + name;
        }
        if (!option.valueName.empty()) {
            names += " <" + option.valueName + ">";
        }
        names.resize(std::max<std::size_t>(names.size() + 2, 18), ' ');
        text += "  " + names + option.description + "\n";
    }
    if (sender) {
        text += "\nArguments:\n  CODE...|-         Codes 0 to 127, or - to read them from standard "
                "input.\n";
    }
    return text;
}

} // namespace

std::string programName(Program program) {
    switch (program) {
    case Program::Panel:
        return "zovrel-panel";
    case Program::Sender:
        return "zovrel-send";
    case Program::Scpi:
        return "zovrel-scpi";
    case Program::Sweep:
        return "zovrel-sweep";
    }
    return {};
}

std::optional<ListenAddress> readListenAddress(const std::string& text) {
    ListenAddress address;
    std::size_t colon = 0;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        address.host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) {
            return std::nullopt;
        }
        address.host = text.substr(0, colon);
    }
    address.port = text.substr(colon + 1);
    if (address.host.empty() || !readDecimal(address.port, 65535)) {
        return std::nullopt;
    }
    return address;
}

namespace {

// A positive, finite decimal number, written whole (no sign, no spaces, no hex).
std::optional<double> readPositive(const std::string& text) {
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value) || value <= 0) {
        return std::nullopt;
    }
    return value;
}

// The sweep's own options, each checked before anything is sent.
template <typename Given>
CommandLine readSweepOptions(CommandLine line, Program program, const Given& given) {
    SweepOptions& sweep = line.options.sweep;
    const auto text = [&](const char* name, std::string& into) {
        if (!given(name).empty()) {
            into = given(name).front();
        }
    };
    text("meter", sweep.meter);
    text("from-csv", sweep.fromCsv);
    text("csv", sweep.csv);
    text("plot", sweep.plot);
    text("configure", sweep.configure);
    text("read", sweep.read);
    if (sweep.meter.empty() && sweep.fromCsv.empty()) {
        return misuse(program, "--meter is needed: sim, TCPIP::HOST::INSTR, "
                               "TCPIP::HOST::PORT::SOCKET or /dev/usbtmcN (or --from-csv=FILE)");
    }
    if (!sweep.fromCsv.empty()) {
        // A sweep already made: only what analyses it again applies.
        for (const char* measuring :
             {"meter", "port", "trace", "codes", "settle", "readings", "csv", "configure", "read",
              "timeout", "repeat", "both-ways"}) {
            if (!given(measuring).empty()) {
                return misuse(program, std::string("--from-csv reads a sweep already made: it "
                                                   "takes no --") +
                                           measuring);
            }
        }
    }
    if (sweep.configure.empty() || sweep.read.empty()) {
        return misuse(program, "--configure and --read take a command");
    }
    const auto number = [&](const char* name, unsigned long low, unsigned long high, int& into) {
        if (given(name).empty()) {
            return true;
        }
        const auto value = readDecimal(given(name).front(), high);
        if (!value || *value < low) {
            return false;
        }
        into = static_cast<int>(*value);
        return true;
    };
    if (!number("settle", 0, longestInterval, sweep.settleMs)) {
        return misuse(program, "--settle takes a whole number of milliseconds from 0 to 3600000, "
                               "not '" +
                                   given("settle").front() + "'");
    }
    if (!number("readings", 1, 1000, sweep.readings)) {
        return misuse(program, "--readings takes a whole number from 1 to 1000, not '" +
                                   given("readings").front() + "'");
    }
    if (!number("timeout", 1, longestInterval, sweep.timeoutMs)) {
        return misuse(program, "--timeout takes a whole number of milliseconds from 1 to "
                               "3600000, not '" +
                                   given("timeout").front() + "'");
    }
    if (!number("repeat", 1, 1000, sweep.repeat)) {
        return misuse(program, "--repeat takes a whole number from 1 to 1000, not '" +
                                   given("repeat").front() + "'");
    }
    sweep.bothWays = !given("both-ways").empty();
    // A limit: a positive number, and for the end-to-end resistance an
    // optional tolerance in percent after a colon.
    const auto limit = [&](const char* name, std::optional<double>& into, double* tolerance) {
        if (given(name).empty()) {
            return true;
        }
        std::string value = given(name).front();
        if (const std::size_t colon = value.find(':'); tolerance && colon != std::string::npos) {
            std::string given = value.substr(colon + 1);
            if (!given.empty() && given.back() == '%') {
                given.pop_back();
            }
            const auto percent = readPositive(given);
            if (!percent || *percent >= 100) {
                return false;
            }
            *tolerance = *percent;
            value.resize(colon);
        }
        into = readPositive(value);
        return into.has_value();
    };
    SweepLimits& limits = sweep.limits;
    if (!limit("max-inl", limits.maxInlLsb, nullptr) ||
        !limit("max-dnl", limits.maxDnlLsb, nullptr) ||
        !limit("max-wiper", limits.maxWiperOhms, nullptr)) {
        const char* name = !given("max-inl").empty() && !limits.maxInlLsb   ? "max-inl"
                           : !given("max-dnl").empty() && !limits.maxDnlLsb ? "max-dnl"
                                                                            : "max-wiper";
        return misuse(program, std::string("--") + name + " takes a positive number, not '" +
                                   given(name).front() + "'");
    }
    if (!limit("end-to-end", limits.endToEndOhms, &limits.endToEndTolerancePercent)) {
        return misuse(program, "--end-to-end takes OHMS or OHMS:TOLERANCE%, such as 10000:20, "
                               "not '" +
                                   given("end-to-end").front() + "'");
    }
    if (!given("codes").empty()) {
        const std::string& codes = given("codes").front();
        const std::size_t colon = codes.find(':');
        const std::size_t second = colon == std::string::npos ? colon : codes.find(':', colon + 1);
        const unsigned long none = 1000; // not a code
        const unsigned long first = readDecimal(codes.substr(0, colon), 127).value_or(none);
        const unsigned long last =
            colon == std::string::npos
                ? none
                : readDecimal(codes.substr(colon + 1, second - colon - 1), 127).value_or(none);
        const unsigned long step = second == std::string::npos
                                       ? 1
                                       : readDecimal(codes.substr(second + 1), 127).value_or(0);
        if (first == none || last == none || step == 0 || first == last) {
            return misuse(program, "--codes takes FIRST:LAST or FIRST:LAST:STEP, two different "
                                   "codes from 0 to 127 and a step from 1 to 127, not '" +
                                       codes + "'");
        }
        sweep.first = static_cast<int>(first);
        sweep.last = static_cast<int>(last);
        sweep.step = static_cast<int>(step);
    }
    if (!sweep.plot.empty()) {
        const auto endsWith = [&](const char* end) {
            const std::string tail(end);
            return sweep.plot.size() > tail.size() &&
                   sweep.plot.compare(sweep.plot.size() - tail.size(), tail.size(), tail) == 0;
        };
        if (!endsWith(".png") && !endsWith(".svg")) {
            return misuse(program, "--plot names a .png or .svg file, not '" + sweep.plot + "'");
        }
    }
    return line;
}

} // namespace

CommandLine misuse(Program program, const std::string& why) {
    CommandLine line;
    line.outcome = CommandLine::Outcome::Misuse;
    line.exitStatus = misuseExitStatus;
    line.text = programName(program) + ": " + printable(why) + " (try --help)\n";
    return line;
}

CommandLine readCommandLine(const std::vector<std::string>& arguments, Program program) {
    const bool panel = program == Program::Panel;
    std::vector<Option> options = {
        {{"h", "help"}, "", "Show this help and exit."},
        {{"version"}, "", "Show the program's version and exit."},
        {{"port"},
         "port",
         "How to reach the board: auto (the parallel port at 0x378 through ppdev, the default), "
         "ppdev:/dev/parportN (that port, taken as 0x378), direct (I/O instructions; needs "
         "CAP_SYS_RAWIO), ftdi or ftdi:SERIAL (an FTDI USB adapter in bit-bang mode, the one "
         "there is or the one with that serial number), gpio:CHIP:D0=LINE,D1=LINE,D2=LINE,... "
         "(GPIO lines of a single-board computer) or sim (a simulated board that prints every "
         "frame it latches)."},
        {{"trace"},
         "file",
         "Record every word written to the port in <file>, a Value Change Dump of the data "
         "lines D0 to D7 (an existing file is replaced)."},
    };
    if (program == Program::Scpi) {
        options.push_back({{"listen"},
                           "address",
                           "Serve SCPI on <address>, ADDRESS:PORT (an IPv6 address in brackets); "
                           "the default, 127.0.0.1:5025, is this machine only."});
        options.push_back({{"http-port"},
                           "port",
                           "Serve the instrument's web page on <port> of the listen address's "
                           "host (0, the default: no page)."});
        options.push_back({{"http-password-file"},
                           "file",
                           "Changes made on the web page need the password in <file>, as user "
                           "admin (HTTP Digest); the page stays readable."});
    } else if (program == Program::Sweep) {
        const std::vector<Option> sweepOptions = {
            {{"meter"},
             "resource",
             "The meter: TCPIP::HOST::INSTR (VXI-11), TCPIP::HOST::PORT::SOCKET (a raw socket), "
             "/dev/usbtmcN (a USB meter) or sim (a simulated meter reading the simulated board)."},
            {{"codes"}, "first:last[:step]", "The codes to measure (0:127:1, the default)."},
            {{"settle"}, "ms", "Wait <ms> milliseconds after each frame (100; 0 to 3600000)."},
            {{"readings"}, "n", "Readings at each code (1; 1 to 1000); their mean is kept."},
            {{"csv"}, "file", "Write a row for each code to <file> as it is measured."},
            {{"plot"},
             "file",
             "Draw resistance, INL and DNL against code to <file> (.png or .svg)."},
            {{"configure"}, "command", "What sets the meter up (CONF:RES)."},
            {{"read"}, "command", "What asks the meter for a reading (READ?)."},
            {{"timeout"}, "ms", "The longest the meter may take to answer (10000)."},
            {{"repeat"}, "n", "Sweep <n> times (1; 1 to 1000)."},
            {{"both-ways"}, "", "Sweep each time up, then down, to show hysteresis."},
            {{"max-inl"}, "lsb", "Fail the chip when its largest |INL| passes <lsb>."},
            {{"max-dnl"}, "lsb", "Fail the chip when its largest |DNL| passes <lsb>."},
            {{"end-to-end"},
             "ohms[:tol%]",
             "Fail the chip when its end-to-end resistance is not <ohms> within <tol> percent "
             "(20)."},
            {{"max-wiper"}, "ohms", "Fail the chip when its wiper resistance passes <ohms>."},
            {{"from-csv"}, "file", "Analyse a CSV this program wrote, with no board and no meter."},
        };
        options.insert(options.end(), sweepOptions.begin(), sweepOptions.end());
    } else if (panel) {
        options.push_back({{"monitor"},
                           "",
                           "Show the port monitor, a window that follows every "
                           "frame sent (always shown with --port=sim)."});
    } else {
        options.push_back({{"interval"},
                           "ms",
                           "Wait <ms> milliseconds after each frame but the "
                           "last (0 to 3600000)."});
    }

    // Each option's values in order; a switch counts as one empty value.
    std::vector<std::vector<std::string>> values(options.size());
    std::vector<std::string> positional;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            positional.insert(positional.end(), arguments.begin() + long(i) + 1, arguments.end());
            break;
        }
        if (argument.size() < 2 || argument[0] != '-' || (!panel && looksNumeric(argument))) {
            positional.push_back(argument);
            continue;
        }
        if (const std::size_t taken = panel ? qtOptionAt(arguments, i) : 0) {
            i += taken - 1; // Qt's, for QApplication to read from the same argv
            continue;
        }
        // "--name=value", "-name=value", "--name value"
        const std::size_t dashes = argument[1] == '-' ? 2 : 1;
        const std::size_t equals = argument.find('=');
        const std::string typed = argument.substr(0, equals);
        const std::string name = typed.substr(dashes);
        const auto found = std::find_if(options.begin(), options.end(), [&name](const Option& o) {
            return std::find(o.names.begin(), o.names.end(), name) != o.names.end();
        });
        if (found == options.end()) {
            return misuse(program, "Unknown option '" + name + "'.");
        }
        auto& slot = values[std::size_t(found - options.begin())];
        if (found->valueName.empty()) {
            if (equals != std::string::npos) {
                return misuse(program, "Unexpected value after '" + typed + "'.");
            }
            slot.emplace_back();
        } else if (equals != std::string::npos) {
            slot.push_back(argument.substr(equals + 1));
        } else if (i + 1 < arguments.size()) {
            slot.push_back(arguments[++i]);
        } else {
            return misuse(program, "Missing value after '" + typed + "'.");
        }
    }
    const auto given = [&](const char* name) -> const std::vector<std::string>& {
        for (std::size_t k = 0; k < options.size(); ++k) {
            if (options[k].names.back() == name) {
                return values[k];
            }
        }
        static const std::vector<std::string> none;
        return none;
    };

    if (program != Program::Sender && !positional.empty()) {
        return misuse(program, "unexpected argument '" + positional.front() + "'");
    }
    CommandLine line;
    if (!given("help").empty()) {
        line.outcome = CommandLine::Outcome::PrintAndExit;
        line.text = helpText(program, options);
        return line;
    }
    if (!given("version").empty()) {
        line.outcome = CommandLine::Outcome::PrintAndExit;
        line.text = programName(program) + " " ZOVREL_VERSION "\n";
        return line;
    }
    for (const char* once :
         {"port", "trace", "interval", "listen", "http-port", "http-password-file", "meter",
          "codes", "settle", "readings", "csv", "plot", "configure", "read", "timeout"}) {
        if (given(once).size() > 1) {
            return misuse(program, std::string("--") + once + " given more than once");
        }
    }
    if (!given("trace").empty()) {
        line.options.trace = given("trace").front();
        if (line.options.trace.empty()) {
            return misuse(program, "--trace needs a file name");
        }
        if (line.options.trace == "-") {
            return misuse(program, "--trace=- is not taken: the trace is not written to standard "
                                   "output; name a file");
        }
    }
    if (!given("port").empty()) {
        line.options.port = given("port").front();
    }
    if (line.options.port.rfind("gpio:", 0) == 0) {
        std::string gpioProblem;
        line.options.gpio = readGpioMapping(line.options.port.substr(5), gpioProblem);
        if (!line.options.gpio) {
            return misuse(program, "--port=" + line.options.port + ": " + gpioProblem);
        }
    }
    if (!isKnownPort(line.options.port)) {
        return misuse(program, "unknown port '" + line.options.port +
                                   "'; use auto, sim, direct, ppdev:/dev/parportN, ftdi, "
                                   "ftdi:SERIAL or gpio:CHIP:D0=LINE,D1=LINE,D2=LINE");
    }
    if (panel) {
        line.options.monitor = !given("monitor").empty();
        return line;
    }
    if (program == Program::Scpi) {
        if (!given("listen").empty()) {
            line.options.listen = given("listen").front();
        }
        const auto address = readListenAddress(line.options.listen);
        if (!address) {
            return misuse(program, "--listen takes ADDRESS:PORT, such as 127.0.0.1:5025 or "
                                   "[::1]:5025, not '" +
                                       line.options.listen + "'");
        }
        line.options.listenAddress = *address;
        if (!given("http-port").empty()) {
            const auto port = readDecimal(given("http-port").front(), 65535);
            if (!port) {
                return misuse(program, "--http-port takes a TCP port from 0 to 65535, not '" +
                                           given("http-port").front() + "'");
            }
            line.options.httpPort = static_cast<int>(*port);
        }
        if (!given("http-password-file").empty()) {
            line.options.httpPasswordFile = given("http-password-file").front();
            if (line.options.httpPort == 0) {
                return misuse(program, "--http-password-file guards the web page: it needs "
                                       "--http-port");
            }
        }
        return line;
    }
    if (program == Program::Sweep) {
        return readSweepOptions(line, program, given);
    }
    const std::string interval = given("interval").empty() ? "0" : given("interval").front();
    if (!readInterval(interval, line.options.intervalMs)) {
        return misuse(program, "--interval takes a whole number of milliseconds from 0 to "
                               "3600000, not '" +
                                   interval + "'");
    }
    if (positional.empty()) {
        return misuse(program, "no codes to send; usage: zovrel-send [options] CODE... or "
                               "zovrel-send [options] -");
    }
    if (positional.size() > 1 &&
        std::find(positional.begin(), positional.end(), "-") != positional.end()) {
        return misuse(program,
                      "'-' reads the codes from standard input and takes no codes beside it");
    }
    line.options.codes = positional;
    return line;
}
