#include "device/reading_text.h"

#include <cfloat>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstring>
#include <system_error>

namespace kestrel::device {
namespace {

// The device writes numbers with "." whatever the host's locale is, so none of these readers
// consults the locale (strtod would, and would also accept inf, nan and hexadecimal forms).

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Skips leading white space and one sign; true when the sign was a minus.
const char* SkipSpaceAndSign(const char* text, bool& negative) {
  while (IsSpace(*text)) ++text;
  negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  return text;
}

// End of a run of digits, optionally with one "." and an exponent, starting at text: the longest
// prefix that can be a number, so the standard reader never scans the rest of a long text.
const char* NumberEnd(const char* text) {
  while (IsDigit(*text)) ++text;
  if (*text == '.') {
    ++text;
    while (IsDigit(*text)) ++text;
  }
  if (*text == 'e' || *text == 'E') {
    const char* p = text + 1;
    if (*p == '+' || *p == '-') ++p;
    while (IsDigit(*p)) ++p;
    text = p;
  }
  return text;
}

// Whether the digits of a number text that the standard reader called out of range stand above 1
// (too large for a double) rather than below (too small).
bool IsAboveOne(const char* begin, const char* end) {
  long long magnitude = 0;
  bool seen_nonzero = false;
  const char* p = begin;
  for (; p < end && IsDigit(*p); ++p) {
    if (*p != '0') seen_nonzero = true;
    if (seen_nonzero) ++magnitude;
  }
  if (!seen_nonzero && p < end && *p == '.') {
    for (++p; p < end && *p == '0'; ++p) --magnitude;
  }
  while (p < end && *p != 'e' && *p != 'E') ++p;
  if (p < end) {
    ++p;
    const bool exponent_negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    long long exponent = 0;
    for (; p < end && IsDigit(*p); ++p) {
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
    }
    magnitude += exponent_negative ? -exponent : exponent;
  }
  return magnitude > 0;
}

// Digits with at most one "." among them, at least one digit; answers where they end.
const char* Mantissa(const char* text, const char* end, bool& any_digit) {
  any_digit = false;
  while (text < end && IsDigit(*text)) ++text, any_digit = true;
  if (text < end && *text == '.') {
    ++text;
    while (text < end && IsDigit(*text)) ++text, any_digit = true;
  }
  return text;
}

}  // namespace

// Leading white space and a sign are taken here; the digits go to the standard library, which
// reads them correctly rounded and without the locale.
int32_t ReadInteger(const char* text) {
  bool negative = false;
  const char* digits = SkipSpaceAndSign(text, negative);
  const char* end = digits;
  while (IsDigit(*end)) ++end;
  uint64_t magnitude = 0;
  if (std::from_chars(digits, end, magnitude).ec == std::errc::result_out_of_range) {
    magnitude = UINT64_MAX;
  }
  if (negative) {
    return magnitude >= uint64_t{1} << 31 ? INT32_MIN : -static_cast<int32_t>(magnitude);
  }
  return magnitude > uint64_t{INT32_MAX} ? INT32_MAX : static_cast<int32_t>(magnitude);
}

double ReadNumber(const char* text) {
  bool negative = false;
  const char* digits = SkipSpaceAndSign(text, negative);
  // The standard reader also takes inf and nan; the device's texts are numbers or nothing.
  if (!IsDigit(digits[0]) && !(digits[0] == '.' && IsDigit(digits[1]))) return 0.0;
  const char* end = NumberEnd(digits);
  double value = 0.0;
  if (std::from_chars(digits, end, value).ec == std::errc::result_out_of_range) {
    // Too large stops at the largest finite double, so the device document never carries an
    // infinity; too small is 0.
    value = IsAboveOne(digits, end) ? DBL_MAX : 0.0;
  }
  return negative ? -value : value;
}

bool IsTrueText(const char* text) {
  if (text[0] == '1') return true;
  static constexpr char kTrue[] = "true";
  for (std::size_t i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kTrue[i]) return false;
  }
  return text[4] == '\0';
}

bool IsDeviceNumber(const char* text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  const char* begin = text;
  const char* end = text + std::strlen(text);
  while (begin < end && blank(*begin)) ++begin;
  while (end > begin && blank(end[-1])) --end;
  const char* digits = begin < end && (*begin == '+' || *begin == '-') ? begin + 1 : begin;
  bool any_digit = false;
  const char* at = Mantissa(digits, end, any_digit);
  if (!any_digit) return false;
  if (at < end && (*at == 'e' || *at == 'E')) {
    ++at;
    if (at < end && (*at == '+' || *at == '-')) ++at;
    const char* exponent = at;
    while (at < end && IsDigit(*at)) ++at;
    if (at == exponent) return false;
  }
  if (at != end) return false;
  double value = 0.0;
  // Too small for a double reads as 0, which is what the device meant closely enough; too large
  // would read as a limit the device never sent.
  return std::from_chars(digits, end, value).ec != std::errc::result_out_of_range ||
         !IsAboveOne(digits, end);
}

}  // namespace kestrel::device
