#pragma once

// The ways to reach a real parallel port on Linux: through the kernel's ppdev
// driver (this file), found in /proc/sys/dev/parport (ParportDiscovery.h), or
// with the processor's own I/O instructions when asked (DirectIoPort.h), all
// behind one seam over the system calls (SystemCalls.h). No Qt.

#include "hardware/ParportDiscovery.h"
#include "hardware/SystemCalls.h"
#include "port/PortOutput.h"
#include "port/UniqueFd.h"

#include <filesystem>
#include <optional>

// The parallel port through the kernel's ppdev driver. At the first write it
// finds the port at 0x378 (or takes the device it was given), opens it, claims
// it for the rest of the run and drives the data lines; every word then goes
// to the data register alone. The claim is released, with nothing written,
// when the port is closed.
class PpdevPort : public PortOutput {
public:
    struct Settings {
        // A device to use in place of the port at 0x378, for a card that sits
        // elsewhere; the program treats it as 0x378.
        std::optional<std::filesystem::path> device;
        std::filesystem::path procfsRoot = parportProcfs;
        SystemCalls* calls = &SystemCalls::real();
    };

    explicit PpdevPort(Settings settings);
    ~PpdevPort() override { close(); }

    const std::filesystem::path& device() const { return device_; }

protected:
    // All or nothing: a step that fails undoes the steps before it.
    void open() override;
    // Releases the claim and closes the device.
    void release() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    std::filesystem::path findDevice() const;
    void checkNotHeld(const std::string& parportName) const;
    [[noreturn]] void failOpen(int error) const;
    [[noreturn]] void failIoctl(const char* what, int error) const;

    Settings settings_;
    std::filesystem::path device_;
    UniqueFd fd_;
};
