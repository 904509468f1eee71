#pragma once

// The program-wide variables: the code register that every frame sends, and the
// slots that hold the weighted terms while the bits are composed.
namespace Module1 {

// The wiper code, 0 to 127. Always a whole number, held as a double because
// the composing arithmetic is floating-point.
extern double Data_Byte;

// One slot per bit, written only by the composing procedure.
extern double Bit6_Term;
extern double Bit5_Term;
extern double Bit4_Term;
extern double Bit3_Term;
extern double Bit2_Term;
extern double Bit1_Term;
extern double Bit0_Term;

} // namespace Module1
