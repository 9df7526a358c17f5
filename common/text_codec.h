// The module's one text codec: UTF-8, UTF-16 and Windows-1252, both ways, with one rule per edge.
//
// - Windows-1252 to UTF-16: every byte is one unit. The five bytes the code page leaves unassigned
//   (0x81 0x8D 0x8F 0x90 0x9D) are the C1 controls of the same value, as Windows maps them (iconv
//   refuses them), so every byte survives a round trip.
// - UTF-16 to Windows-1252: the code page's byte, else the best-fit byte that Windows' conversion
//   without flags writes ("Łódź" is "Lódz"), else '?'. A character beyond the BMP (a surrogate
//   pair) is one '?', and so is a lone surrogate.
// - UTF-8 in: strict (no overlong form, no encoded surrogate, nothing above U+10FFFF, no cut
//   sequence); each byte that starts no valid sequence is one U+FFFD.
// - UTF-8 out: a surrogate pair is one code point, a lone surrogate U+FFFD, as Windows encodes
//   them (the documents' own form is AnsiToUtf8's).
// - NUL is a character like any other; strings that end at their terminator decide about it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace kestrel::text {

using platform::WChar;
using WideString = std::basic_string<WChar>;

constexpr char32_t kReplacement = platform::utf8::kReplacement;

// ---------------------------------------------------------------- Windows-1252, one character

char16_t Windows1252ToUnit(unsigned char byte);
char UnitToWindows1252(char16_t unit);

// ---------------------------------------------------------------- UTF-8, one code point

// The code point that starts bytes (length >= 1) and how many bytes it takes; an invalid start is
// kReplacement taking one byte.
using Utf8Decoded = platform::utf8::Decoded;
Utf8Decoded DecodeUtf8(const char* bytes, std::size_t length);

bool IsValidUtf8(const char* bytes, std::size_t length);
void AppendUtf8(char32_t code_point, std::string& out);

// ---------------------------------------------------------------- whole texts (appended to out)

void Windows1252ToUtf8(const char* text, std::size_t length, std::string& out);
void Windows1252ToUtf16(const char* text, std::size_t length, WideString& out);
void Utf16ToWindows1252(const WChar* text, std::size_t length, std::string& out);
void Utf16ToUtf8(const WChar* text, std::size_t length, std::string& out);
// Answers whether the bytes were valid UTF-8 throughout.
bool Utf8ToUtf16(const char* text, std::size_t length, WideString& out);
// As through UTF-16: an invalid byte is one '?'.
void Utf8ToWindows1252(const char* text, std::size_t length, std::string& out);

// ---------------------------------------------------------------- the ANSI code page
// The module's 8-bit text. It is Windows-1252 on Linux and on the Windows systems the module is
// run on, and then these are the codec's conversions above, the same bytes on both builds. A
// Windows whose ANSI code page is another keeps the system's conversions of that code page.
// Contracts of MultiByteToWideChar / WideCharToMultiByte without flags: length -1 means "up to and
// including the NUL"; a size of 0 asks for the size needed; the answer is the number of units
// written, 0 on failure (a destination too small included).

int32_t AnsiToWide(const char* source, int32_t length, WChar* destination, int32_t size);
int32_t WideToAnsi(const WChar* source, int32_t length, char* destination, int32_t size);
// As the documents receive it: each UTF-16 unit encoded alone, a surrogate half too (only a code
// page other than 1252 gives one).
void AnsiToUtf8(const char* text, std::size_t length, std::string& out);
void Utf8ToAnsi(const char* text, std::size_t length, std::string& out);

}  // namespace kestrel::text
