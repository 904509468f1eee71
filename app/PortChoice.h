#pragma once

#include "app/ProgramOptions.h"

#include <memory>

class PortOutput;
class SimulatedBoard;

// The port output the program writes through, and the simulated board when
// that is what was chosen.
struct Port_Choice {
    std::shared_ptr<PortOutput> output;
    std::shared_ptr<SimulatedBoard> board;
};

Port_Choice Choose_Port(const Program_Options& options);

// Prints "frame <n>: code <c>" on standard output for every frame the board
// latches, flushed at once so that a reader sees it as it happens.
void Log_Latched_Frames(SimulatedBoard& board);
