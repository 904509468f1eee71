#include "sweep/Analysis.h"

#include "port/MessageText.h"

#include <cstdio>
#include <cstdlib>

namespace {

// SCPI's overload: a meter answers 9.9E37 for a value out of its range.
constexpr double overload = 9.9e37;

std::string ohmsText(double ohms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ohms);
    return text;
}

std::string lsbText(double lsb) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f", lsb);
    return text;
}

} // namespace

Row makeRow(int code, const std::vector<double>& readings, const EndPoints& ends,
            const Row* previous) {
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
    const double lsb = ends.lsb();
    row.inl = (row.ohms - ends.ideal(code)) / lsb;
    if (previous) {
        const double steps = code - previous->code;
        row.dnl = (row.ohms - previous->ohms) / (lsb * steps) - 1.0;
    }
    return row;
}

Summary summarize(const std::vector<Row>& rows, const EndPoints& ends) {
    Summary s;
    s.ends = ends;
    s.measured = rows.size();
    s.wiperOhms = ends.ideal(0);
    s.endToEndOhms = 128.0 * ends.lsb();
    for (const Row& row : rows) {
        if (row.code == 0) {
            s.zeroScaleOhms = row.ohms;
        }
        if (row.code == 127) {
            s.fullScaleOhms = row.ohms;
        }
        if (std::abs(row.inl) > std::abs(s.worstInl)) {
            s.worstInl = row.inl;
            s.worstInlCode = row.code;
        }
        if (!std::isnan(row.dnl) && std::abs(row.dnl) > std::abs(s.worstDnl)) {
            s.worstDnl = row.dnl;
            s.worstDnlCode = row.code;
        }
        if (!std::isnan(row.dnl) && row.dnl < -1.0) {
            s.reversals.push_back(row.code);
        }
    }
    return s;
}

std::string Summary::text() const {
    std::string t = "codes measured: " + std::to_string(measured) + "\n";
    t += "resistance at zero scale (code 0): " +
         (zeroScaleOhms ? ohmsText(*zeroScaleOhms) + " ohms" : std::string("not measured")) + "\n";
    t += "resistance at full scale (code 127): " +
         (fullScaleOhms ? ohmsText(*fullScaleOhms) + " ohms" : std::string("not measured")) + "\n";
    t += "wiper resistance: " + ohmsText(wiperOhms) +
         " ohms; end-to-end resistance: " + ohmsText(endToEndOhms) + " ohms\n";
    t += "1 LSB: " + ohmsText(ends.lsb()) + " ohms\n";
    if (measured > 0) {
        t += "largest |INL|: " + lsbText(worstInl) + " LSB at code " +
             std::to_string(worstInlCode) + "\n";
        t += "largest |DNL|: " + lsbText(worstDnl) + " LSB at code " +
             std::to_string(worstDnlCode) + "\n";
    }
    if (reversals.empty()) {
        t += "monotonic: yes\n";
    } else {
        t += "monotonic: no, the resistance turns back at code";
        t += reversals.size() > 1 ? "s" : "";
        for (std::size_t i = 0; i < reversals.size(); ++i) {
            t += (i == 0 ? " " : ", ") + std::to_string(reversals[i]);
        }
        t += "\n";
    }
    t += "(end-point method: the line through the readings at codes " +
         std::to_string(ends.firstCode) + " and " + std::to_string(ends.lastCode) +
         ", taken before the sweep; the wiper and end-to-end resistances are that line at code 0 "
         "and 128 LSB)\n";
    return t;
}

std::optional<double> readingOf(const std::string& reply, std::string& why) {
    const char* begin = reply.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    while (end && (*end == ' ' || *end == '\t' || *end == '\r')) {
        ++end;
    }
    if (end == begin || *end != '\0' || std::isnan(value) || std::isinf(value)) {
        why = "answered '" + printable(reply.substr(0, 60)) + "', not a number";
        return std::nullopt;
    }
    if (std::abs(value) >= overload) {
        why = "is overloaded (" + printable(reply.substr(0, 30)) +
              "): the resistance is beyond its range, or nothing is connected";
        return std::nullopt;
    }
    return value;
}
