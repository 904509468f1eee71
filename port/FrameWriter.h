#pragma once

// Sends the code in Module1::Data_Byte to the chip as one serial frame: the idle
// word, seven bits most significant first (a setup write with the clock low,
// then the clock write), and the idle word again. Sixteen writes, back to back.
void Read_Write_Bits_to_Parallel_Port();

// Clocks the seven bits of Data_Byte into the chip with select held low (or
// lowered), and does not raise it. A frame cut short leaves select low with
// some bits shifted in, and the opening idle word of the next frame would
// latch them; clocking seven whole bits first replaces every one of them, so
// that the rise latches the code about to be sent instead.
void shiftCodeWithoutLatching();
