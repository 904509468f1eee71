#include "instrument/Instrument.h"

#include "port/MessageText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace {

// Event status register bits.
constexpr int operationComplete = 1 << 0;
constexpr int queryError = 1 << 2;
constexpr int deviceError = 1 << 3;
constexpr int executionError = 1 << 4;
constexpr int commandError = 1 << 5;

constexpr int codeMin = 0;
constexpr int codeMax = 127;
// SCPI's "not a number", for a code not known.
constexpr const char* notANumber = "9.91E+37";

// IEEE 488.2 white space: every control character but the new line, and the space.
bool isWhite(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 && byte != '\n';
}

bool isLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

bool isMnemonicChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isWhite(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isWhite(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A mnemonic as SCPI writes it: the upper-case letters are the short form,
// all of it the long form; either is taken, in any case.
bool matches(const std::string& typed, std::string_view mnemonic) {
    std::string shortForm;
    for (char c : mnemonic) {
        if (std::isupper(static_cast<unsigned char>(c))) {
            shortForm += c;
        }
    }
    return typed == shortForm || typed == upper(mnemonic);
}

// A header's nodes, each a mnemonic, some of which may be left out:
// {{"SOURce", optional}, {"WIPer"}} matches WIP, SOUR:WIP, SOURCE:WIPER...
struct Node {
    std::string_view name;
    bool optional = false;
};
constexpr bool optional = true;

bool walk(const std::vector<std::string>& nodes, std::size_t n, const std::vector<Node>& wanted,
          std::size_t w) {
    if (w == wanted.size()) {
        return n == nodes.size();
    }
    if (n < nodes.size() && matches(nodes[n], wanted[w].name) &&
        walk(nodes, n + 1, wanted, w + 1)) {
        return true;
    }
    return wanted[w].optional && walk(nodes, n, wanted, w + 1);
}

bool headerIs(const std::vector<std::string>& nodes, std::initializer_list<Node> pattern) {
    return walk(nodes, 0, std::vector<Node>(pattern), 0);
}

const char* errorMeaning(int number) {
    switch (number) {
    case -100:
        return "Command error";
    case -104:
        return "Data type error";
    case -108:
        return "Parameter not allowed";
    case -109:
        return "Missing parameter";
    case -113:
        return "Undefined header";
    case -121:
        return "Invalid character in number";
    case -138:
        return "Suffix not allowed";
    case -151:
        return "Invalid string data";
    case -222:
        return "Data out of range";
    case -224:
        return "Illegal parameter value";
    case -300:
        return "Device-specific error";
    case -350:
        return "Queue overflow";
    case -420:
        return "Query UNTERMINATED";
    default:
        return "Error";
    }
}

int eventBitOf(int number) {
    return number <= -100 && number > -200   ? commandError
           : number <= -200 && number > -300 ? executionError
           : number <= -300 && number > -400 ? deviceError
                                             : queryError;
}

// Text from the client, cut and cleaned, in quotes. Built by appending: GCC 12
// at -O3 warns falsely about a literal added to a temporary string.
std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out += printable(text.substr(0, 40));
    out += '\'';
    return out;
}

// Cut to at most limit bytes, never inside a UTF-8 character.
std::string cutText(std::string text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
    return text;
}

} // namespace

struct Instrument::Parameter {
    enum class Kind { Number, Word, Text };
    Kind kind = Kind::Number;
    double number = 0;    // a decimal or non-decimal number
    bool suffix = false;  // a number followed by a unit
    std::string word;     // character data, upper-cased, or a string's content
    std::string_view raw; // as typed, for messages
};

struct Instrument::Unit {
    std::string_view text; // as typed, without the white space around it
    bool common = false;   // *IDN?, *RST...
    bool rooted = false;   // a leading ':' starts from the root
    bool query = false;
    std::vector<std::string> nodes; // upper-cased
    std::vector<Parameter> parameters;
    int error = 0; // a syntax error found while reading it
};

void Instrument::pushError(int number, const std::string& detail) {
    eventStatus_ |= eventBitOf(number);
    if (errors_.size() >= queueLimit) {
        // The newest error gives way to the overflow, as the standard asks.
        errors_.back() = "-350,\"Queue overflow\"";
        return;
    }
    // The device's own errors say the program's message; the rest say what
    // the standard calls them, then the detail.
    std::string description = number == -300 && !detail.empty() ? detail
                              : detail.empty()                  ? std::string(errorMeaning(number))
                                               : std::string(errorMeaning(number)) + ";" + detail;
    std::replace(description.begin(), description.end(), '"', '\'');
    std::string entry = std::to_string(number) + ",\"";
    entry += cutText(std::move(description), descriptionLimit);
    errors_.push_back(entry + "\"");
}

