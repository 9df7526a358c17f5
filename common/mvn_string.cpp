#include "common/mvn_string.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "common/text_codec.h"

namespace {

constexpr std::size_t kFormatScratchSize = 2048;
// The formatter is told one byte less than the scratch holds: at most 2046 characters survive.
constexpr std::size_t kFormatLimit = kFormatScratchSize - 1;

inline char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline bool IsTrimSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Case-insensitive (ASCII) comparison of the m bytes at text with the upper-cased pattern.
inline bool MatchesUpper(const char* text, const char* upper_pattern, std::size_t m) {
  for (std::size_t k = 0; k < m; ++k) {
    if (UpperAscii(text[k]) != upper_pattern[k]) return false;
  }
  return true;
}

// Position of the first case-insensitive occurrence of upper_pattern (length m >= 1) in text[from,
// n), or n when there is none.
std::size_t FindNoCase(const char* text, std::size_t n, std::size_t from, const char* upper_pattern,
                       std::size_t m) {
  if (m > n) return n;
  const char first_upper = upper_pattern[0];
  const char first_lower = LowerAscii(first_upper);
  const std::size_t last = n - m;
  if (first_upper == first_lower) {
    // A first byte without letter case (line ends, brackets): let memchr find the candidates.
    for (std::size_t i = from; i <= last; ++i) {
      const void* hit = std::memchr(text + i, first_upper, last - i + 1);
      if (hit == nullptr) return n;
      i = static_cast<std::size_t>(static_cast<const char*>(hit) - text);
      if (MatchesUpper(text + i + 1, upper_pattern + 1, m - 1)) return i;
    }
    return n;
  }
  for (std::size_t i = from; i <= last; ++i) {
    const char c = text[i];
    if ((c == first_upper || c == first_lower) &&
        MatchesUpper(text + i + 1, upper_pattern + 1, m - 1)) {
      return i;
    }
  }
  return n;
}

// "&" followed by one of these is an existing reference and passes XmlEscape unchanged.
constexpr const char* kKnownReferences[] = {"&LT;", "&#", "&GT;", "&AMP;", "&QUOT;", "&APOS;"};

bool StartsWithKnownReference(const char* text, std::size_t available) {
  for (const char* reference : kKnownReferences) {
    const std::size_t m = std::strlen(reference);
    if (m <= available && MatchesUpper(text, reference, m)) return true;
  }
  return false;
}

// The bytes XmlEscape may change.
struct MarkupBytes {
  bool is_markup[256] = {};
  constexpr MarkupBytes() {
    for (const char* c = "<>\"'&"; *c != '\0'; ++c)
      is_markup[static_cast<unsigned char>(*c)] = true;
  }
};
constexpr MarkupBytes kMarkup;

const char* XmlReplacement(char c) {
  switch (c) {
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&apos;";
    default:
      return nullptr;
  }
}

}  // namespace

CMvnString::CMvnString(const CMvnString& other) : CMvnString() {
  Assign(other.text_, other.length_);
}

CMvnString::CMvnString(CMvnString&& other) noexcept : CMvnString() {
  Swap(other);
}

CMvnString& CMvnString::operator=(CMvnString&& other) noexcept {
  if (this != &other) Swap(other);
  return *this;
}

void CMvnString::Swap(CMvnString& other) noexcept {
  if (this == &other) return;
  const bool mine_local = text_ == local_;
  const bool theirs_local = other.text_ == other.local_;
  char kept[kLocalCapacity + 1];
  // Whole local buffers: a fixed-size copy is a few moves, a sized one a library call.
  if (mine_local) std::memcpy(kept, local_, sizeof local_);
  char* const mine_heap = text_;
  if (theirs_local) {
    std::memcpy(local_, other.local_, sizeof local_);
    text_ = local_;
  } else {
    text_ = other.text_;
  }
  if (mine_local) {
    std::memcpy(other.local_, kept, sizeof local_);
    other.text_ = other.local_;
  } else {
    other.text_ = mine_heap;
  }
  std::swap(length_, other.length_);
  std::swap(capacity_, other.capacity_);
}

