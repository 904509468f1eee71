#pragma once

// The code model: the code register that every frame sends, the slots that hold
// the weighted terms while the bits are composed, and (in BitConversion.h) the
// conversions between a code and its seven bits. No Qt, no port.
namespace Module1 {

// The wiper code, 0 to 127. Always a whole number, held as a double because
// the composing arithmetic is floating-point.
extern double Data_Byte;

// One slot per bit, written only by the composing procedure.
extern double bit6Term;
extern double bit5Term;
extern double bit4Term;
extern double bit3Term;
extern double bit2Term;
extern double bit1Term;
extern double bit0Term;

} // namespace Module1