std::string Instrument::nextError() {
    if (errors_.empty()) {
        return "0,\"No error\"";
    }
    std::string entry = std::move(errors_.front());
    errors_.pop_front();
    return entry;
}

int Instrument::statusByte(bool messageAvailable) const {
    const int summary = (errors_.empty() ? 0 : errorQueueBit) |
                        (messageAvailable ? messageAvailableBit : 0) |
                        ((eventStatus_ & eventEnable_) != 0 ? eventSummaryBit : 0);
    return summary | ((summary & serviceEnable_) != 0 ? serviceRequestBit : 0);
}

void Instrument::clear() {
    line_.clear();
    at_ = 0;
    path_.clear();
    replies_.clear();
}

std::optional<std::string> Instrument::execute(std::string_view line) {
    start(std::string(line));
    while (!finished()) {
        step();
    }
    return takeResponse();
}

void Instrument::start(std::string line) {
    line_ = std::move(line);
    at_ = 0;
    path_.clear();
    replies_.clear();
}

void Instrument::step() {
    if (finished()) {
        return;
    }
    const Unit unit = parseUnit();
    if (unit.text.empty()) {
        return; // nothing between two separators
    }
    if (auto reply = run(unit)) {
        replies_.push_back(std::move(*reply));
    }
}

std::optional<std::string> Instrument::takeResponse() {
    if (replies_.empty()) {
        return std::nullopt;
    }
    std::string joined;
    for (const std::string& reply : replies_) {
        if (!joined.empty()) {
            joined += ';';
        }
        joined += reply;
    }
    replies_.clear();
    return joined;
}

