#include "hardware/DirectIoPort.h"

#include "port/MessageText.h"

#include <cerrno>

void DirectIoPort::open() {
    // The data, status and control registers, so that no other address is reachable.
    if (calls_.ioperm(0x378, 3, 1) == 0) {
        granted_ = true;
        return;
    }
    const int error = errno;
    if (error == EPERM) {
        throw PortError("Direct I/O to 0x378 was refused (EPERM): the program is not privileged "
                        "(it needs CAP_SYS_RAWIO) or the kernel is locked down.",
                        PortError::Remedy::UseDefaultPort);
    }
    throw PortError("Direct I/O to 0x378 is not available: " + errorText(error) + ".",
                    PortError::Remedy::UseDefaultPort);
}

void DirectIoPort::release() {
    if (granted_) {
        calls_.ioperm(0x378, 3, 0);
        granted_ = false;
    }
}

void DirectIoPort::put(std::uint16_t, std::uint16_t word) {
    calls_.outb(static_cast<unsigned char>(word), 0x378);
}
