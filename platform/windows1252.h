// Windows-1252's characters, and the byte Windows' conversion without flags writes for a character
// the code page lacks (its best fit: "Łódź" is "Lódz"). Plain data that both builds compile: the
// Linux seam's code page and the codec of common/ convert with it, so they write what Windows does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace kestrel::platform::windows1252 {

// Bytes 0x80..0x9F; elsewhere a byte is the character of its value. The five bytes the code page
// leaves unassigned (0x81 0x8D 0x8F 0x90 0x9D) are the C1 controls of the same value, as Windows
// maps them (iconv refuses them), so every byte survives a round trip.
inline constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct BestFit {
  uint16_t unit;
  uint8_t byte;
};

inline constexpr BestFit kBestFit[] = {
#include "platform/windows1252_best_fit.inc"
};

inline char16_t ToUnit(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

// The code page's byte, else the best fit, else '?'.
inline char FromUnit(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  const auto* high = std::find(std::begin(kHigh), std::end(kHigh), unit);
  if (high != std::end(kHigh)) return static_cast<char>(0x80 + (high - std::begin(kHigh)));
  const auto* fit = std::lower_bound(std::begin(kBestFit), std::end(kBestFit), unit,
                                     [](const BestFit& row, char16_t u) { return row.unit < u; });
  if (fit != std::end(kBestFit) && fit->unit == unit) return static_cast<char>(fit->byte);
  return '?';
}

}  // namespace kestrel::platform::windows1252
