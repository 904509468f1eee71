#pragma once

// Sends the code in Module1::Data_Byte to the chip as one serial frame: the idle
// word, seven bits most significant first (a setup write with the clock low,
// then the clock write), and the idle word again. Sixteen writes, back to back.
void Read_Write_Bits_to_Parallel_Port();
