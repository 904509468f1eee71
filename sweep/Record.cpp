#include "sweep/Record.h"

#include "port/MessageText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <sstream>
#include <tuple>

namespace {

// A CSV line is short, and a sweep writes at most 1000 sweeps both ways of
// 128 codes: past either, the file is not one of ours (or is endless).
constexpr std::size_t longestLine = 4096;
constexpr std::size_t mostRows = 1000 * 2 * 128;

// The next line, read no further than one character past longestLine.
bool readLine(std::istream& in, std::string& line) {
    line.clear();
    for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
        if (c == '\n') {
            return true;
        }
        line += static_cast<char>(c);
        if (line.size() > longestLine) {
            return true;
        }
    }
    return !line.empty();
}

// The local date and time, as ISO 8601 writes it: 2026-12-08T23:10:00+01:00.
std::string isoNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string iso = text;
    iso.insert(iso.size() - 2, ":");
    return iso;
}

std::string optionalNumber(double value, const char* pattern) {
    if (std::isnan(value)) {
        return {};
    }
    char text[40];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
        out.push_back(field);
    }
    if (!line.empty() && line.back() == ',') {
        out.emplace_back();
    }
    return out;
}

} // namespace

std::string shellQuoted(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        const bool plain =
            !argument.empty() &&
            argument.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789_@%+=:,./-") == std::string::npos;
        std::string quoted = "'";
        for (const char c : argument) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        line += (line.empty() ? "" : " ") + (plain ? argument : quoted + "'");
    }
    return printable(line);
}

std::string headerLines(const RecordHeader& h) {
    const SweepOptions& s = h.sweep;
    std::string t = "# zovrel-sweep " + h.version + ": the Zovrel Rev B's wiper characterized\n";
    t += "# date: " + isoNow() + "\n";
    t += "# command: " + shellQuoted(h.arguments) + "\n";
    t += "# port: " + printable(h.port) + "\n";
    t += "# meter: " + printable(h.meter) + "; *IDN?: " + printable(h.identity) + "\n";
    t += "# settle: " + std::to_string(s.settleMs) +
         " ms; readings: " + std::to_string(s.readings) + "; configure: " + printable(s.configure) +
         "; read: " + printable(s.read) + "\n";
    t += "# codes: " + std::to_string(s.first) + ":" + std::to_string(s.last) + ":" +
         std::to_string(s.step) + "; sweeps: " + std::to_string(s.repeat) +
         "; both ways: " + (s.bothWays ? "yes" : "no") + "\n";
    return t;
}

std::string endPointsLine(const EndPoints& e) {
    char text[160];
    std::snprintf(text, sizeof text, "# end points: code %d = %.17g ohms, code %d = %.17g ohms\n",
                  e.firstCode, e.firstOhms, e.lastCode, e.lastOhms);
    return text;
}

std::string csvRow(const Row& row) {
    char text[200];
    // Resistance as the sweep held it, so that the file read back gives the same figures.
    std::snprintf(text, sizeof text, "%d,%.17g,%s,%.4f,%s,%d,%s\n", row.code, row.ohms,
                  optionalNumber(row.spread, "%.6g").c_str(), row.inl,
                  optionalNumber(row.dnl, "%.4f").c_str(), row.sweep, row.down ? "down" : "up");
    return text;
}

