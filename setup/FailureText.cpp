#include "setup/FailureText.h"

#include "hardware/FtdiPort.h"
#include "port/PortOutput.h"

namespace {

std::string advice(PortError::Remedy remedy, Program program) {
    using Remedy = PortError::Remedy;
    const std::string again = program == Program::Panel    ? "start the panel again."
                              : program == Program::Sender ? "run zovrel-send again."
                              : program == Program::Sweep  ? "run zovrel-sweep again."
                                                           : "send the command again.";
    switch (remedy) {
    case Remedy::None:
        return {};
    case Remedy::LoadDriversOrNameDevice:
        if (ftdiAdapterConnected()) {
            return "An FTDI USB adapter is connected: to reach the board through it, use "
                   "--port=ftdi.";
        }
        return "Load the parallel port drivers with 'sudo modprobe parport_pc' and 'sudo "
               "modprobe ppdev', or name a port that sits at another address (a PCI or PCIe "
               "card) with --port=ppdev:/dev/parportN.";
    case Remedy::LoadPpdevOrNameDevice:
        return "Load the ppdev driver with 'sudo modprobe ppdev', or name the right device with "
               "--port=ppdev:/dev/parportN.";
    case Remedy::FreeThePort:
        return "Stop the program using the port, or unload that driver (for the printer "
               "driver: 'sudo rmmod lp'), then " +
               again;
    case Remedy::UseDefaultPort:
        return "Use the default port, --port=auto, which goes through the ppdev driver.";
    case Remedy::CheckTheAdapter:
        return "Check that the adapter is plugged in ('lsusb' lists it as 0403:...), then " + again;
    case Remedy::NameTheSerial:
        return "Name the adapter with --port=ftdi:SERIAL, one of the serial numbers found.";
    case Remedy::AllowTheGpio:
        return "On Raspberry Pi OS, join the 'gpio' group ('sudo usermod -aG gpio $USER'); "
               "elsewhere give a group the chips with a udev rule such as SUBSYSTEM==\"gpio\", "
               "KERNEL==\"gpiochip*\", GROUP=\"gpio\", MODE=\"0660\"; then log out and in.";
    case Remedy::AllowTheAdapter:
        return "Install the package's udev rule (it gives the 'plugdev' group access), add "
               "yourself to that group ('sudo usermod -aG plugdev $USER'), log out and in, and "
               "plug the adapter in again.";
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
