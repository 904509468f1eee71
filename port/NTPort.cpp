#include "port/NTPort.h"

#include <utility>

namespace {

std::shared_ptr<PortOutput> chosenOutput;
bool failed = false;

} // namespace

void OutportW(std::int16_t PortAddress, std::int16_t Data) {
    if (failed) {
        throw PortRefused();
    }
    if (!chosenOutput) {
        failed = true;
        throw PortError("no port output was chosen");
    }
    try {
        chosenOutput->write(static_cast<std::uint16_t>(PortAddress),
                            static_cast<std::uint16_t>(Data));
    } catch (...) {
        failed = true;
        throw;
    }
}

void usePortOutput(std::shared_ptr<PortOutput> output) {
    chosenOutput = std::move(output);
    failed = false;
}

void releasePortOutput() {
    chosenOutput.reset();
}

bool portOutputFailed() {
    return failed;
}

void stopPortOutput() {
    failed = true;
}