void CMvnString::Reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  std::size_t grown = capacity_ + capacity_ / 2;
  if (grown < capacity) grown = capacity;
  const bool local = text_ == local_;
  char* block = static_cast<char*>(local ? std::malloc(grown + 1) : std::realloc(text_, grown + 1));
  if (block == nullptr) throw std::bad_alloc();
  if (local) std::memcpy(block, local_, length_ + 1);
  text_ = block;
  capacity_ = grown;
}

CMvnString& CMvnString::Assign(const char* text) {
  if (text == nullptr) return Assign("", 0);
  return Assign(text, std::strlen(text));
}

CMvnString& CMvnString::Assign(const CMvnString& other) {
  if (this == &other) return *this;
  return Assign(other.text_, other.length_);
}

CMvnString& CMvnString::Assign(const char* text, std::size_t length) {
  if (text >= text_ && text <= text_ + length_) {
    // Assigning a part of our own text.
    std::memmove(text_, text, length);
  } else {
    Reserve(length);
    CopyBytes(text_, text, length);
  }
  length_ = length;
  text_[length_] = '\0';
  return *this;
}

CMvnString& CMvnString::AssignWide(const kestrel::platform::WChar* text) {
  if (text == nullptr) return Assign("", 0);
  const std::size_t n = kestrel::platform::WideLength(text);
  if (n == 0) return Assign("", 0);
  CMvnString converted;
  converted.Reserve(2 * n + 1);
  const int32_t written = kestrel::text::WideToAnsi(text, static_cast<int32_t>(n), converted.text_,
                                                    static_cast<int32_t>(2 * n + 1));
  converted.length_ = written > 0 ? static_cast<std::size_t>(written) : 0;
  converted.text_[converted.length_] = '\0';
  // A byte 0 cannot be part of the text: the terminator decides.
  converted.length_ = std::strlen(converted.text_);
  Swap(converted);
  return *this;
}

CMvnString& CMvnString::AssignUtf8(const char* text) {
  if (text == nullptr) return Assign("", 0);
  const std::size_t n = std::strlen(text);
  if (kestrel::platform::AsciiPrefix(text, n) == n) return Assign(text, n);
  std::string converted;
  kestrel::text::Utf8ToAnsi(text, n, converted);
  return Assign(converted.c_str());
}

CMvnString& CMvnString::Append(const char* text) {
  if (text == nullptr) return *this;
  return Append(text, std::strlen(text));
}

CMvnString& CMvnString::AppendOwnText() {
  CMvnString copy(*this);
  return Append(copy.text_, copy.length_);
}

CMvnString& CMvnString::AppendSlow(const char* text, std::size_t length) {
  if (length == 0) return *this;
  if (text >= text_ && text < text_ + capacity_ + 1) {
    CMvnString copy;
    copy.Assign(text, length);
    return Append(copy.text_, copy.length_);
  }
  Reserve(length_ + length);
  std::memcpy(text_ + length_, text, length);
  length_ += length;
  text_[length_] = '\0';
  return *this;
}

CMvnString& CMvnString::AppendCharSlow(char byte) {
  if (byte == '\0') return *this;
  Reserve(length_ + 1);
  text_[length_++] = byte;
  text_[length_] = '\0';
  return *this;
}

CMvnString& CMvnString::AppendRepeatedSlow(char byte, std::size_t count) {
  if (byte == '\0' || count == 0) return *this;
  Reserve(length_ + count);
  std::memset(text_ + length_, byte, count);
  length_ += count;
  text_[length_] = '\0';
  return *this;
}

CMvnString& CMvnString::Format(const char* format, ...) {
  if (format_scratch_ == nullptr) {
    format_scratch_ = static_cast<char*>(std::malloc(kFormatScratchSize));
    if (format_scratch_ == nullptr) return Assign("", 0);
  }
  va_list args;
  va_start(args, format);
  const int produced = std::vsnprintf(format_scratch_, kFormatLimit, format, args);
  va_end(args);
  if (produced < 0) format_scratch_[0] = '\0';
  return Assign(format_scratch_);
}

