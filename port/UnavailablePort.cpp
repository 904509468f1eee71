#include "port/UnavailablePort.h"

void UnavailablePort::open() {
    throw PortError(reason_);
}

void UnavailablePort::put(std::uint16_t, std::uint16_t) {
    throw PortError(reason_);
}
