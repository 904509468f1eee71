#include "model/BitConversion.h"

#include "model/Module1.h"

#include <cmath>

namespace {

double weightedTerm(const BitView& bits, int k) {
    return bits.bit(k) * std::pow(2.0, k);
}

} // namespace

void Get_Data_Byte_from_Bits(const BitView& bits, double& target) {
    using namespace Module1;
    bit6Term = weightedTerm(bits, 6);
    bit5Term = weightedTerm(bits, 5);
    bit4Term = weightedTerm(bits, 4);
    bit3Term = weightedTerm(bits, 3);
    bit2Term = weightedTerm(bits, 2);
    bit1Term = weightedTerm(bits, 1);
    bit0Term = weightedTerm(bits, 0);
    target = bit6Term + bit5Term + bit4Term + bit3Term + bit2Term + bit1Term + bit0Term;
}

void Set_Bits_from_Data_Byte(BitView& bits) {
    for (int i = 0; i < codeBits; ++i) {
        bits.setBit(i, 0);
    }
    // Read only after the clearing writes: their nested handlers never touch
    // Data_Byte, so this is still the code the caller stored.
    double x = Module1::Data_Byte;
    for (int k = 0; k < codeBits; ++k) {
        if (std::fmod(x, 2.0) == 1.0) {
            bits.setBit(k, 1);
            x = (x - 1) / 2;
        } else {
            x = x / 2;
        }
    }
}
