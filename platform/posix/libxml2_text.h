// Text as libxml2 hands it out (UTF-8, always valid) turned into what the reader's table holds:
// the ANSI code page, trimmed as MSXML trims, names qualified as MSXML names them.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel::platform::libxml2 {

inline bool IsXmlSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Leading and trailing white space goes, as MSXML trims text when white space is not preserved.
inline void TrimXmlSpace(const char*& begin, const char*& end) {
  while (begin < end && IsXmlSpace(static_cast<unsigned char>(*begin))) ++begin;
  while (end > begin && IsXmlSpace(static_cast<unsigned char>(end[-1]))) --end;
}

// prefix:name, or name alone without a prefix, into out.
void QualifiedName(const char* prefix, const char* name, std::string& out);

// UTF-8 in the ANSI code page, as the round through UTF-16 and WideToAnsi gives it: a character
// the code page lacks is one '?', whatever its width. ASCII, nearly all of a device's text, is
// handed on where it lies, without a copy.
class AnsiText {
 public:
  void Set(const char* text, std::size_t length);

  const char* data() const { return data_; }
  std::size_t size() const { return length_; }

 private:
  std::string scratch_;
  const char* data_ = "";
  std::size_t length_ = 0;
};

// An attribute value as the parser hands it to SAX without replacing references (a "&" stays a
// character reference for the tree to resolve), with its character and predefined entity
// references replaced. No other entity can reach here: a document type is refused.
void ReplaceReferences(const char* value, std::size_t length, std::string& out);

}  // namespace kestrel::platform::libxml2
