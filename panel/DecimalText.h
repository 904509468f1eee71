#pragma once

#include <QString>

// The plain decimal form of a whole number: no sign, no leading zeros, no point.
QString decimalText(double wholeNumber);
