#include "model/Module1.h"

namespace Module1 {

double Data_Byte = 0;

double bit6Term = 0;
double bit5Term = 0;
double bit4Term = 0;
double bit3Term = 0;
double bit2Term = 0;
double bit1Term = 0;
double bit0Term = 0;

} // namespace Module1
