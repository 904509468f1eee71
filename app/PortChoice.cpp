#include "app/PortChoice.h"

#include "port/DirectIoPort.h"
#include "port/PpdevPort.h"
#include "port/SimulatedBoard.h"

#include <QFile>

#include <cstdio>

Port_Choice Choose_Port(const Program_Options& options) {
    Port_Choice choice;
    if (options.port == QLatin1String("sim")) {
        choice.board = std::make_shared<SimulatedBoard>();
        choice.output = choice.board;
        return choice;
    }
    if (options.port == QLatin1String("direct")) {
        choice.output = std::make_shared<DirectIoPort>();
        return choice;
    }
    PpdevPort::Settings settings;
    if (options.port.startsWith(QLatin1String("ppdev:"))) {
        settings.device =
            std::filesystem::path(QFile::encodeName(options.port.mid(6)).toStdString());
    }
    choice.output = std::make_shared<PpdevPort>(std::move(settings));
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
