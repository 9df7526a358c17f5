#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "device/reading_text.h"

namespace {

using kestrel::device::ReadNumber;

// Characters that may surround a number without changing how strtod reads it: no x, i, n or p,
// which would let strtod take hexadecimal, inf or nan forms that the device never sends.
constexpr const char kJunk[] = "abcdfghjklmoqrstuvwyz#;/_,:.e+-E ";
constexpr const char kSpace[] = " \t\n\v\f\r";

std::string RandomNumberText(std::mt19937_64& random) {
  auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  std::string text;
  for (std::size_t k = pick(3); k > 0; --k) text += kSpace[pick(sizeof kSpace - 1)];
  if (pick(20) == 0) text += kJunk[pick(sizeof kJunk - 1)];
  const std::size_t sign = pick(3);
  if (sign == 1) text += '+';
  if (sign == 2) text += '-';
  // Up to 25 digits, split by an optional point; long runs and leading zeros included.
  const std::size_t digits = pick(26);
  const std::size_t point = pick(4) == 0 ? digits + 1 : pick(digits + 1);
  const bool zeros_first = pick(4) == 0;
  for (std::size_t k = 0; k < digits; ++k) {
    if (k == point) text += '.';
    text += zeros_first && k < digits / 2 ? '0' : static_cast<char>('0' + pick(10));
  }
  if (point == digits) text += '.';
  if (pick(2) == 0) {
    text += pick(2) == 0 ? 'e' : 'E';
    const std::size_t exponent_sign = pick(3);
    if (exponent_sign == 1) text += '+';
    if (exponent_sign == 2) text += '-';
    // Exponents past both ends of the double range, and none at all.
    const std::size_t exponent_digits = pick(4);
    for (std::size_t k = 0; k < exponent_digits; ++k) text += static_cast<char>('0' + pick(10));
  }
  for (std::size_t k = pick(3); k > 0; --k) text += kJunk[pick(sizeof kJunk - 1)];
  return text;
}

// What the device document shows for a text: strtod's reading, except that a value too large for a
// double stops at the largest finite one. Text without a number is 0 (Windows' strtod answers -0
// for "-abc", glibc's 0).
double Expected(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return 0.0;
  if (std::isinf(value)) return value > 0 ? DBL_MAX : -DBL_MAX;
  return value;
}

bool SameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The old reader cut after 19 digits and scaled in long double; these were among its misses.
TEST(ReadNumberTest, AgreesWithCorrectlyRoundedStrtod) {
  for (const char* text : {"1954498861124380.6251319", "332e25", "2.2250738585072011e-308",
                           "4.9406564584124654e-324", "1.7976931348623158e308", "1e400", "-1e-400",
                           "0.000000000000000000000000000001e30", " \v\f-.5e+1x", "5.e3", "-abc"}) {
    EXPECT_TRUE(SameBits(ReadNumber(text), Expected(text))) << text;
  }
  std::mt19937_64 random(20261206);
  int differences = 0;
  for (int k = 0; k < 100000; ++k) {
    const std::string text = RandomNumberText(random);
    const double got = ReadNumber(text.c_str());
    const double expected = Expected(text);
    if (!SameBits(got, expected) && ++differences <= 10) {
      ADD_FAILURE() << "\"" << text << "\": " << got << " where strtod gives " << expected;
    }
  }
  EXPECT_EQ(differences, 0);
}

TEST(ReadIntegerTest, ReadsSignedDecimalPrefixAndStopsAtTheLimits) {
  struct Row {
    const char* text;
    int32_t value;
  };
  for (const Row& row :
       {Row{" \t+38", 38}, Row{"16abc", 16}, Row{"-0042", -42}, Row{"abc", 0}, Row{"- 5", 0},
        Row{"2147483647", INT32_MAX}, Row{"2147483648", INT32_MAX}, Row{"-2147483648", INT32_MIN},
        Row{"-99999999999999999999999", INT32_MIN}, Row{"99999999999999999999999", INT32_MAX}}) {
    EXPECT_EQ(kestrel::device::ReadInteger(row.text), row.value) << row.text;
  }
}

}  // namespace
