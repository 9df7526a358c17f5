// How the sensor mapping reads the texts of an item's members.
#pragma once

#include <cstdint>

namespace kestrel::provider {

// Leading white space, an optional sign and decimal digits up to the first other character; no
// digits give 0. Out-of-range values stop at the int32 limits.
int32_t ReadInteger(const char* text);

// Leading white space, an optional sign, digits with "." as the decimal point and an optional
// exponent; reading stops at the first character that does not fit, and no digits give 0.0. The
// value is the double nearest to the text, whatever the locale. A value beyond the range of a
// double stops at the largest finite one, a value too small for one is 0.
double ReadNumber(const char* text);

}  // namespace kestrel::provider
