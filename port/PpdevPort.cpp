#include "port/PpdevPort.h"

#include "port/PortFault.h"
#include "port/PortWords.h"

#include <fcntl.h>
#include <sys/ioctl.h>
// After sys/ioctl.h, which defines the request macros it uses.
#include <linux/ppdev.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

constexpr unsigned Wanted_Base = 0x378;

const char* const Load_Drivers =
    "Load the parallel port drivers with 'sudo modprobe parport_pc' and 'sudo modprobe ppdev', "
    "or name a port that sits at another address (a PCI or PCIe card) with "
    "--port=ppdev:/dev/parportN.";

} // namespace

PpdevPort::PpdevPort(Settings settings) : settings_(std::move(settings)) {}

PpdevPort::~PpdevPort() {
    if (fd_ < 0) {
        return;
    }
    if (claimed_) {
        settings_.calls->ioctl(fd_, PPRELEASE, nullptr);
    }
    settings_.calls->close(fd_);
}

std::filesystem::path PpdevPort::Find_Device() const {
    const auto ports = List_Parports(settings_.procfs_root);
    for (const auto& port : ports) {
        if (port.base_address == Wanted_Base) {
            return port.device();
        }
    }
    if (ports.empty()) {
        throw PortError("No parallel port at 0x378: no parallel port driver is loaded (" +
                        settings_.procfs_root.string() + " lists no port). " + Load_Drivers);
    }
    std::string found;
    for (const auto& port : ports) {
        found += (found.empty() ? "" : ", ") + port.name + " at " + Hex(port.base_address);
    }
    throw PortError("No parallel port at 0x378: the ports found are " + found + ". " +
                    Load_Drivers);
}

void PpdevPort::Check_Not_Held(const std::string& parport_name) const {
    const auto active = Active_Device(parport_name, settings_.procfs_root);
    if (!active || *active == "none" || active->empty()) {
        return;
    }
    // Claiming a port another driver holds would wait until that driver lets
    // go, with the window frozen meanwhile.
    throw PortError(device_.string() + " is held by another driver, '" + *active +
                    "'. Stop the program using the port, or unload that driver (for the "
                    "printer driver: 'sudo rmmod lp'), then start the panel again.");
}

void PpdevPort::open() {
    device_ = settings_.device ? *settings_.device : Find_Device();
    Check_Not_Held(device_.filename().string());

    fd_ = settings_.calls->open(device_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        Fail_Open(errno);
    }
    if (settings_.calls->ioctl(fd_, PPCLAIM, nullptr) != 0) {
        Fail_Ioctl("Claiming", errno);
    }
    claimed_ = true;
    int forward = 0; // the data lines driven by the port
    if (settings_.calls->ioctl(fd_, PPDATADIR, &forward) != 0) {
        Fail_Ioctl("Setting the data lines to output on", errno);
    }
}

void PpdevPort::put(std::uint16_t address, std::uint16_t word) {
    if (address != static_cast<std::uint16_t>(Port_Words::Port_Address) || word > 0xFF) {
        throw PortError(Program_Fault(address, word));
    }
    unsigned char data = static_cast<unsigned char>(word);
    if (settings_.calls->ioctl(fd_, PPWDATA, &data) != 0) {
        Fail_Ioctl("Writing the data register of", errno);
    }
}

void PpdevPort::Fail_Open(int error) const {
    const std::string device = device_.string();
    switch (error) {
    case EACCES:
    case EPERM:
        throw PortError("Permission denied opening " + device +
                        ". Add yourself to the 'lp' group ('sudo usermod -aG lp $USER'), then log "
                        "out and in again.");
    case ENOENT:
        throw PortError(device +
                        " does not exist. Load the ppdev driver with 'sudo modprobe "
                        "ppdev', or name the right device with --port=ppdev:/dev/parportN.");
    case ENXIO:
    case ENODEV:
        throw PortError(device + " has no parallel port behind it (" + Error_Text(error) + "). " +
                        Load_Drivers);
    default:
        throw PortError("Opening " + device + " failed: " + Error_Text(error) + ".");
    }
}

void PpdevPort::Fail_Ioctl(const char* what, int error) const {
    const std::string device = device_.string();
    if (error == ENOTTY) {
        throw PortError(device + " is not a parallel port (ENOTTY). USB printer adapters cannot "
                                 "drive the data lines: use a motherboard port or a PCI or PCIe "
                                 "parallel card.");
    }
    throw PortError(std::string(what) + " " + device + " failed: " + Error_Text(error) + ".");
}
