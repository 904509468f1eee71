#include "setup/FailureText.h"

#include "port/PortOutput.h"

namespace {

std::string advice(PortError::Remedy remedy, Program program) {
    using Remedy = PortError::Remedy;
    switch (remedy) {
    case Remedy::None:
        return {};
    case Remedy::LoadDriversOrNameDevice:
        return "Load the parallel port drivers with 'sudo modprobe parport_pc' and 'sudo "
               "modprobe ppdev', or name a port that sits at another address (a PCI or PCIe "
               "card) with --port=ppdev:/dev/parportN.";
    case Remedy::LoadPpdevOrNameDevice:
        return "Load the ppdev driver with 'sudo modprobe ppdev', or name the right device with "
               "--port=ppdev:/dev/parportN.";
    case Remedy::FreeThePort:
        return std::string("Stop the program using the port, or unload that driver (for the "
                           "printer driver: 'sudo rmmod lp'), then ") +
               (program == Program::Panel ? "start the panel again." : "run zovrel-send again.");
    case Remedy::UseDefaultPort:
        return "Use the default port, --port=auto, which goes through the ppdev driver.";
    }
    return {};
}

} // namespace

std::string failureText(const std::exception& failure, Program program) {
    std::string text = failure.what();
    if (const auto* port = dynamic_cast<const PortError*>(&failure)) {
        const std::string what = advice(port->remedy(), program);
        if (!what.empty()) {
            text += " " + what;
        }
    }
    return text;
}
