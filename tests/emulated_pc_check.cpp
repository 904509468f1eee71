// Judges a run of the emulated PC: for every case of the case table, the words
// that reached the data register between its markers (from QEMU's trace of
// the port), its exit status and what it said (from the guest's console); for
// a case on the USB stack, the bulk OUT transfers its emulated FTDI adapters
// recorded (one frame each) and no word on the port.
//   emulated-pc-check CASES CONSOLE_A TRACE_A CONSOLE_B TRACE_B
#include "FrameWords.h"

#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Case {
    int number = 0;
    std::string name, stage, says;
    int status = 0;
    Words words;
};

struct Write {
    int address; // offset from the port's base: 0 data, 2 control
    int value;
};

struct Machine {
    std::map<int, int> status;
    std::map<int, std::string> said;
    std::map<int, std::vector<Words>> transfers; // each adapter's, in the order they came
    std::map<int, std::vector<std::pair<int, int>>> gpioValues; // (GPIO number, value) set
    std::map<int, bool> gpioLost;                               // the trace overran
    bool done = false;
    std::vector<Write> writes;
};

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    const auto last = text.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::vector<Case> readCases(const char* path) {
    std::ifstream in(path);
    std::vector<Case> cases;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '|');) {
            fields.push_back(trimmed(field));
        }
        Case c;
        c.number = int(cases.size()) + 1;
        c.name = fields.at(0);
        c.stage = fields.at(1);
        c.status = std::stoi(fields.at(3));
        std::stringstream codes(fields.at(4));
        for (int code; codes >> code;) {
            const Words frame = frameFor(code);
            c.words.insert(c.words.end(), frame.begin(), frame.end());
        }
        c.says = fields.at(5);
        cases.push_back(c);
    }
    return cases;
}

Machine readMachine(const char* console, const char* trace) {
    Machine m;
    std::ifstream log(console);
    const std::regex status(R"(zovrel-pc: case (\d+) status (\d+))");
    const std::regex said(R"(zovrel-pc: case (\d+) said: (.*))");
    const std::regex transfer(R"(zovrel-pc: case (\d+) usb \d+ transfer:((?: [0-9a-f]{2})*))");
    const std::regex gpioValue(R"(zovrel-pc: case (\d+) gpio gpio_value: (\d+) set (\d))");
    const std::regex gpioLost(R"(zovrel-pc: case (\d+) gpio lost)");
    std::smatch match;
    for (std::string line; std::getline(log, line);) {
        if (std::regex_search(line, match, gpioValue)) {
            m.gpioValues[std::stoi(match[1])].push_back({std::stoi(match[2]), std::stoi(match[3])});
        } else if (std::regex_search(line, match, gpioLost)) {
            m.gpioLost[std::stoi(match[1])] = true;
        } else if (std::regex_search(line, match, transfer)) {
            Words words;
            std::istringstream bytes(match[2].str());
            for (unsigned byte; bytes >> std::hex >> byte;) {
                words.push_back(std::uint16_t(byte));
            }
            m.transfers[std::stoi(match[1])].push_back(words);
        } else if (std::regex_search(line, match, status)) {
            m.status[std::stoi(match[1])] = std::stoi(match[2]);
        } else if (std::regex_search(line, match, said)) {
            m.said[std::stoi(match[1])] += match[2].str() + "\n";
        } else if (line.find("zovrel-pc: done") != std::string::npos) {
            m.done = true;
        }
    }
    std::ifstream writes(trace);
    const std::regex write(R"(parallel_ioport_write.*addr 0x([0-9a-f]+) val 0x([0-9a-f]+))");
    for (std::string line; std::getline(writes, line);) {
        if (std::regex_search(line, match, write)) {
            m.writes.push_back(
                {std::stoi(match[1], nullptr, 16), std::stoi(match[2], nullptr, 16)});
        }
    }
    return m;
}

// The index just past the data-register marker a b c, from `from` on; 0 when absent.
std::size_t findMarker(const std::vector<Write>& writes, std::size_t from, int a, int b, int c) {
    std::vector<int> data;
    std::vector<std::size_t> at;
    for (std::size_t i = from; i < writes.size(); ++i) {
        if (writes[i].address == 0) {
            data.push_back(writes[i].value);
            at.push_back(i);
        }
    }
    for (std::size_t i = 0; i + 2 < data.size(); ++i) {
        if (data[i] == a && data[i + 1] == b && data[i + 2] == c) {
            return at[i + 2] + 1;
        }
    }
    return 0;
}

std::string shown(const Words& words);

