// Windows-1252 is the "ANSI code page" of the Linux build: one byte per character both ways, with
// the contracts of MultiByteToWideChar / WideCharToMultiByte and the best fit Windows writes.
#include <cstring>

#include "platform/platform.h"
#include "platform/windows1252.h"

namespace kestrel::platform {

namespace {

WChar ByteToWide(unsigned char byte) {
  return static_cast<WChar>(windows1252::ToUnit(byte));
}

char WideToByte(char16_t unit) {
  return windows1252::FromUnit(unit);
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
