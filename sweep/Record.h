#pragma once

#include "sweep/Analysis.h"

#include <istream>
#include <optional>
#include <string>
#include <vector>

// The CSV a sweep writes: '#' lines that say how it was made (so that the
// file stands alone), the end points its figures are taken against, then a
// row a code as it is measured. What it wrote it can read back.
struct RecordHeader {
    std::string version;
    std::vector<std::string> arguments; // the whole command line
    std::string port;
    std::string meter;
    std::string identity; // the meter's *IDN? reply
    SweepOptions sweep;
};

std::string headerLines(const RecordHeader& header);
std::string endPointsLine(const EndPoints& ends);
inline constexpr const char* columnsLine =
    "code,ohms,spread_ohms,inl_lsb,dnl_lsb,sweep,direction\n";
std::string csvRow(const Row& row);

// A record read back: its end points, step and rows.
struct SavedSweep {
    EndPoints ends;
    int step = 1;
    std::vector<Row> rows;
};
// Nothing, with why, when the text is not a record this program wrote.
std::optional<SavedSweep> readRecord(std::istream& in, std::string& why);

// A command line as a shell would take it back.
std::string shellQuoted(const std::vector<std::string>& arguments);
