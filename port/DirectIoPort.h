#pragma once

#include "port/PortOutput.h"
#include "port/SystemCalls.h"

// The data register reached with the processor's own I/O instructions. Only
// when asked for: it needs CAP_SYS_RAWIO and bypasses the kernel's drivers.
class DirectIoPort : public PortOutput {
public:
    explicit DirectIoPort(System_Calls& calls = System_Calls::Real()) : calls_(calls) {}

protected:
    void open() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    System_Calls& calls_;
};
