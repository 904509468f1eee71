#pragma once

#include "sweep/Analysis.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Draws what a sweep measured to a file; the failure's text, if it could not.
using Plotter = std::function<std::optional<std::string>(
    const std::vector<Row>& rows, const Summary& summary, const std::string& path)>;

// Runs zovrel-sweep: frames through the chosen port, readings from the meter,
// rows to the CSV as they come, the summary on standard output and the plot
// at the end. Returns the exit status: 1 for a failure of the port, the
// meter or a file, 2 for misuse (nothing sent), 128 + the signal's number
// when a stop signal ended it between codes.
int runSweep(int argc, char** argv, const Plotter& plot);
