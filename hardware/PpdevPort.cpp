#include "hardware/PpdevPort.h"

#include "port/MessageText.h"

#include <fcntl.h>
#include <sys/ioctl.h>
// After sys/ioctl.h, which defines the request macros it uses.
#include <linux/ppdev.h>

#include <cerrno>
#include <utility>

namespace {

constexpr unsigned wantedBase = 0x378;

} // namespace

PpdevPort::PpdevPort(Settings settings) : settings_(std::move(settings)) {}

void PpdevPort::release() {
    if (!fd_) {
        return;
    }
    // An open descriptor here is always a claimed one: open() keeps no other.
    settings_.calls->ioctl(fd_.get(), PPRELEASE, nullptr);
    fd_.reset();
}

std::filesystem::path PpdevPort::findDevice() const {
    const auto ports = listParports(settings_.procfsRoot);
    for (const auto& port : ports) {
        if (port.baseAddress == wantedBase) {
            return port.device();
        }
    }
    using Remedy = PortError::Remedy;
    if (ports.empty()) {
        throw PortError("No parallel port at 0x378: no parallel port driver is loaded (" +
                            settings_.procfsRoot.string() + " lists no port).",
                        Remedy::LoadDriversOrNameDevice);
    }
    std::string found;
    for (const auto& port : ports) {
        found += (found.empty() ? "" : ", ") + port.name + " at " + hexText(port.baseAddress);
    }
    throw PortError("No parallel port at 0x378: the ports found are " + found + ".",
                    Remedy::LoadDriversOrNameDevice);
}

void PpdevPort::checkNotHeld(const std::string& parportName) const {
    const auto active = activeDevice(parportName, settings_.procfsRoot);
    if (!active || *active == "none" || active->empty()) {
        return;
    }
    // Claiming a port another driver holds would wait until that driver lets
    // go, with the program frozen meanwhile.
    throw PortError(printable(device_.string()) + " is held by another driver, '" +
                        printable(*active) + "'.",
                    PortError::Remedy::FreeThePort);
}

void PpdevPort::open() {
    device_ = settings_.device ? *settings_.device : findDevice();
    checkNotHeld(device_.filename().string());

    SystemCalls* const calls = settings_.calls;
    UniqueFd fd(calls->open(device_.c_str(), O_RDWR | O_CLOEXEC),
                [calls](int descriptor) { calls->close(descriptor); });
    if (!fd) {
        failOpen(errno);
    }
    if (calls->ioctl(fd.get(), PPCLAIM, nullptr) != 0) {
        failIoctl("Claiming", errno); // fd closes on the way out
    }
    int forward = 0; // the data lines driven by the port
    if (calls->ioctl(fd.get(), PPDATADIR, &forward) != 0) {
        const int error = errno;
        calls->ioctl(fd.get(), PPRELEASE, nullptr);
        failIoctl("Setting the data lines to output on", error);
    }
    fd_ = std::move(fd);
}

void PpdevPort::put(std::uint16_t, std::uint16_t word) {
    unsigned char data = static_cast<unsigned char>(word);
    if (settings_.calls->ioctl(fd_.get(), PPWDATA, &data) != 0) {
        failIoctl("Writing the data register of", errno);
    }
}

void PpdevPort::failOpen(int error) const {
    const std::string device = printable(device_.string());
    switch (error) {
    case EACCES:
    case EPERM:
        throw PortError("Permission denied opening " + device +
                        ". Add yourself to the 'lp' group ('sudo usermod -aG lp $USER'), then log "
                        "out and in again.");
    case ENOENT:
        throw PortError(device + " does not exist.", PortError::Remedy::LoadPpdevOrNameDevice);
    case ENXIO:
    case ENODEV:
        throw PortError(device + " has no parallel port behind it (" + errorText(error) + ").",
                        PortError::Remedy::LoadDriversOrNameDevice);
    default:
        throw PortError("Opening " + device + " failed: " + errorText(error) + ".");
    }
}

void PpdevPort::failIoctl(const char* what, int error) const {
    const std::string device = printable(device_.string());
    if (error == ENOTTY) {
        throw PortError(device + " is not a parallel port (ENOTTY). USB printer adapters cannot "
                                 "drive the data lines: use a motherboard port or a PCI or PCIe "
                                 "parallel card.");
    }
    throw PortError(std::string(what) + " " + device + " failed: " + errorText(error) + ".");
}
