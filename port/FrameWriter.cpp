#include "port/FrameWriter.h"

#include "model/Module1.h"
#include "port/NTPort.h"
#include "port/PortWords.h"

#include <cmath>
#include <cstdint>

namespace {

std::int32_t roundToWhole(double value) {
    return static_cast<std::int32_t>(std::nearbyint(value));
}

} // namespace

void Read_Write_Bits_to_Parallel_Port() {
    using namespace PortWords;
    const std::int16_t PortAddress = portAddress;
    double BitMask = std::int16_t{64};
    // How often each write of a bit is repeated, to hold a line for a slow
    // board. Nothing raises them: every write is made exactly once.
    const int setupHoldCount = 0;
    const int clockHoldCount = 0;

    OutportW(PortAddress, idleWord);
    for (int sent = 0; sent < codeBits; ++sent) {
        const bool one = (roundToWhole(Module1::Data_Byte) & roundToWhole(BitMask)) >= 1;
        for (int hold = 0; hold <= setupHoldCount; ++hold) {
            OutportW(PortAddress, one ? oneSetupWord : zeroSetupWord);
        }
        for (int hold = 0; hold <= clockHoldCount; ++hold) {
            OutportW(PortAddress, one ? oneClockWord : zeroClockWord);
        }
        BitMask = BitMask / 2;
    }
    // The select line rises with the closing idle word, which drops the clock
    // and the data line in the same write.
    OutportW(PortAddress, idleWord);
}

void shiftCodeWithoutLatching() {
    using namespace PortWords;
    const std::int32_t code = roundToWhole(Module1::Data_Byte);
    for (int bit = codeBits - 1; bit >= 0; --bit) {
        const bool one = ((code >> bit) & 1) != 0;
        OutportW(portAddress, one ? oneSetupWord : zeroSetupWord);
        OutportW(portAddress, one ? oneClockWord : zeroClockWord);
    }
}
