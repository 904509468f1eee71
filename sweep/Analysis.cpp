#include "sweep/Analysis.h"

#include "port/MessageText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <tuple>

namespace {

// SCPI's overload: a meter answers 9.9E37 for a value out of its range.
constexpr double overload = 9.9e37;

std::string format(const char* pattern, double value) {
    char text[48];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string ohmsText(double ohms) {
    return format("%.2f", ohms);
}

std::string lsbText(double lsb) {
    return format("%+.3f", lsb);
}

// "at code 64", with the sweep and its way when there was more than one pass.
std::string whereText(const Extreme& e, const Summary& s) {
    std::string t = "at code " + std::to_string(e.code);
    if (s.sweeps > 1 || s.bothWays) {
        t += " (sweep " + std::to_string(e.sweep) +
             (s.bothWays ? (e.down ? ", down" : ", up") : "") + ")";
    }
    return t;
}

// The larger, and of two as large the lower code, so that the summary names
// the same code whichever way the sweep went.
void keepLarger(std::optional<Extreme>& worst, double lsb, const Row& row) {
    if (!worst || std::abs(lsb) > std::abs(worst->lsb) ||
        (std::abs(lsb) == std::abs(worst->lsb) && row.code < worst->code)) {
        worst = Extreme{lsb, row.code, row.sweep, row.down};
    }
}

std::vector<Verdict> judge(const Summary& s, const SweepLimits& limits) {
    std::vector<Verdict> verdicts;
    const auto verdict = [&](std::string asked, std::string measured, bool met) {
        verdicts.push_back(
            {"limit " + asked + ": " + measured + ": " + (met ? "PASS" : "FAIL"), met});
    };
    const auto worst = [&](const char* name, const std::optional<Extreme>& e,
                           std::optional<double> most) {
        if (!most) {
            return;
        }
        const std::string asked =
            std::string("|") + name + "| <= " + format("%.3f", *most) + " LSB";
        if (!e) {
            return verdict(asked, std::string("no ") + name + " measured", false);
        }
        verdict(asked, lsbText(e->lsb) + " LSB " + whereText(*e, s), std::abs(e->lsb) <= *most);
    };
    worst("INL", s.worstInl, limits.maxInlLsb);
    worst("DNL", s.worstDnl, limits.maxDnlLsb);
    if (limits.endToEndOhms) {
        const double nominal = *limits.endToEndOhms;
        const double tolerance = nominal * limits.endToEndTolerancePercent / 100.0;
        verdict("end-to-end resistance " + ohmsText(nominal) + " ohms +/- " +
                    format("%g", limits.endToEndTolerancePercent) + "%",
                ohmsText(s.endToEndOhms) + " ohms",
                std::abs(s.endToEndOhms - nominal) <= tolerance);
    }
    if (limits.maxWiperOhms) {
        verdict("wiper resistance <= " + ohmsText(*limits.maxWiperOhms) + " ohms",
                ohmsText(s.wiperOhms) + " ohms", s.wiperOhms <= *limits.maxWiperOhms);
    }
    return verdicts;
}

} // namespace

Row makeRow(int code, const std::vector<double>& readings, const EndPoints& ends) {
    Row row;
    row.code = code;
    double sum = 0;
    for (const double r : readings) {
        sum += r;
    }
    row.ohms = sum / static_cast<double>(readings.size());
    if (readings.size() > 1) {
        double squares = 0;
        for (const double r : readings) {
            squares += (r - row.ohms) * (r - row.ohms);
        }
        row.spread = std::sqrt(squares / static_cast<double>(readings.size() - 1));
    }
    row.inl = (row.ohms - ends.ideal(code)) / ends.slope();
    return row;
}

double dnlBetween(const Row& lower, const Row& upper, const EndPoints& ends) {
    return (upper.ohms - lower.ohms) / (ends.slope() * (upper.code - lower.code)) - 1.0;
}

void recompute(std::vector<Row>& rows, const EndPoints& ends) {
    // Each pass (sweep and way) by code; a row's DNL from the code below it.
    std::map<std::tuple<int, bool, int>, Row*> byPass;
    for (Row& row : rows) {
        row.inl = (row.ohms - ends.ideal(row.code)) / ends.slope();
        row.dnl = NAN;
        row.below = -1;
        byPass[{row.sweep, row.down, row.code}] = &row;
    }
    const Row* below = nullptr;
    for (const auto& [key, row] : byPass) {
        if (below && below->sweep == row->sweep && below->down == row->down) {
            row->dnl = dnlBetween(*below, *row, ends);
            row->below = below->code;
        }
        below = row;
    }
}

bool Summary::limitsMet() const {
    return std::all_of(verdicts.begin(), verdicts.end(), [](const Verdict& v) { return v.met; });
}

Summary summarize(const std::vector<Row>& rows, const EndPoints& ends, int step,
                  const SweepLimits& limits) {
    Summary s;
    s.ends = ends;
    s.step = step;
    // A rising curve meets the meter's end at code 0, a falling one at 128.
    s.wiperOhms = ends.ideal(ends.falling() ? 128 : 0);
    s.endToEndOhms = 128.0 * ends.lsb();
    std::set<int> codes;
    // Each way and code: the least and the most read across sweeps.
    std::map<std::pair<bool, int>, std::pair<double, double>> range;
    // Each sweep and code: what was read up and down.
    std::map<std::pair<int, int>, std::pair<std::optional<double>, std::optional<double>>> ways;
    for (const Row& row : rows) {
        codes.insert(row.code);
        s.sweeps = std::max(s.sweeps, row.sweep);
        s.bothWays = s.bothWays || row.down != rows.front().down;
        s.firstDown = rows.front().down;
        if (row.code == 0 && !s.zeroScaleOhms) {
            s.zeroScaleOhms = row.ohms;
        }
        if (row.code == 127 && !s.fullScaleOhms) {
            s.fullScaleOhms = row.ohms;
        }
        keepLarger(s.worstInl, row.inl, row);
        if (!std::isnan(row.dnl)) {
            keepLarger(s.worstDnl, row.dnl, row);
            const std::pair<int, int> turn{row.below, row.code};
            if (row.dnl < -1.0 &&
                std::find(s.reversals.begin(), s.reversals.end(), turn) == s.reversals.end()) {
                s.reversals.push_back(turn);
            }
        }
        auto& span = range.try_emplace({row.down, row.code}, row.ohms, row.ohms).first->second;
        span.first = std::min(span.first, row.ohms);
        span.second = std::max(span.second, row.ohms);
        auto& pair = ways[{row.sweep, row.code}];
        (row.down ? pair.second : pair.first) = row.ohms;
    }
    std::sort(s.reversals.begin(), s.reversals.end());
    s.codes = codes.size();
    // The end points were read before the sweep: they say what the chip
    // holds at code 0 and 127 when those are its ends.
    for (const auto& [code, ohms] :
         {std::pair{ends.firstCode, ends.firstOhms}, std::pair{ends.lastCode, ends.lastOhms}}) {
        if (code == 0 && !s.zeroScaleOhms) {
            s.zeroScaleOhms = ohms;
        }
        if (code == 127 && !s.fullScaleOhms) {
            s.fullScaleOhms = ohms;
        }
    }
    if (s.sweeps > 1) {
        for (const auto& [key, span] : range) {
            Row where;
            where.down = key.first;
            where.code = key.second;
            keepLarger(s.repeatability, (span.second - span.first) / ends.lsb(), where);
        }
    }
    if (s.bothWays) {
        for (const auto& [key, pair] : ways) {
            if (pair.first && pair.second) {
                Row where;
                where.sweep = key.first;
                where.code = key.second;
                keepLarger(s.hysteresis, std::abs(*pair.first - *pair.second) / ends.lsb(), where);
            }
        }
    }
    s.limits = limits;
    s.verdicts = judge(s, limits);
    return s;
}

std::string Summary::text() const {
    std::string t = "codes measured: " + std::to_string(codes);
    if (step > 1 && codes > 1) {
        t += " (every " + std::to_string(step) + " codes)";
    }
    if (sweeps > 1 || bothWays) {
        t += ", in " + std::to_string(sweeps) + " sweep" + (sweeps > 1 ? "s" : "") +
             (bothWays ? (firstDown ? ", each down then up" : ", each up then down") : "");
    }
    t += "\n";
    t += "resistance at zero scale (code 0): " +
         (zeroScaleOhms ? ohmsText(*zeroScaleOhms) + " ohms" : std::string("not measured")) + "\n";
    t += "resistance at full scale (code 127): " +
         (fullScaleOhms ? ohmsText(*fullScaleOhms) + " ohms" : std::string("not measured")) + "\n";
    t += "wiper resistance: " + ohmsText(wiperOhms) +
         " ohms; end-to-end resistance: " + ohmsText(endToEndOhms) + " ohms\n";
    t += "1 LSB: " + ohmsText(ends.lsb()) + " ohms" +
         (ends.falling() ? " (the resistance falls as the code rises)" : "") + "\n";
    if (worstInl) {
        t += "largest |INL|: " + lsbText(worstInl->lsb) + " LSB " + whereText(*worstInl, *this) +
             "\n";
    }
    if (worstDnl) {
        t += "largest |DNL|: " + lsbText(worstDnl->lsb) + " LSB " + whereText(*worstDnl, *this) +
             "\n";
    } else if (codes > 0) {
        t += "largest |DNL|: none (no code was measured with the one below it)\n";
    }
    // Between measured codes nothing is known: a stepped sweep's verdict says so.
    const std::string between =
        step > 1 ? " between the codes measured (every " + std::to_string(step) + " codes)" : "";
    if (reversals.empty()) {
        t += worstDnl ? "monotonic" + between + ": yes\n" : "monotonic: not known\n";
    } else {
        t += "monotonic" + between + ": no, the resistance turns back ";
        for (std::size_t i = 0; i < reversals.size(); ++i) {
            t += i == 0 ? "" : ", ";
            t += step > 1 ? "between codes " + std::to_string(reversals[i].first) + " and " +
                                std::to_string(reversals[i].second)
                          : "at code " + std::to_string(reversals[i].second);
        }
        t += "\n";
    }
    if (repeatability) {
        t += "repeatability: " + format("%.3f", repeatability->lsb) +
             " LSB, the largest spread of one code across sweeps, at code " +
             std::to_string(repeatability->code) +
             (bothWays ? (repeatability->down ? " (down)" : " (up)") : "") + "\n";
    }
    if (hysteresis) {
        t += "hysteresis: " + format("%.3f", hysteresis->lsb) +
             " LSB, the largest |up - down| at one code, at code " +
             std::to_string(hysteresis->code) + " (sweep " + std::to_string(hysteresis->sweep) +
             ")\n";
    }
    for (const Verdict& v : verdicts) {
        t += v.line + "\n";
    }
    if (!verdicts.empty()) {
        const auto failed = std::count_if(verdicts.begin(), verdicts.end(),
                                          [](const Verdict& v) { return !v.met; });
        t += failed == 0 ? "verdict: PASS, every limit met"
                         : "verdict: FAIL, " + std::to_string(failed) + " of " +
                               std::to_string(verdicts.size()) + " limits not met";
        t += incomplete ? ", on the codes measured before the run ended\n" : "\n";
    }
    t += "(end-point method: the line through the readings at codes " +
         std::to_string(ends.firstCode) + " and " + std::to_string(ends.lastCode) +
         ", taken before the sweep; the wiper and end-to-end resistances are that line at code " +
         (ends.falling() ? "128" : "0") + " and 128 LSB";
    if (step > 1 && codes > 1) {
        t += "; DNL over a step of " + std::to_string(step) + " codes is its mean per code";
    }
    t += ")\n";
    return t;
}

bool EndPoints::moves() const {
    const double size = std::max(std::abs(firstOhms), std::abs(lastOhms));
    return std::isfinite(slope()) && std::abs(lastOhms - firstOhms) > size * 1e-6 && lsb() >= 1e-6;
}

std::optional<double> readNumber(std::string_view text, std::string_view& rest) {
    // from_chars takes no sign before the number and no hex in this form.
    const bool plus = !text.empty() && text.front() == '+';
    const std::string_view number = plus ? text.substr(1) : text;
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                              std::chars_format::general);
    if (error != std::errc() || (plus && number.front() == '-') || !std::isfinite(value) ||
        (end < number.data() + number.size() && (*end == 'x' || *end == 'X'))) {
        return std::nullopt;
    }
    rest = number.substr(static_cast<std::size_t>(end - number.data()));
    return value;
}

