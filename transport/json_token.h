// What the JSON state machine reads with: the token being read, the character classes of the
// grammar, and the look-aheads that its fast paths take a whole member head or element start with.
// Internal to transport/.
#pragma once

#include <cstddef>

#include "common/mvn_string.h"

// For the few small steps that every value goes through, which the compiler would otherwise keep as
// calls once the machine's handlers have grown it past its inlining budget.
#if defined(__GNUC__)
#define KESTREL_JSON_INLINE __attribute__((always_inline)) inline
#else
#define KESTREL_JSON_INLINE inline
#endif

namespace kestrel::transport {

// The characters of the value or member name being read. Most are a run of the text itself and
// are never copied; escapes and unicode references move them into a buffer.
class JsonToken {
 public:
  explicit JsonToken(CMvnString& buffer) : buffer_(buffer) {}

  void Clear() {
    begin_ = nullptr;
    length_ = 0;
    buffered_ = false;
  }
  // Bytes of the text, following on from what the token holds.
  KESTREL_JSON_INLINE void AppendText(const char* text, std::size_t length) {
    if (!buffered_) {
      if (length_ == 0) begin_ = text;
      if (begin_ + length_ == text) {
        length_ += length;
        return;
      }
      MoveToBuffer();
    }
    buffer_.Append(text, length);
  }
  // Bytes that are not the text's own (decoded escapes).
  void AppendOther(const char* text, std::size_t length) {
    if (!buffered_) MoveToBuffer();
    buffer_.Append(text, length);
  }
  void AppendOtherChar(char c) {
    if (!buffered_) MoveToBuffer();
    buffer_.AppendChar(c);
  }

  const char* Data() const { return buffered_ ? buffer_.Text() : begin_; }
  std::size_t Size() const { return buffered_ ? buffer_.Length() : length_; }
  bool IsEmpty() const { return Size() == 0; }
  // Whether the token ends with the lower-case word, ASCII letter case ignored.
  bool EndsWithNoCase(const char* word, std::size_t m) const;

 private:
  void MoveToBuffer() {
    buffer_.Assign(begin_ != nullptr ? begin_ : "", length_);
    buffered_ = true;
  }

  CMvnString& buffer_;
  const char* begin_ = nullptr;
  std::size_t length_ = 0;
  bool buffered_ = false;
};

namespace machine {

inline bool IsJsonSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool IsNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
}

inline bool IsLowerHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Whether the m bytes at text spell the lower-case word, ASCII letter case ignored.
inline bool IsWordNoCase(const char* text, const char* word, std::size_t m) {
  for (std::size_t k = 0; k < m; ++k) {
    char c = text[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != word[k]) return false;
  }
  return true;
}

// The first byte from p on that is the quote or a backslash, or end.
inline const char* FindQuoteOrBackslash(const char* p, const char* end, char quote) {
  while (p < end && *p != quote && *p != '\\') ++p;
  return p;
}

// The first byte from p on that cannot be part of a number, or end.
inline const char* FindNumberEnd(const char* p, const char* end) {
  while (p < end && IsNumberChar(*p)) ++p;
  return p;
}

// The head of a member: its name (a run of the text), the quote around it, and where its value
// begins.
struct MemberHead {
  const char* name;
  std::size_t name_length;
  char quote;
  const char* value;
};

// Whether the next member's head follows p in full: space, a quoted name without backslashes,
// space, the colon and space before a value. When it does not, the states take it character by
// character, which also covers a text that ends on the way.
inline bool FindMemberHead(const char* p, const char* end, MemberHead& head) {
  while (p < end && IsJsonSpace(*p)) ++p;
  if (p == end || (*p != '"' && *p != '\'')) return false;
  const char quote = *p;
  const char* name = p + 1;
  const char* name_end = FindQuoteOrBackslash(name, end, quote);
  if (name_end == end || *name_end != quote) return false;
  p = name_end + 1;
  while (p < end && IsJsonSpace(*p)) ++p;
  if (p == end || *p != ':') return false;
  ++p;
  while (p < end && IsJsonSpace(*p)) ++p;
  if (p == end) return false;
  head = {name, static_cast<std::size_t>(name_end - name), quote, p};
  return true;
}

// Where the next element begins when one follows p (after space); null when the text ends first
// or the array closes.
inline const char* FindElementStart(const char* p, const char* end) {
  while (p < end && IsJsonSpace(*p)) ++p;
  return p < end && *p != ']' ? p : nullptr;
}

}  // namespace machine

inline bool JsonToken::EndsWithNoCase(const char* word, std::size_t m) const {
  const std::size_t n = Size();
  return n >= m && machine::IsWordNoCase(Data() + n - m, word, m);
}

}  // namespace kestrel::transport
