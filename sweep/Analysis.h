#pragma once

#include "setup/CommandLine.h"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a sweep makes of its readings, by the end-point method: the straight
// line through the resistance at the first and the last code (both read
// before the sweep, so that every row's INL is known as it is measured) is
// the ideal; one LSB is its rise per code, taken as a size whether the
// resistance rises with the code or falls (the meter across the wiper and
// the other end). INL is a code's distance from the line along it, DNL a
// step's difference from one LSB, both in LSB.
struct EndPoints {
    int firstCode = 0;
    int lastCode = 127;
    double firstOhms = 0;
    double lastOhms = 0;

    // Ohms per code, with its sign: negative on a falling curve.
    double slope() const { return (lastOhms - firstOhms) / (lastCode - firstCode); }
    double lsb() const { return std::abs(slope()); }
    bool falling() const { return slope() < 0; }
    double ideal(int code) const { return firstOhms + slope() * (code - firstCode); }
    // The two readings differ enough to draw a line through: by a millionth
    // of their size and a micro-ohm a code at least.
    bool moves() const;
};

// One code's readings in one pass of the sweep.
struct Row {
    int code = 0;
    double ohms = 0;     // the mean of the readings
    double spread = NAN; // their standard deviation, with more than one reading
    double inl = 0;      // LSB
    double dnl = NAN;    // LSB; none while the code below it in its pass is not measured
    int below = -1;      // the code below it in its pass, its DNL taken from
    int sweep = 1;       // 1..N
    bool down = false;   // measured on the way down
};

// One code's row from its readings (its DNL is set by dnlBetween).
Row makeRow(int code, const std::vector<double>& readings, const EndPoints& ends);

// The DNL of upper, from the code below it in its pass, whichever way the
// pass went: DNL(c) = (R(c) - R(c - s)) / (s LSB) - 1 over a step of s codes,
// the mean DNL of the codes the step spans.
double dnlBetween(const Row& lower, const Row& upper, const EndPoints& ends);

// INL and DNL of rows read back (a saved CSV): each pass's codes in order.
void recompute(std::vector<Row>& rows, const EndPoints& ends);

// A figure that is the largest of its kind, where it is.
struct Extreme {
    double lsb = 0;
    int code = 0;
    int sweep = 1;
    bool down = false;
};

// A limit judged: what was asked, what was measured, whether it was met.
struct Verdict {
    std::string line;
    bool met = false;
};

// The figures a data sheet gives, from the rows measured so far.
struct Summary {
    EndPoints ends;
    int step = 1;
    std::size_t codes = 0; // different codes measured
    int sweeps = 0;
    bool bothWays = false;
    bool firstDown = false;              // the first pass went down
    bool incomplete = false;             // the run ended before its last code
    std::optional<double> zeroScaleOhms; // measured at code 0, if it was
    std::optional<double> fullScaleOhms; // measured at code 127, if it was
    double wiperOhms = 0;                // the line where the wiper meets the meter's end
    double endToEndOhms = 0;             // 128 LSB
    std::optional<Extreme> worstInl;
    std::optional<Extreme> worstDnl; // none with a single code a pass
    // Where the resistance turned back: the code below the step and the one above it.
    std::vector<std::pair<int, int>> reversals;
    std::optional<Extreme> repeatability; // the largest spread of one code across sweeps
    std::optional<Extreme> hysteresis;    // the largest |up - down| at one code
    SweepLimits limits;                   // those judged
    std::vector<Verdict> verdicts;

    bool limitsMet() const;
    std::string text() const;
};

Summary summarize(const std::vector<Row>& rows, const EndPoints& ends, int step,
                  const SweepLimits& limits = {});

// A decimal number as SCPI and our CSV write it ("+1.0E+04", "512.5"), with
// what follows it; nothing for hex, NaN, infinity or no number at all.
std::optional<double> readNumber(std::string_view text, std::string_view& rest);

// A meter's reply as a reading in ohms; nothing, with why, when it is not
// one. A unit after the number ("1234.5 OHM") is taken.
std::optional<double> readingOf(const std::string& reply, std::string& why);

// Whether a SYST:ERR? reply says the queue is empty: its number is 0.
bool noError(const std::string& reply);