// Reads the next program message unit, up to the ';' after it (outside
// quotes), and leaves at_ past that ';'.
Instrument::Unit Instrument::parseUnit() {
    const std::string_view line = line_;
    std::size_t at = at_;
    Unit unit;
    const auto here = [&]() { return at < line.size() ? line[at] : '\0'; };
    const auto atEnd = [&]() { return at >= line.size() || line[at] == ';'; };
    const auto skipWhite = [&]() {
        while (at < line.size() && isWhite(line[at])) {
            ++at;
        }
    };
    const auto fail = [&](int number) {
        if (unit.error == 0) {
            unit.error = number;
        }
    };
    skipWhite();
    const std::size_t begin = at;

    // The header: *COMMON, or [:]NODE[:NODE...], then '?' for a query.
    if (here() == '*') {
        unit.common = true;
        ++at;
    } else if (here() == ':') {
        unit.rooted = true;
        ++at;
    }
    for (;;) {
        const std::size_t from = at;
        if (!isLetter(here())) {
            fail(-100);
            break;
        }
        while (isMnemonicChar(here())) {
            ++at;
        }
        unit.nodes.push_back(upper(line.substr(from, at - from)));
        if (unit.common || here() != ':') {
            break;
        }
        ++at;
    }
    if (unit.error == 0 && here() == '?') {
        unit.query = true;
        ++at;
    }
    if (unit.error == 0 && !atEnd() && !isWhite(here())) {
        fail(-100);
    }

    // The parameters, separated by commas.
    skipWhite();
    while (unit.error == 0 && !atEnd()) {
        Parameter parameter;
        const std::size_t from = at;
        const char c = here();
        if (c == '"' || c == '\'') {
            parameter.kind = Parameter::Kind::Text;
            ++at;
            for (;;) {
                if (at >= line.size()) {
                    fail(-151);
                    break;
                }
                if (line[at] == c) {
                    if (at + 1 < line.size() && line[at + 1] == c) {
                        parameter.word += c; // a doubled quote stands for one
                        at += 2;
                        continue;
                    }
                    ++at;
                    break;
                }
                parameter.word += line[at++];
            }
        } else if (c == '#') {
            // Non-decimal numbers: #H hexadecimal, #Q octal, #B binary.
            ++at;
            const char radixLetter =
                static_cast<char>(std::toupper(static_cast<unsigned char>(here())));
            const int radix = radixLetter == 'H'   ? 16
                              : radixLetter == 'Q' ? 8
                              : radixLetter == 'B' ? 2
                                                   : 0;
            if (radix == 0) {
                fail(-104); // block data, which no command takes
                break;
            }
            ++at;
            const std::size_t digits = at;
            while (isMnemonicChar(here())) {
                int value = 0;
                const auto [end, error] =
                    std::from_chars(line.data() + at, line.data() + at + 1, value, radix);
                if (error != std::errc()) {
                    fail(-121);
                    break;
                }
                parameter.number = parameter.number * radix + value;
                ++at;
            }
            if (at == digits) {
                fail(-121);
            }
        } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' ||
                   c == '.') {
            // A decimal number, <NRf>: [sign] digits [. digits] [E [sign] digits].
            std::string clean;
            if (c == '+' || c == '-') {
                if (c == '-') {
                    clean += '-';
                }
                ++at;
            }
            std::size_t mantissaDigits = 0;
            while (std::isdigit(static_cast<unsigned char>(here())) || here() == '.') {
                mantissaDigits += here() != '.';
                clean += here();
                ++at;
            }
            if (mantissaDigits == 0 || std::count(clean.begin(), clean.end(), '.') > 1) {
                fail(-121);
                break;
            }
            // An exponent, with white space allowed before the E and after it.
            std::size_t mark = at;
            skipWhite();
            if (here() == 'E' || here() == 'e') {
                ++at;
                skipWhite();
                std::string exponent = "e";
                if (here() == '+' || here() == '-') {
                    exponent += here();
                    ++at;
                }
                const std::size_t first = at;
                while (std::isdigit(static_cast<unsigned char>(here()))) {
                    exponent += here();
                    ++at;
                }
                if (at == first) {
                    at = mark; // an E with no digits: a suffix, below
                } else {
                    clean += exponent;
                    mark = at;
                }
            }
            at = mark;
            const auto [end, error] =
                std::from_chars(clean.data(), clean.data() + clean.size(), parameter.number);
            if (error == std::errc::result_out_of_range) {
                const double huge = clean.front() == '-' ? -HUGE_VAL : HUGE_VAL;
                parameter.number = clean.find("e-") != std::string::npos ? 0.0 : huge;
            } else if (error != std::errc() || end != clean.data() + clean.size()) {
                fail(-121);
                break;
            }
            // A suffix (a unit), after optional white space.
            skipWhite();
            if (isLetter(here()) || here() == '/') {
                parameter.suffix = true;
                while (isMnemonicChar(here()) || here() == '/' || here() == '.' || here() == '-') {
                    ++at;
                }
            }
        } else if (isLetter(c)) {
            parameter.kind = Parameter::Kind::Word;
            while (isMnemonicChar(here())) {
                ++at;
            }
            parameter.word = upper(line.substr(from, at - from));
        } else {
            fail(-100);
            break;
        }
        parameter.raw = trim(line.substr(from, at - from));
        unit.parameters.push_back(std::move(parameter));
        skipWhite();
        if (here() == ',') {
            ++at;
            skipWhite();
            if (atEnd()) {
                fail(-100); // a comma with nothing after it
            }
        } else if (!atEnd()) {
            fail(-100);
        }
    }

    // After an error, the rest of the unit is passed over up to its ';'.
    for (char quote = 0; at < line.size() && (quote != 0 || line[at] != ';'); ++at) {
        if (line[at] == quote) {
            quote = 0;
        } else if (quote == 0 && (line[at] == '"' || line[at] == '\'')) {
            quote = line[at];
        }
    }
    unit.text = trim(line.substr(begin, at - begin));
    at_ = at < line.size() ? at + 1 : at;
    return unit;
}

std::optional<std::string> Instrument::run(const Unit& unit) {
    if (unit.error != 0) {
        pushError(unit.error, unit.error == -100 ? quoted(unit.text) : std::string());
        return std::nullopt;
    }
    if (unit.common) {
        return runCommon(unit); // common commands leave the path as it is
    }
    // A header resolves under the path the one before it left (a compound
    // header), or under the root when it begins with ':'.
    std::vector<std::string> nodes = unit.rooted ? std::vector<std::string>() : path_;
    nodes.insert(nodes.end(), unit.nodes.begin(), unit.nodes.end());
    const auto resolved = [&]() { path_.assign(nodes.begin(), nodes.end() - 1); };
    const auto noParameter = [&]() {
        if (unit.parameters.empty()) {
            return true;
        }
        pushError(-108);
        return false;
    };
    if (unit.query && headerIs(nodes, {{"SYSTem"}, {"ERRor"}, {"NEXT", optional}})) {
        resolved();
        return noParameter() ? std::optional<std::string>(nextError()) : std::nullopt;
    }
    if (unit.query && headerIs(nodes, {{"SYSTem"}, {"VERSion"}})) {
        resolved();
        return noParameter() ? std::optional<std::string>("1999.0") : std::nullopt;
    }
    if (headerIs(nodes, {{"SOURce", optional}, {"WIPer"}})) {
        resolved();
        return runWiper(unit);
    }
    pushError(-113, quoted(unit.text));
    return std::nullopt;
}

