#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <vector>

// What a sweep makes of its readings, by the end-point method: the straight
// line through the resistance at the first and the last code (both read
// before the sweep, so that every row's INL is known as it is measured) is
// the ideal; one LSB is its rise per code. INL is a code's distance from the
// line, DNL a step's difference from one LSB, both in LSB.
struct EndPoints {
    int firstCode = 0;
    int lastCode = 127;
    double firstOhms = 0;
    double lastOhms = 0;

    double lsb() const { return (lastOhms - firstOhms) / (lastCode - firstCode); }
    double ideal(int code) const { return firstOhms + lsb() * (code - firstCode); }
};

struct Row {
    int code = 0;
    double ohms = 0;     // the mean of the readings
    double spread = NAN; // their standard deviation, with more than one reading
    double inl = 0;      // LSB
    double dnl = NAN;    // LSB; none for the first code
};

// One code's row from its readings; previous is the row measured before it.
Row makeRow(int code, const std::vector<double>& readings, const EndPoints& ends,
            const Row* previous);

// The figures a data sheet gives, from the rows measured so far.
struct Summary {
    EndPoints ends;
    std::size_t measured = 0;
    std::optional<double> zeroScaleOhms; // measured at code 0, if it was
    std::optional<double> fullScaleOhms; // measured at code 127, if it was
    double wiperOhms = 0;                // the line at code 0
    double endToEndOhms = 0;             // 128 LSB
    double worstInl = 0;
    int worstInlCode = 0;
    double worstDnl = 0;
    int worstDnlCode = 0;
    std::vector<int> reversals; // codes at which the resistance turned back

    std::string text() const;
};

Summary summarize(const std::vector<Row>& rows, const EndPoints& ends);

// A meter's reply as a reading in ohms; nothing, with why, when it is not one.
std::optional<double> readingOf(const std::string& reply, std::string& why);
