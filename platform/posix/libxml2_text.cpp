#include "platform/posix/libxml2_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace kestrel::platform::libxml2 {

void QualifiedName(const char* prefix, const char* name, std::string& out) {
  out.clear();
  if (prefix != nullptr) {
    out = prefix;
    out += ':';
  }
  if (name != nullptr) out += name;
}

void AnsiText::Set(const char* text, std::size_t length) {
  const char* p = text != nullptr ? text : "";
  const char* end = p + (text != nullptr ? length : 0);
  const char* wide = p + AsciiPrefix(p, static_cast<std::size_t>(end - p));
  if (wide == end) {
    data_ = p;
    length_ = static_cast<std::size_t>(end - p);
    return;
  }
  scratch_.assign(p, static_cast<std::size_t>(wide - p));
  for (p = wide; p < end;) {
    const utf8::Decoded d = utf8::Decode(p, static_cast<std::size_t>(end - p));
    p += d.length;
    // A character beyond the BMP is a surrogate pair in UTF-16, and a pair is one '?'.
    char byte = '?';
    if (d.code_point < 0x10000) {
      const auto unit = static_cast<WChar>(d.code_point);
      WideToAnsi(&unit, 1, &byte, 1);
    }
    scratch_ += byte;
  }
  data_ = scratch_.data();
  length_ = scratch_.size();
}

namespace {

struct Predefined {
  const char* name;
  char character;
};
constexpr Predefined kPredefined[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''},
};

// The reference at text (just after its "&", up to its ";") as a character, or -1.
long ReferencedCharacter(const std::string& reference) {
  if (reference.size() > 1 && reference[0] == '#') {
    const bool hex = reference[1] == 'x';
    return std::strtol(reference.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
  }
  for (const Predefined& entry : kPredefined) {
    if (reference == entry.name) return static_cast<unsigned char>(entry.character);
  }
  return -1;
}

}  // namespace

void ReplaceReferences(const char* value, std::size_t length, std::string& out) {
  out.clear();
  std::string reference;
  for (std::size_t i = 0; i < length; ++i) {
    const char* semicolon = value[i] == '&'
                                ? static_cast<const char*>(std::memchr(value + i, ';', length - i))
                                : nullptr;
    if (semicolon == nullptr) {
      out += value[i];
      continue;
    }
    reference.assign(value + i + 1, semicolon);
    const long c = ReferencedCharacter(reference);
    if (c <= 0) {
      out += value[i];
      continue;
    }
    utf8::Append(static_cast<char32_t>(c), out);
    i = static_cast<std::size_t>(semicolon - value);
  }
}

}  // namespace kestrel::platform::libxml2
