#pragma once

#include "model/BitView.h"

// Composes the seven bit values into their weighted sum and stores it in target.
void Get_Data_Byte_from_Bits(const BitView& bits, double& target);

// Spreads Module1::Data_Byte over the seven bits: every bit is cleared first, in
// index order, then the bits of the code that are 1 rise, in index order.
void Set_Bits_from_Data_Byte(BitView& bits);
