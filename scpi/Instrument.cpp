#include "scpi/Instrument.h"

#include "port/MessageText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

namespace {

// Event status register bits.
constexpr int operationComplete = 1 << 0;
constexpr int queryError = 1 << 2;
constexpr int deviceError = 1 << 3;
constexpr int executionError = 1 << 4;
constexpr int commandError = 1 << 5;

constexpr int codeMin = 0;
constexpr int codeMax = 127;
// SCPI's "not a number", for the code last sent before there was one.
constexpr const char* notANumber = "9.91E+37";

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
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

bool headerIs(const std::vector<std::string>& nodes, std::initializer_list<Node> pattern) {
    const std::vector<Node> wanted(pattern);
    // Every way of leaving out optional nodes, tried in turn (there are few).
    const std::function<bool(std::size_t, std::size_t)> walk = [&](std::size_t n, std::size_t w) {
        if (w == wanted.size()) {
            return n == nodes.size();
        }
        if (n < nodes.size() && matches(nodes[n], wanted[w].name) && walk(n + 1, w + 1)) {
            return true;
        }
        return wanted[w].optional && walk(n, w + 1);
    };
    return walk(0, 0);
}

constexpr bool optional = true;

// An SCPI decimal number (<NRf>): 64, +64, 64.0, 6.4E1.
std::optional<double> number(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

const char* errorMeaning(int number) {
    switch (number) {
    case -100:
        return "Command error";
    case -102:
        return "Syntax error";
    case -108:
        return "Parameter not allowed";
    case -109:
        return "Missing parameter";
    case -113:
        return "Undefined header";
    case -222:
        return "Data out of range";
    case -224:
        return "Illegal parameter value";
    case -300:
        return "Device-specific error";
    case -350:
        return "Queue overflow";
    default:
        return "Error";
    }
}

// Text from the client, cut and cleaned, in quotes. Built by appending: GCC 12
// at -O3 warns falsely about a literal added to a temporary string.
std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out += printable(text.substr(0, 40));
    out += '\'';
    return out;
}

} // namespace

void Instrument::pushError(int number, const std::string& text) {
    eventStatus_ |= number <= -100 && number > -200   ? commandError
                    : number <= -200 && number > -300 ? executionError
                    : number <= -300 && number > -400 ? deviceError
                                                      : queryError;
    if (errors_.size() >= queueLimit) {
        // The newest error gives way to the overflow, as the standard asks.
        errors_.back() = "-350,\"Queue overflow\"";
        return;
    }
    // The device's own errors say the program's message; the rest say what
    // the standard calls them, then the detail.
    std::string detail = text;
    std::replace(detail.begin(), detail.end(), '"', '\'');
    std::string entry = std::to_string(number) + ",\"";
    entry += number == -300 && !detail.empty() ? detail
             : detail.empty()                  ? std::string(errorMeaning(number))
                                               : std::string(errorMeaning(number)) + ";" + detail;
    errors_.push_back(entry + "\"");
}

std::string Instrument::nextError() {
    if (errors_.empty()) {
        return "0,\"No error\"";
    }
    std::string entry = errors_.front();
    errors_.pop_front();
    return entry;
}

std::optional<std::string> Instrument::execute(std::string_view line) {
    std::vector<std::string> replies;
    std::size_t from = 0;
    while (from <= line.size()) {
        std::size_t end = line.find(';', from);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        const std::string_view command = trim(line.substr(from, end - from));
        if (!command.empty()) {
            if (auto reply = run(command)) {
                replies.push_back(*reply);
            }
        }
        from = end + 1;
    }
    if (replies.empty()) {
        return std::nullopt;
    }
    std::string joined;
    for (const std::string& reply : replies) {
        joined += (joined.empty() ? "" : ";") + reply;
    }
    return joined;
}

std::optional<std::string> Instrument::run(std::string_view command) {
    const std::size_t space = command.find_first_of(" \t");
    std::string_view header = command.substr(0, space);
    const std::string_view parameter =
        space == std::string_view::npos ? std::string_view() : trim(command.substr(space));
    const bool query = !header.empty() && header.back() == '?';
    if (query) {
        header.remove_suffix(1);
    }
    if (!header.empty() && header.front() == ':') {
        header.remove_prefix(1);
    }
    const bool valid = !header.empty() && std::all_of(header.begin(), header.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '*' || c == '_';
    });
    if (!valid) {
        pushError(-100, quoted(command));
        return std::nullopt;
    }
    std::vector<std::string> nodes;
    for (std::size_t at = 0; at <= header.size();) {
        const std::size_t colon = std::min(header.find(':', at), header.size());
        nodes.push_back(upper(header.substr(at, colon - at)));
        at = colon + 1;
    }
    // A command that takes no parameter and was given one runs not at all.
    const auto refusesParameter = [&]() {
        if (parameter.empty()) {
            return false;
        }
        pushError(-108, "");
        return true;
    };

    if (nodes.size() == 1 && nodes[0].front() == '*') {
        const std::string common = nodes[0] + (query ? "?" : "");
        const char* known[] = {"*IDN?", "*RST", "*CLS", "*OPC", "*OPC?", "*ESR?", "*STB?", "*WAI"};
        if (std::find(std::begin(known), std::end(known), common) == std::end(known)) {
            pushError(-113, quoted(command));
            return std::nullopt;
        }
        if (refusesParameter()) {
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
            const int summary = (errors_.empty() ? 0 : 1 << 2) | (eventStatus_ ? 1 << 5 : 0);
            return std::to_string(summary | (summary ? 1 << 6 : 0));
        }
        // *RST: the board keeps its wiper, nothing is written; *WAI: nothing waits.
        return std::nullopt;
    }
    if (headerIs(nodes, {{"SYSTem"}, {"ERRor"}, {"NEXT", optional}}) && query) {
        return refusesParameter() ? std::nullopt : std::optional<std::string>(nextError());
    }
    if (headerIs(nodes, {{"SYSTem"}, {"VERSion"}}) && query) {
        return refusesParameter() ? std::nullopt : std::optional<std::string>("1999.0");
    }
    if (headerIs(nodes, {{"SOURce", optional}, {"WIPer"}})) {
        const std::string word = upper(parameter);
        if (query) {
            if (word.empty()) {
                return board_.lastCode ? std::to_string(*board_.lastCode) : notANumber;
            }
            if (matches(word, "MINimum") || matches(word, "DEFault")) {
                return std::to_string(codeMin);
            }
            if (matches(word, "MAXimum")) {
                return std::to_string(codeMax);
            }
            pushError(-224, quoted(parameter));
            return std::nullopt;
        }
        int code = 0;
        if (word.empty()) {
            pushError(-109, "");
            return std::nullopt;
        }
        if (matches(word, "MINimum") || matches(word, "DEFault")) {
            code = codeMin;
        } else if (matches(word, "MAXimum")) {
            code = codeMax;
        } else if (const auto value = number(word)) {
            const double rounded = std::nearbyint(*value);
            if (rounded < codeMin || rounded > codeMax) {
                pushError(-222, "the code is 0 to 127, not " + printable(parameter.substr(0, 40)));
                return std::nullopt;
            }
            code = static_cast<int>(rounded);
        } else {
            pushError(-224, quoted(parameter));
            return std::nullopt;
        }
        if (const auto failure = board_.send(code)) {
            pushError(-300, *failure);
        }
        return std::nullopt;
    }
    pushError(-113, quoted(command));
    return std::nullopt;
}