std::optional<SavedSweep> readRecord(std::istream& in, std::string& why) {
    SavedSweep saved;
    bool ends = false;
    bool stepGiven = false;
    std::vector<std::string> columns;
    int lineNumber = 0;
    std::set<std::tuple<int, bool, int>> seen;
    for (std::string line; readLine(in, line);) {
        ++lineNumber;
        if (line.size() > longestLine || saved.rows.size() >= mostRows) {
            why = line.size() > longestLine
                      ? "line " + std::to_string(lineNumber) + " is longer than " +
                            std::to_string(longestLine) + " characters"
                      : "it holds more rows than " + std::to_string(mostRows) +
                            ", the most a sweep writes";
            return std::nullopt;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        if (line[0] == '#') {
            int first = 0;
            int last = 0;
            int step = 0;
            if (std::sscanf(line.c_str(), "# codes: %d:%d:%d", &first, &last, &step) == 3 &&
                step > 0 && step <= 127) {
                saved.step = step;
                stepGiven = true;
            }
            EndPoints& e = saved.ends;
            ends =
                ends || std::sscanf(line.c_str(), "# end points: code %d = %lf ohms, code %d = %lf",
                                    &e.firstCode, &e.firstOhms, &e.lastCode, &e.lastOhms) == 4;
            continue;
        }
        if (columns.empty()) {
            columns = fields(line);
            continue;
        }
        const auto values = fields(line);
        const auto column = [&](const char* name) -> const std::string* {
            for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i) {
                if (columns[i] == name) {
                    return &values[i];
                }
            }
            return nullptr;
        };
        const auto refuse = [&](const std::string& what) {
            why = "line " + std::to_string(lineNumber) + " " + what + ": '" +
                  printable(line.substr(0, 80)) + "'";
        };
        if (values.size() != columns.size()) {
            refuse("has " + std::to_string(values.size()) + " fields where the columns name " +
                   std::to_string(columns.size()));
            return std::nullopt;
        }
        Row row;
        const std::string* code = column("code");
        const std::string* ohms = column("ohms");
        const auto number = [](const std::string& text) -> std::optional<double> {
            std::string_view rest;
            const auto value = readNumber(text, rest);
            return rest.empty() ? value : std::nullopt;
        };
        const auto code127 = code ? readDecimal(*code, 127) : std::nullopt;
        const auto resistance = ohms ? number(*ohms) : std::nullopt;
        if (!code127 || !resistance) {
            refuse("is not a row of a code (0 to 127) and a resistance");
            return std::nullopt;
        }
        row.code = static_cast<int>(*code127);
        row.ohms = *resistance;
        if (const std::string* spread = column("spread_ohms"); spread && !spread->empty()) {
            const auto value = number(*spread);
            if (!value || *value < 0) {
                refuse("has a spread that is not a resistance");
                return std::nullopt;
            }
            row.spread = *value;
        }
        if (const std::string* sweep = column("sweep")) {
            const auto n = readDecimal(*sweep, 1000);
            if (!n || *n == 0) {
                refuse("has no sweep number from 1 to 1000");
                return std::nullopt;
            }
            row.sweep = static_cast<int>(*n);
        }
        if (const std::string* direction = column("direction")) {
            if (*direction != "up" && *direction != "down") {
                refuse("has a direction other than up or down");
                return std::nullopt;
            }
            row.down = *direction == "down";
        }
        if (!seen.insert({row.sweep, row.down, row.code}).second) {
            refuse("measures again a code its sweep and way measured already");
            return std::nullopt;
        }
        saved.rows.push_back(row);
    }
    const EndPoints& e = saved.ends;
    if (!ends) {
        why = "it has no '# end points' line, as zovrel-sweep writes before its rows";
        return std::nullopt;
    }
    if (e.firstCode < 0 || e.firstCode > 127 || e.lastCode < 0 || e.lastCode > 127 ||
        e.firstCode == e.lastCode || !std::isfinite(e.firstOhms) || !std::isfinite(e.lastOhms) ||
        !e.moves()) {
        why = "its end points are not two codes from 0 to 127 whose resistances differ";
        return std::nullopt;
    }
    if (saved.rows.empty()) {
        why = "it has no rows";
        return std::nullopt;
    }
    recompute(saved.rows, saved.ends);
    if (!stepGiven) {
        // Without the '# codes' line, the step is the one the rows were measured at.
        int least = 128;
        for (const Row& row : saved.rows) {
            if (row.below >= 0) {
                least = std::min(least, std::abs(row.code - row.below));
            }
        }
        saved.step = least < 128 ? least : 1;
    }
    return saved;
}
