#include "model/BitConversion.h"

#include "model/Module1.h"

#include <cmath>

namespace {

double Weighted_Term(const BitView& bits, int k) {
    return bits.bit(k) * std::pow(2.0, k);
}

} // namespace

void Get_Data_Byte_from_Bits(const BitView& bits, double& target) {
    using namespace Module1;
    Bit6_Term = Weighted_Term(bits, 6);
    Bit5_Term = Weighted_Term(bits, 5);
    Bit4_Term = Weighted_Term(bits, 4);
    Bit3_Term = Weighted_Term(bits, 3);
    Bit2_Term = Weighted_Term(bits, 2);
    Bit1_Term = Weighted_Term(bits, 1);
    Bit0_Term = Weighted_Term(bits, 0);
    target = Bit6_Term + Bit5_Term + Bit4_Term + Bit3_Term + Bit2_Term + Bit1_Term + Bit0_Term;
}

void Set_Bits_from_Data_Byte(BitView& bits) {
    for (int i = 0; i < BitView::Bit_Count; ++i) {
        bits.setBit(i, 0);
    }
    // Read only after the clearing writes: their nested handlers never touch
    // Data_Byte, so this is still the code the caller stored.
    double x = Module1::Data_Byte;
    for (int k = 0; k < BitView::Bit_Count; ++k) {
        if (std::fmod(x, 2.0) == 1.0) {
            bits.setBit(k, 1);
            x = (x - 1) / 2;
        } else {
            x = x / 2;
        }
    }
}
