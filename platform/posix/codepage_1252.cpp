// Windows-1252 is the "ANSI code page" of the Linux build: one byte per character both ways, with
// the contracts of MultiByteToWideChar / WideCharToMultiByte.
#include <cstring>

#include "platform/platform.h"

namespace kestrel::platform {

namespace {

// Bytes 0x80..0x9F. The five bytes that 1252 leaves unassigned map to the C1 controls of the same
// value, as Windows maps them, so every byte survives a round trip.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WChar ByteToWide(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return static_cast<WChar>(kHighControls[byte - 0x80]);
  return static_cast<WChar>(byte);
}

// The byte for a BMP character, or '?' when 1252 cannot hold it.
char WideToByte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (int k = 0; k < 32; ++k) {
    if (kHighControls[k] == unit) return static_cast<char>(0x80 + k);
  }
  return '?';
}

inline bool IsHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
inline bool IsLowSurrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

uint32_t AnsiCodePage() {
  return 1252;
}

int32_t AnsiToWide(const char* source, int32_t length, WChar* destination, int32_t size) {
  if (source == nullptr || length == 0 || size < 0) return 0;
  const std::size_t count = length < 0 ? std::strlen(source) + 1 : static_cast<std::size_t>(length);
  if (size == 0) return static_cast<int32_t>(count);
  if (destination == nullptr || count > static_cast<std::size_t>(size)) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(source);
  for (std::size_t i = 0; i < count; ++i) destination[i] = ByteToWide(bytes[i]);
  return static_cast<int32_t>(count);
}

int32_t WideToAnsi(const WChar* source, int32_t length, char* destination, int32_t size) {
  if (source == nullptr || length == 0 || size < 0) return 0;
  const std::size_t count = length < 0 ? WideLength(source) + 1 : static_cast<std::size_t>(length);
  // No unit makes more than one byte: with room for one byte per unit the count is not needed.
  if (size == 0 || static_cast<std::size_t>(size) < count) {
    // A surrogate pair is one character and becomes one '?'.
    std::size_t needed = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (IsHighSurrogate(static_cast<char16_t>(source[i])) && i + 1 < count &&
          IsLowSurrogate(static_cast<char16_t>(source[i + 1]))) {
        ++i;
      }
      ++needed;
    }
    if (size == 0) return static_cast<int32_t>(needed);
    if (needed > static_cast<std::size_t>(size)) return 0;
  }
  if (destination == nullptr) return 0;
  std::size_t out = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto unit = static_cast<char16_t>(source[i]);
    if (IsHighSurrogate(unit) && i + 1 < count &&
        IsLowSurrogate(static_cast<char16_t>(source[i + 1]))) {
      ++i;
      destination[out++] = '?';
      continue;
    }
    destination[out++] = WideToByte(unit);
  }
  return static_cast<int32_t>(out);
}

}  // namespace kestrel::platform
