#pragma once

#include "port/ParportDiscovery.h"
#include "port/PortOutput.h"
#include "port/SystemCalls.h"

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
        std::filesystem::path procfs_root = Parport_Procfs;
        System_Calls* calls = &System_Calls::Real();
    };

    explicit PpdevPort(Settings settings);
    ~PpdevPort() override;

    const std::filesystem::path& device() const { return device_; }

protected:
    void open() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    std::filesystem::path Find_Device() const;
    void Check_Not_Held(const std::string& parport_name) const;
    [[noreturn]] void Fail_Open(int error) const;
    [[noreturn]] void Fail_Ioctl(const char* what, int error) const;

    Settings settings_;
    std::filesystem::path device_;
    int fd_ = -1;
    bool claimed_ = false;
};