// The words the kernel set on the GPIO lines, from its trace: the request sets
// every mapped line once, and so does each later word, in an order of the
// kernel's own; a line set twice before the others is a word cut apart.
// Lines 17, 18, 27 and 22 carry D0, D1, D2 and D5 in every case; the chip's
// base is its lowest mapped line's number less 17.
std::string gpioVerdict(const Machine& m, const Case& c, const Words& port) {
    if (!port.empty()) {
        return "words reached the parallel port: " + shown(port);
    }
    if (m.gpioLost.count(c.number)) {
        return "the kernel's trace overran: words may be missing";
    }
    const auto values = m.gpioValues.count(c.number) ? m.gpioValues.at(c.number)
                                                     : std::vector<std::pair<int, int>>{};
    int base = 1 << 30;
    for (const auto& [number, value] : values) {
        base = std::min(base, number - 17);
    }
    const std::map<int, int> dataLineOf = {{17, 0}, {18, 1}, {22, 5}, {27, 2}};
    Words seen;
    std::map<int, int> word; // offset -> value
    for (const auto& [number, value] : values) {
        const int offset = number - base;
        if (!dataLineOf.count(offset)) {
            return "a value was set on line " + std::to_string(offset) + ", which is not mapped";
        }
        if (word.count(offset)) {
            return "line " + std::to_string(offset) + " was set twice within one word";
        }
        word[offset] = value;
        if (word.size() == dataLineOf.size()) {
            std::uint16_t lines = 0;
            for (const auto& [o, v] : word) {
                lines |= std::uint16_t(v << dataLineOf.at(o));
            }
            seen.push_back(lines);
            word.clear();
        }
    }
    if (!word.empty()) {
        return "a word set only some of the lines";
    }
    return seen == c.words ? std::string()
                           : "expected on the lines " + shown(c.words) + "; saw " + shown(seen);
}

std::string shown(const Words& words) {
    std::ostringstream out;
    out << words.size() << " words:";
    for (const auto w : words) {
        out << ' ' << std::hex << (w < 16 ? "0" : "") << w;
    }
    return out.str();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: emulated-pc-check CASES CONSOLE_A TRACE_A CONSOLE_B TRACE_B\n";
        return 2;
    }
    const std::vector<Case> cases = readCases(argv[1]);
    const Machine machines[] = {readMachine(argv[2], argv[3]), readMachine(argv[4], argv[5])};
    int failed = 0;
    for (int k = 0; k < 2; ++k) {
        if (!machines[k].done) {
            std::cout << "FAIL: the guest of machine "
                      << "ab"[k]
                      << " did not finish its cases (QEMU's status and its console follow)\n";
            ++failed;
        }
    }
    std::vector<int> unreached;
    for (const Case& c : cases) {
        const bool usb = c.stage == "usb";
        const bool gpio = c.stage == "gpio";
        const Machine& m = machines[c.stage == "at-0x278" || usb || gpio ? 1 : 0];
        // A machine that stopped early is told once, above, not once a case.
        if (!m.done && !m.status.count(c.number)) {
            unreached.push_back(c.number);
            continue;
        }
        std::string why;
        const std::size_t start = findMarker(m.writes, 0, 0xC3, c.number, 0x3C);
        const std::size_t end = start ? findMarker(m.writes, start, 0x3C, c.number, 0xC3) : 0;
        Words data;
        std::vector<int> control;
        // Between the opening marker and the closing one (whose three words end at `end`).
        for (std::size_t i = start; start && end && i + 3 < end; ++i) {
            if (m.writes[i].address == 0) {
                data.push_back(std::uint16_t(m.writes[i].value));
            } else if (m.writes[i].address == 2) {
                control.push_back(m.writes[i].value);
            }
        }
        const auto said = m.said.count(c.number) ? m.said.at(c.number) : std::string();
        if (!start || !end) {
            why = "its markers are not in the port's trace";
        } else if (!m.status.count(c.number)) {
            why = "the guest did not report it";
        } else if (m.status.at(c.number) != c.status) {
            why = "exit status " + std::to_string(m.status.at(c.number)) + ", expected " +
                  std::to_string(c.status);
        } else if (gpio) {
            why = gpioVerdict(m, c, data);
        } else if (!usb && data != c.words) {
            why = "expected " + shown(c.words) + "; saw " + shown(data);
        } else if (usb && !data.empty()) {
            why = "words reached the parallel port: " + shown(data);
        } else if (usb) {
            // One bulk OUT transfer a frame: sixteen words, never split or merged.
            const auto& sent =
                m.transfers.count(c.number) ? m.transfers.at(c.number) : std::vector<Words>{};
            Words all;
            for (const Words& t : sent) {
                all.insert(all.end(), t.begin(), t.end());
                if (why.empty() && t.size() != 16) {
                    why = "a bulk OUT transfer of " + shown(t) + ", not one frame";
                }
            }
            if (why.empty() && all != c.words) {
                why = "expected on the adapter " + shown(c.words) + "; saw " + shown(all);
            }
        } else if (!c.says.empty() && said.find(c.says) == std::string::npos) {
            why = "it did not say \"" + c.says + "\"";
        }
        // The program leaves the control register as the claim left it: it
        // writes only the data register, so the control writes that the
        // kernel made for the claim all agree.
        for (const int value : control) {
            if (why.empty() && value != control.front()) {
                why = "the control register changed during the case";
            }
        }
        if (why.empty()) {
            std::cout << "PASS: case " << c.number << ", " << c.name << "\n";
        } else {
            ++failed;
            std::cout << "FAIL: case " << c.number << ", " << c.name << ": " << why << "\n";
            if (!said.empty()) {
                std::cout << "  it said: " << said;
            }
        }
    }
    if (!unreached.empty()) {
        std::cout << "not reached: case";
        for (const int n : unreached) {
            std::cout << ' ' << n;
        }
        std::cout << "\n";
    }
    std::cout << (failed ? "emulated PC: " + std::to_string(failed) + " failed\n"
                         : "emulated PC: every case passed\n");
    return failed ? 1 : 0;
}
