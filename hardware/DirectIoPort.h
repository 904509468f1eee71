#pragma once

#include "hardware/SystemCalls.h"
#include "port/PortOutput.h"

// The data register reached with the processor's own I/O instructions. Only
// when asked for: it needs CAP_SYS_RAWIO and bypasses the kernel's drivers.
class DirectIoPort : public PortOutput {
public:
    explicit DirectIoPort(SystemCalls& calls = SystemCalls::real()) : calls_(calls) {}
    ~DirectIoPort() override { close(); }

protected:
    void open() override;
    // Gives the I/O permission back.
    void release() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    SystemCalls& calls_;
    bool granted_ = false;
};
