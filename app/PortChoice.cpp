#include "app/PortChoice.h"

#include "port/SimulatedBoard.h"
#include "port/UnavailablePort.h"

#include <cstdio>

Port_Choice Choose_Port(const Program_Options& options) {
    Port_Choice choice;
    if (options.port == QLatin1String("sim")) {
        choice.board = std::make_shared<SimulatedBoard>();
        choice.output = choice.board;
        return choice;
    }
    choice.output = std::make_shared<UnavailablePort>(
        "this build cannot reach a real parallel port yet; start it with --port=sim to work "
        "on the simulated board");
    return choice;
}

void Log_Latched_Frames(SimulatedBoard& board) {
    board.onFrameLatched([](const LatchedFrame& frame) {
        if (frame.malformed()) {
            std::printf("frame %llu: code %d (malformed: %d clock edges)\n",
                        static_cast<unsigned long long>(frame.number), frame.code,
                        frame.clock_edges);
        } else {
            std::printf("frame %llu: code %d\n", static_cast<unsigned long long>(frame.number),
                        frame.code);
        }
        std::fflush(stdout);
    });
}
