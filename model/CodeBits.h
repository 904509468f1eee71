#pragma once

// How many bits a wiper code has: seven, for codes 0 to 127. The bit panel, the
// conversions, the frame and the chip model all count with this one number.
inline constexpr int codeBits = 7;
inline constexpr int largestCode = (1 << codeBits) - 1;
