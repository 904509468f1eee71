#include "port/FrameWriter.h"

#include "model/Module1.h"
#include "port/NTPort.h"
#include "port/PortWords.h"

#include <cmath>
#include <cstdint>

namespace {

std::int32_t Round_to_Whole(double value) {
    return static_cast<std::int32_t>(std::nearbyint(value));
}

} // namespace

void Read_Write_Bits_to_Parallel_Port() {
    using namespace Port_Words;
    const std::int16_t PortAddress = Port_Address;
    double BitMask = std::int16_t{64};
    // How often each write of a bit is repeated, to hold a line for a slow
    // board. Nothing raises them: every write is made exactly once.
    const int Setup_Hold_Count = 0;
    const int Clock_Hold_Count = 0;

    OutportW(PortAddress, Idle_Word);
    for (int sent = 0; sent < Frame_Bits; ++sent) {
        const bool one = (Round_to_Whole(Module1::Data_Byte) & Round_to_Whole(BitMask)) >= 1;
        for (int hold = 0; hold <= Setup_Hold_Count; ++hold) {
            OutportW(PortAddress, one ? One_Setup_Word : Zero_Setup_Word);
        }
        for (int hold = 0; hold <= Clock_Hold_Count; ++hold) {
            OutportW(PortAddress, one ? One_Clock_Word : Zero_Clock_Word);
        }
        BitMask = BitMask / 2;
    }
    // The select line rises with the closing idle word, which drops the clock
    // and the data line in the same write.
    OutportW(PortAddress, Idle_Word);
}
