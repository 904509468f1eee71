#include "model/Module1.h"

namespace Module1 {

double Data_Byte = 0;

double Bit6_Term = 0;
double Bit5_Term = 0;
double Bit4_Term = 0;
double Bit3_Term = 0;
double Bit2_Term = 0;
double Bit1_Term = 0;
double Bit0_Term = 0;

} // namespace Module1
