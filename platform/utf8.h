// UTF-8, one code point at a time: the rules of the module's text codec (common/text_codec.h),
// here in the lowest layer so that the seam, which meets UTF-8 in libxml2, decodes and encodes
// with the same rules as everything above it.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel::platform::utf8 {

constexpr char32_t kReplacement = 0xFFFD;

inline bool IsSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}

// The code point that starts bytes (length >= 1) and how many bytes it takes. Strict: no overlong
// form, no encoded surrogate, nothing above U+10FFFF, no cut sequence; an invalid start is
// kReplacement taking one byte.
struct Decoded {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

inline Decoded Decode(const char* bytes, std::size_t length) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char lead = s[0];
  if (lead < 0x80) return {lead, 1, true};
  std::size_t extra = 0;
  char32_t c = 0;
  char32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, c = lead & 0x1Fu, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, c = lead & 0x0Fu, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, c = lead & 0x07u, min = 0x10000;
  }
  const Decoded invalid{kReplacement, 1, false};
  if (extra == 0 || length <= extra) return invalid;
  for (std::size_t k = 1; k <= extra; ++k) {
    if ((s[k] & 0xC0) != 0x80) return invalid;
    c = (c << 6) | (s[k] & 0x3Fu);
  }
  if (c < min || c > 0x10FFFF || IsSurrogate(c)) return invalid;
  return {c, extra + 1, true};
}

// The bytes of code point c; one of no character (a surrogate, or beyond U+10FFFF) is
// kReplacement, so the output is always valid UTF-8.
inline void Append(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
    return;
  }
  if (IsSurrogate(c) || c > 0x10FFFF) c = kReplacement;
  char bytes[4];
  std::size_t n = 0;
  if (c < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | (c >> 6));
  } else if (c < 0x10000) {
    bytes[n++] = static_cast<char>(0xE0 | (c >> 12));
    bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  } else {
    bytes[n++] = static_cast<char>(0xF0 | (c >> 18));
    bytes[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  }
  bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
  out.append(bytes, n);
}

// One UTF-16 unit encoded alone, a surrogate half too: the form hosts have always read the
// documents in (only an ANSI code page other than 1252 gives a surrogate).
inline void AppendUnitAlone(char16_t unit, std::string& out) {
  if (unit < 0x80) {
    out += static_cast<char>(unit);
  } else if (unit < 0x800) {
    out += static_cast<char>(0xC0 | (unit >> 6));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  }
}

}  // namespace kestrel::platform::utf8