std::optional<double> readingOf(const std::string& reply, std::string& why) {
    std::string_view rest = reply;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) {
        rest.remove_prefix(1);
    }
    const auto value = readNumber(rest, rest);
    const auto skipSpace = [&] {
        while (!rest.empty() &&
               (rest.front() == ' ' || rest.front() == '\t' || rest.front() == '\r')) {
            rest.remove_prefix(1);
        }
    };
    skipSpace();
    // A unit the meter adds after the number, a space between or not: ohms
    // alone, since any other (kilohms, volts) would be read wrong.
    std::string unit;
    while (value && !rest.empty() && std::isalpha(static_cast<unsigned char>(rest.front()))) {
        unit += static_cast<char>(std::toupper(static_cast<unsigned char>(rest.front())));
        rest.remove_prefix(1);
    }
    skipSpace();
    if (!value || !rest.empty()) {
        why = "answered '" + printable(reply.substr(0, 60)) + "', not a number";
        return std::nullopt;
    }
    if (!unit.empty() && unit != "OHM" && unit != "OHMS") {
        why = "answered '" + printable(reply.substr(0, 60)) + "', a reading in " + printable(unit) +
              ", not in ohms";
        return std::nullopt;
    }
    if (std::abs(*value) >= overload) {
        why = "is overloaded (" + printable(reply.substr(0, 30)) +
              "): the resistance is beyond its range, or nothing is connected";
        return std::nullopt;
    }
    return value;
}

bool noError(const std::string& reply) {
    std::string_view rest = reply;
    const bool plus = !rest.empty() && rest.front() == '+';
    rest.remove_prefix(plus ? 1 : 0);
    long number = -1;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    return error == std::errc() && number == 0 && (end == rest.data() + rest.size() || *end == ',');
}
