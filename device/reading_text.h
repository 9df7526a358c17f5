// How the texts of a port's members read: its type as an integer, readings as numbers or states,
// and whether a reading's text is a number at all. The module reads what it can of any text; a
// host asks the last question to tell a reading the device took from one it only wrote 0 for.
#pragma once

#include <cstdint>

namespace kestrel::device {

// Leading white space, an optional sign and decimal digits up to the first other character; no
// digits give 0. Out-of-range values stop at the int32 limits.
int32_t ReadInteger(const char* text);

// Leading white space, an optional sign, digits with "." as the decimal point and an optional
// exponent; reading stops at the first character that does not fit, and no digits give 0.0. The
// value is the double nearest to the text, whatever the locale. A value beyond the range of a
// double stops at the largest finite one, a value too small for one is 0.
double ReadNumber(const char* text);

// "true" in any letter case, or a text whose first character is "1".
bool IsTrueText(const char* text);

// Whether the whole text (blanks around it allowed) is a decimal number within a double's range:
// what ReadNumber reads from it is then what the device meant, not a part of it or a limit.
bool IsDeviceNumber(const char* text);

}  // namespace kestrel::device
