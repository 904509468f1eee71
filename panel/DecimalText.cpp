#include "panel/DecimalText.h"

#include <cmath>

QString Decimal_Text(double whole_number) {
    return QString::number(static_cast<qlonglong>(std::llround(whole_number)));
}
