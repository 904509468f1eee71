#include "port/NTPort.h"

#include <utility>

namespace {

std::shared_ptr<PortOutput> chosen_output;
bool failed_earlier = false;

} // namespace

void OutportW(std::int16_t PortAddress, std::int16_t Data) {
    if (failed_earlier) {
        throw PortError("the port failed earlier; nothing more is written to it");
    }
    if (!chosen_output) {
        failed_earlier = true;
        throw PortError("no port output was chosen");
    }
    try {
        chosen_output->write(static_cast<std::uint16_t>(PortAddress),
                             static_cast<std::uint16_t>(Data));
    } catch (...) {
        failed_earlier = true;
        throw;
    }
}

void Use_Port_Output(std::shared_ptr<PortOutput> output) {
    chosen_output = std::move(output);
    failed_earlier = false;
}

void Release_Port_Output() {
    chosen_output.reset();
}