CMvnString& CMvnString::FormatSized(int32_t size, const char* format, ...) {
  if (size < 1) return Assign("", 0);
  char* buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1));
  if (buffer == nullptr) return Assign("", 0);
  va_list args;
  va_start(args, format);
  const int produced = std::vsnprintf(buffer, static_cast<std::size_t>(size), format, args);
  va_end(args);
  if (produced < 0) buffer[0] = '\0';
  Assign(buffer);
  std::free(buffer);
  return *this;
}

CMvnString& CMvnString::Trim(int32_t length) {
  if (length < 1 || length_ == 0) return *this;
  std::size_t end = static_cast<std::size_t>(length);
  if (end > length_) end = length_;
  if (!IsTrimSpace(text_[0]) && !IsTrimSpace(text_[end - 1])) return *this;
  std::size_t begin = 0;
  while (begin < length_ && IsTrimSpace(text_[begin])) ++begin;
  std::size_t stop = length_;
  while (stop > begin && IsTrimSpace(text_[stop - 1])) --stop;
  return Assign(text_ + begin, stop - begin);
}

int32_t CMvnString::ContainsNoCase(const char* part) const {
  if (part == nullptr || *part == '\0') return 0;
  const std::size_t m = std::strlen(part);
  CMvnString upper(part);
  for (std::size_t k = 0; k < m; ++k) upper.text_[k] = UpperAscii(upper.text_[k]);
  return FindNoCase(text_, length_, 0, upper.text_, m) < length_ ? 1 : 0;
}

CMvnString& CMvnString::ReplaceAll(const char* search, const char* replacement) {
  if (search == nullptr || *search == '\0') return *this;
  if (replacement == nullptr) replacement = "";
  const std::size_t m = std::strlen(search);
  CMvnString upper(search);
  for (std::size_t k = 0; k < m; ++k) upper.text_[k] = UpperAscii(upper.text_[k]);

  std::size_t hit = FindNoCase(text_, length_, 0, upper.text_, m);
  if (hit == length_) return *this;

  // One pass over the text: each occurrence costs its own length, never a copy of the remainder.
  const std::size_t r = std::strlen(replacement);
  CMvnString result;
  result.Reserve(r > m ? length_ + (length_ / m) * (r - m) / 4 + 16 : length_);
  std::size_t from = 0;
  while (hit < length_) {
    result.Append(text_ + from, hit - from);
    result.Append(replacement, r);
    from = hit + m;
    hit = FindNoCase(text_, length_, from, upper.text_, m);
  }
  result.Append(text_ + from, length_ - from);
  Swap(result);
  return *this;
}

CMvnString& CMvnString::XmlEscape() {
  std::size_t first = 0;
  for (; first < length_; ++first) {
    const char c = text_[first];
    if (XmlReplacement(c) != nullptr) break;
    if (c == '&' && !StartsWithKnownReference(text_ + first, length_ - first)) break;
  }
  if (first == length_) return *this;

  CMvnString result;
  result.Reserve(length_ + length_ / 8 + 16);
  result.Append(text_, first);
  result.AppendXmlEscaped(text_ + first, length_ - first);
  Swap(result);
  return *this;
}

CMvnString& CMvnString::AppendXmlEscaped(const char* text, std::size_t length) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < length; ++i) {
    // Most bytes need nothing: one table test each.
    if (!kMarkup.is_markup[static_cast<unsigned char>(text[i])]) continue;
    const char c = text[i];
    const char* replacement = XmlReplacement(c);
    if (replacement == nullptr && c == '&' && !StartsWithKnownReference(text + i, length - i)) {
      replacement = "&amp;";
    }
    if (replacement != nullptr) {
      Append(text + run, i - run);
      Append(replacement);
      run = i + 1;
    }
  }
  return Append(text + run, length - run);
}
