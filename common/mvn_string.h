// The text type of the whole system: a heap string of single bytes in the ANSI code page, never
// null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

#if defined(__GNUC__)
#define KESTREL_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define KESTREL_PRINTF(format_index, first_arg)
#endif

class CMvnString {
 public:
  // Construction and destruction are inline: a parsed document makes and drops strings by the
  // thousand, most of them empty or short.
  CMvnString() : text_(local_), length_(0), capacity_(kLocalCapacity), format_scratch_(nullptr) {
    local_[0] = '\0';
  }
  // Texts convert freely.
  CMvnString(const char* text) : CMvnString() {  // NOLINT(google-explicit-constructor)
    if (text == nullptr) return;
    const std::size_t length = std::strlen(text);
    if (length > kLocalCapacity) {
      Assign(text, length);
      return;
    }
    // Class names and most texts fit the object itself.
    std::memcpy(local_, text, length + 1);
    length_ = length;
  }
  CMvnString(const CMvnString& other);
  CMvnString(CMvnString&& other) noexcept;
  CMvnString& operator=(const CMvnString& other) { return Assign(other); }
  CMvnString& operator=(CMvnString&& other) noexcept;
  virtual ~CMvnString() {
    if (text_ != local_) std::free(text_);
    if (format_scratch_ != nullptr) std::free(format_scratch_);
  }

  const char* Text() const { return text_; }
  // Bytes before the terminator.
  std::size_t Length() const { return length_; }
  bool IsEmpty() const { return length_ == 0; }

  CMvnString& Assign(const char* text);
  CMvnString& Assign(const CMvnString& other);
  CMvnString& Assign(const char* text, std::size_t length);
  CMvnString& AssignWide(const kestrel::platform::WChar* text);
  // The same from UTF-8, as its UTF-16 form would convert; a byte that starts no valid sequence is
  // one character the code page lacks.
  CMvnString& AssignUtf8(const char* text);
  CMvnString& Append(const char* text);
  // Appends are inline while the text fits the spare room (documents are built from many short
  // pieces); growing and appending a part of this string itself take the out-of-line path.
  CMvnString& Append(const CMvnString& other) {
    return this != &other ? Append(other.text_, other.length_) : AppendOwnText();
  }
  CMvnString& Append(const char* text, std::size_t length) {
    if (length == 0) return *this;
    if (length <= capacity_ - length_ && (text < text_ || text > text_ + capacity_)) {
      CopyBytes(text_ + length_, text, length);
      length_ += length;
      text_[length_] = '\0';
      return *this;
    }
    return AppendSlow(text, length);
  }
  CMvnString& AppendChar(char byte) {
    if (byte != '\0' && length_ < capacity_) {
      text_[length_++] = byte;
      text_[length_] = '\0';
      return *this;
    }
    return AppendCharSlow(byte);
  }
  // Appends count copies of byte.
  CMvnString& AppendRepeated(char byte, std::size_t count) {
    if (byte != '\0' && count <= capacity_ - length_) {
      // Indentation: a few bytes at a time.
      for (std::size_t k = 0; k < count; ++k) text_[length_ + k] = byte;
      length_ += count;
      text_[length_] = '\0';
      return *this;
    }
    return AppendRepeatedSlow(byte, count);
  }
  // Makes the text n bytes longer and answers where those bytes go; the caller writes all of them,
  // none of them NUL. For building a line in one piece.
  char* Extend(std::size_t n) {
    if (n > capacity_ - length_) Reserve(length_ + n);
    char* room = text_ + length_;
    length_ += n;
    text_[length_] = '\0';
    return room;
  }
  // Appends length bytes of text escaped as XmlEscape does it; text may not be part of this string.
  CMvnString& AppendXmlEscaped(const char* text, std::size_t length);

  // At most 2046 characters; a longer output is cut there.
  CMvnString& Format(const char* format, ...) KESTREL_PRINTF(2, 3);
  // At most size - 1 characters; a longer output is cut there.
  CMvnString& FormatSized(int32_t size, const char* format, ...) KESTREL_PRINTF(3, 4);

  // Removes leading and trailing space, TAB, CR and LF. length is the current length (at least 1).
  CMvnString& Trim(int32_t length);
  int32_t ContainsNoCase(const char* part) const;
  // Replaces every occurrence of search (letter case ignored) by replacement, left to right.
  CMvnString& ReplaceAll(const char* search, const char* replacement);
  // Escapes markup characters; existing entity and character references pass unchanged.
  CMvnString& XmlEscape();

  // Takes the text out, leaving this string empty (for handing large texts on without a copy).
  void Swap(CMvnString& other) noexcept;
  // Makes room for at least capacity bytes plus the terminator, keeping the text.
  void Reserve(std::size_t capacity);

 private:
  // memcpy for the short pieces documents are made of, without a library call for each: fixed-size
  // copies become plain moves, and two of them that overlap cover any length up to 16.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
// After inlining with a constant length GCC checks the branches that length rules out as well.
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
  static void CopyBytes(char* to, const char* from, std::size_t n) {
    if (n >= 8 && n <= 16) {
      char head[8];
      char tail[8];
      std::memcpy(head, from, 8);
      std::memcpy(tail, from + n - 8, 8);
      std::memcpy(to, head, 8);
      std::memcpy(to + n - 8, tail, 8);
    } else if (n >= 4 && n < 8) {
      char head[4];
      char tail[4];
      std::memcpy(head, from, 4);
      std::memcpy(tail, from + n - 4, 4);
      std::memcpy(to, head, 4);
      std::memcpy(to + n - 4, tail, 4);
    } else if (n > 0 && n < 4) {
      const char first = from[0];
      const char middle = from[n / 2];
      const char last = from[n - 1];
      to[0] = first;
      to[n / 2] = middle;
      to[n - 1] = last;
    } else if (n > 16) {
      std::memcpy(to, from, n);
    }
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

  CMvnString& AppendSlow(const char* text, std::size_t length);
  CMvnString& AppendRepeatedSlow(char byte, std::size_t count);
  CMvnString& AppendCharSlow(char byte);
  CMvnString& AppendOwnText();

  // Short texts (most names and values) live in the object itself, without a heap block.
  static constexpr std::size_t kLocalCapacity = 31;

  char* text_;
  std::size_t length_;
  // Room beyond the length is kept so that building a large document by appends stays linear.
  std::size_t capacity_;
  char* format_scratch_;
  char local_[kLocalCapacity + 1];
};
