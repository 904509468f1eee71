#pragma once

// zovrel-sweep's plot (this room draws; the sweep measures, in sweep/):
// resistance against code, with INL and DNL beneath it, drawn with Qt Charts
// off screen.

#include "sweep/Analysis.h"

#include <optional>
#include <string>
#include <vector>

// Draws to path, PNG or SVG by its name; the failure's text, if it could not.
std::optional<std::string> drawCharacterization(const std::vector<Row>& rows,
                                                const Summary& summary, const std::string& path);
