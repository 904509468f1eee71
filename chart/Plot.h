#pragma once

// zovrel-sweep's plot (this room draws; the sweep measures, in sweep/):
// resistance against code, with INL and DNL beneath it, drawn with Qt Charts
// off screen.

#include "sweep/Analysis.h"

#include <optional>
#include <string>
#include <vector>

class QChart;

// The two charts: resistance against code, with the end-point line and the
// codes where the curve turns back marked; INL as a line and DNL as markers
// beneath, with the INL and DNL limits when given. Each pass of the sweep is
// a line of its own (only the first named in the legend). Owned by the caller.
struct Charts {
    QChart* resistance;
    QChart* linearity;
};
Charts buildCharts(const std::vector<Row>& rows, const Summary& summary);

// Draws to path, PNG or SVG by its name; the failure's text, if it could not.
std::optional<std::string> drawCharacterization(const std::vector<Row>& rows,
                                                const Summary& summary, const std::string& path);