std::optional<std::string> Instrument::runCommon(const Unit& unit) {
    const std::string common = "*" + unit.nodes.front() + (unit.query ? "?" : "");
    static constexpr std::array<std::string_view, 13> known = {
        "*IDN?", "*RST", "*CLS",  "*OPC", "*OPC?", "*ESR?", "*STB?",
        "*WAI",  "*ESE", "*ESE?", "*SRE", "*SRE?", "*TST?"};
    if (std::find(known.begin(), known.end(), common) == known.end()) {
        pushError(-113, quoted(unit.text));
        return std::nullopt;
    }
    if (common == "*ESE" || common == "*SRE") {
        const auto mask = wholeParameter(unit, 0, 255);
        if (mask && common == "*ESE") {
            eventEnable_ = *mask;
        } else if (mask) {
            serviceEnable_ = *mask & ~serviceRequestBit; // the summary bit cannot enable itself
        }
        return std::nullopt;
    }
    if (!unit.parameters.empty()) {
        pushError(-108);
        return std::nullopt;
    }
    if (common == "*IDN?") {
        return board_.identity;
    }
    if (common == "*CLS") {
        errors_.clear();
        eventStatus_ = 0;
    } else if (common == "*OPC") {
        eventStatus_ |= operationComplete;
    } else if (common == "*OPC?") {
        return "1"; // every command has finished when the next is read
    } else if (common == "*ESR?") {
        return std::to_string(std::exchange(eventStatus_, 0));
    } else if (common == "*STB?") {
        return std::to_string(statusByte(outputWaiting_ || !replies_.empty()));
    } else if (common == "*ESE?") {
        return std::to_string(eventEnable_);
    } else if (common == "*SRE?") {
        return std::to_string(serviceEnable_);
    } else if (common == "*TST?") {
        return "0"; // nothing is read back from the board, so nothing can fail a test
    }
    // *RST: the board keeps its wiper, nothing is written; *WAI: nothing waits.
    return std::nullopt;
}

std::optional<std::string> Instrument::runWiper(const Unit& unit) {
    if (!unit.query) {
        const auto code = wholeParameter(unit, codeMin, codeMax);
        if (!code) {
            return std::nullopt;
        }
        if (const auto failure = board_.send(*code)) {
            pushError(-300, *failure);
        }
        return std::nullopt;
    }
    if (unit.parameters.empty()) {
        return board_.lastCode ? std::to_string(*board_.lastCode) : notANumber;
    }
    const Parameter& limit = unit.parameters.front();
    if (unit.parameters.size() > 1) {
        pushError(-108);
    } else if (limit.kind != Parameter::Kind::Word) {
        pushError(-104);
    } else if (matches(limit.word, "MINimum") || matches(limit.word, "DEFault")) {
        return std::to_string(codeMin);
    } else if (matches(limit.word, "MAXimum")) {
        return std::to_string(codeMax);
    } else {
        pushError(-224, quoted(limit.raw));
    }
    return std::nullopt;
}

// The one whole number a command takes, rounded, within low to high; the
// wiper also takes MIN, MAX and DEF. Nothing, with the error queued, otherwise.
std::optional<int> Instrument::wholeParameter(const Unit& unit, int low, int high) {
    const bool wiper = !unit.common;
    if (unit.parameters.empty()) {
        pushError(-109);
        return std::nullopt;
    }
    if (unit.parameters.size() > 1) {
        pushError(-108);
        return std::nullopt;
    }
    const Parameter& given = unit.parameters.front();
    switch (given.kind) {
    case Parameter::Kind::Text:
        pushError(-104);
        return std::nullopt;
    case Parameter::Kind::Word:
        if (wiper && (matches(given.word, "MINimum") || matches(given.word, "DEFault"))) {
            return low;
        }
        if (wiper && matches(given.word, "MAXimum")) {
            return high;
        }
        pushError(-224, quoted(given.raw));
        return std::nullopt;
    case Parameter::Kind::Number:
        break;
    }
    if (given.suffix) {
        pushError(-138);
        return std::nullopt;
    }
    const double rounded = std::nearbyint(given.number);
    if (!(rounded >= low && rounded <= high)) {
        std::string detail = wiper ? "the code" : "the mask";
        detail += " is " + std::to_string(low) + " to " + std::to_string(high) + ", not ";
        pushError(-222, detail + printable(given.raw.substr(0, 40)));
        return std::nullopt;
    }
    return static_cast<int>(rounded);
}
