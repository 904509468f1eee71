#include "port/DirectIoPort.h"

#include "port/PortFault.h"
#include "port/PortWords.h"

#include <cerrno>

void DirectIoPort::open() {
    // The data, status and control registers, so that no other address is reachable.
    if (calls_.ioperm(0x378, 3, 1) == 0) {
        return;
    }
    const int error = errno;
    if (error == EPERM) {
        throw PortError("Direct I/O to 0x378 was refused (EPERM): the program is not privileged "
                        "(it needs CAP_SYS_RAWIO) or the kernel is locked down. Use the default "
                        "port, --port=auto, which goes through the ppdev driver.");
    }
    throw PortError("Direct I/O to 0x378 is not available: " + Error_Text(error) +
                    ". Use the default port, --port=auto.");
}

void DirectIoPort::put(std::uint16_t address, std::uint16_t word) {
    if (address != static_cast<std::uint16_t>(Port_Words::Port_Address) || word > 0xFF) {
        throw PortError(Program_Fault(address, word));
    }
    calls_.outb(static_cast<unsigned char>(word), 0x378);
}
