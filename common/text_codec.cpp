#include "common/text_codec.h"

#include <cstring>
#include <vector>

#include "platform/utf8.h"
#include "platform/windows1252.h"

namespace kestrel::text {

namespace {

bool IsHighSurrogate(uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

using platform::utf8::AppendUnitAlone;

void AppendUnits(char32_t code_point, WideString& out) {
  if (code_point < 0x10000) {
    out += static_cast<WChar>(code_point);
    return;
  }
  const char32_t offset = code_point - 0x10000;
  out += static_cast<WChar>(0xD800 + (offset >> 10));
  out += static_cast<WChar>(0xDC00 + (offset & 0x3FF));
}

// Writes the bytes of length units to out (when not null) and answers how many there are.
std::size_t ToWindows1252(const WChar* text, std::size_t length, char* out) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const auto unit = static_cast<char16_t>(text[i]);
    if (IsHighSurrogate(unit) && i + 1 < length &&
        IsLowSurrogate(static_cast<char16_t>(text[i + 1]))) {
      ++i;
    }
    if (out != nullptr) out[written] = UnitToWindows1252(unit);
    ++written;
  }
  return written;
}

// The ANSI code page does not change while the process runs.
bool AnsiIsWindows1252() {
  static const bool is_1252 = platform::AnsiCodePage() == 1252;
  return is_1252;
}

}  // namespace

char16_t Windows1252ToUnit(unsigned char byte) {
  return platform::windows1252::ToUnit(byte);
}

char UnitToWindows1252(char16_t unit) {
  return platform::windows1252::FromUnit(unit);
}

Utf8Decoded DecodeUtf8(const char* bytes, std::size_t length) {
  return platform::utf8::Decode(bytes, length);
}

bool IsValidUtf8(const char* bytes, std::size_t length) {
  std::size_t i = platform::AsciiPrefix(bytes, length);
  while (i < length) {
    const Utf8Decoded d = DecodeUtf8(bytes + i, length - i);
    if (!d.valid) return false;
    i += d.length;
  }
  return true;
}

void AppendUtf8(char32_t c, std::string& out) {
  platform::utf8::Append(c, out);
}

void Windows1252ToUtf8(const char* text, std::size_t length, std::string& out) {
  // ASCII, nearly all of a device's text, is the same bytes in both.
  const std::size_t ascii = platform::AsciiPrefix(text, length);
  out.append(text, ascii);
  for (std::size_t i = ascii; i < length; ++i) {
    AppendUtf8(Windows1252ToUnit(static_cast<unsigned char>(text[i])), out);
  }
}

void Windows1252ToUtf16(const char* text, std::size_t length, WideString& out) {
  const std::size_t start = out.size();
  out.resize(start + length);
  for (std::size_t i = 0; i < length; ++i) {
    out[start + i] = static_cast<WChar>(Windows1252ToUnit(static_cast<unsigned char>(text[i])));
  }
}

void Utf16ToWindows1252(const WChar* text, std::size_t length, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + length);
  out.resize(start + ToWindows1252(text, length, &out[start]));
}

void Utf16ToUtf8(const WChar* text, std::size_t length, std::string& out) {
  for (std::size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (IsHighSurrogate(c) && i + 1 < length &&
        IsLowSurrogate(static_cast<char16_t>(text[i + 1]))) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00u);
    }
    AppendUtf8(c, out);
  }
}

bool Utf8ToUtf16(const char* text, std::size_t length, WideString& out) {
  bool valid = true;
  for (std::size_t i = 0; i < length;) {
    const Utf8Decoded d = DecodeUtf8(text + i, length - i);
    valid = valid && d.valid;
    AppendUnits(d.code_point, out);
    i += d.length;
  }
  return valid;
}

void Utf8ToWindows1252(const char* text, std::size_t length, std::string& out) {
  const std::size_t ascii = platform::AsciiPrefix(text, length);
  out.append(text, ascii);
  for (std::size_t i = ascii; i < length;) {
    const Utf8Decoded d = DecodeUtf8(text + i, length - i);
    // A character beyond the BMP is a surrogate pair in UTF-16: one '?'.
    out += d.code_point < 0x10000 ? UnitToWindows1252(static_cast<char16_t>(d.code_point)) : '?';
    i += d.length;
  }
}

int32_t AnsiToWide(const char* source, int32_t length, WChar* destination, int32_t size) {
  if (!AnsiIsWindows1252()) return platform::AnsiToWide(source, length, destination, size);
  if (source == nullptr || length == 0 || size < 0) return 0;
  const std::size_t count = length < 0 ? std::strlen(source) + 1 : static_cast<std::size_t>(length);
  if (count > static_cast<std::size_t>(INT32_MAX)) return 0;
  if (size == 0) return static_cast<int32_t>(count);
  if (destination == nullptr || count > static_cast<std::size_t>(size)) return 0;
  for (std::size_t i = 0; i < count; ++i) {
    destination[i] = static_cast<WChar>(Windows1252ToUnit(static_cast<unsigned char>(source[i])));
  }
  return static_cast<int32_t>(count);
}

int32_t WideToAnsi(const WChar* source, int32_t length, char* destination, int32_t size) {
  if (!AnsiIsWindows1252()) return platform::WideToAnsi(source, length, destination, size);
  if (source == nullptr || length == 0 || size < 0) return 0;
  const std::size_t count =
      length < 0 ? platform::WideLength(source) + 1 : static_cast<std::size_t>(length);
  if (count > static_cast<std::size_t>(INT32_MAX)) return 0;
  // No unit makes more than one byte: with room for one byte per unit the count is not needed.
  if (size == 0 || count > static_cast<std::size_t>(size)) {
    const std::size_t needed = ToWindows1252(source, count, nullptr);
    if (size == 0) return static_cast<int32_t>(needed);
    if (needed > static_cast<std::size_t>(size)) return 0;
  }
  if (destination == nullptr) return 0;
  return static_cast<int32_t>(ToWindows1252(source, count, destination));
}

void AnsiToUtf8(const char* text, std::size_t length, std::string& out) {
  if (AnsiIsWindows1252()) return Windows1252ToUtf8(text, length, out);
  const std::size_t ascii = platform::AsciiPrefix(text, length);
  out.append(text, ascii);
  if (ascii == length || length - ascii > static_cast<std::size_t>(INT32_MAX)) return;
  const auto rest = static_cast<int32_t>(length - ascii);
  std::vector<WChar> wide(static_cast<std::size_t>(rest) * 2);
  const int32_t units =
      platform::AnsiToWide(text + ascii, rest, wide.data(), static_cast<int32_t>(wide.size()));
  // Hosts have always read the documents with each unit encoded alone, a surrogate half too.
  for (int32_t i = 0; i < units; ++i) AppendUnitAlone(static_cast<char16_t>(wide[i]), out);
}

void Utf8ToAnsi(const char* text, std::size_t length, std::string& out) {
  if (AnsiIsWindows1252()) return Utf8ToWindows1252(text, length, out);
  WideString wide;
  Utf8ToUtf16(text, length, wide);
  if (wide.empty() || wide.size() > static_cast<std::size_t>(INT32_MAX) / 2) return;
  const auto units = static_cast<int32_t>(wide.size());
  std::string bytes(wide.size() * 2, '\0');
  const int32_t written =
      platform::WideToAnsi(wide.data(), units, bytes.data(), static_cast<int32_t>(bytes.size()));
  if (written > 0) out.append(bytes.data(), static_cast<std::size_t>(written));
}

}  // namespace kestrel::text
