#include "panel/DecimalText.h"

#include <cmath>

QString decimalText(double wholeNumber) {
    return QString::number(static_cast<qlonglong>(std::llround(wholeNumber)));
}
