// The one place that knows which operating system runs. Everything above it is portable C++17.
// Linux implementation: platform/posix/, Windows implementation: platform/win32/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/utf8.h"

// windows.h maps these two names to the kernel's ANSI profile functions; where it was included
// first, the seam's own functions are meant.
#if defined(_WIN32)
#undef WriteProfileSection
#undef WriteProfileString
#endif

namespace kestrel::platform {

// A UTF-16 code unit as COM strings carry it.
#if defined(_WIN32)
using WChar = wchar_t;
#else
using WChar = char16_t;
#endif

// ---------------------------------------------------------------- per-object lock

class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Enter();
  void Leave();

 private:
  void* impl_;
};

class LockGuard {
 public:
  explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Enter(); }
  ~LockGuard() { lock_.Leave(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

// ---------------------------------------------------------------- profile (INI) files
// Semantics of the Windows private-profile functions, as far as the trace log ring needs them.

// Copies the lines of [section] into buffer as a double-NUL-terminated list. Answers the number of
// bytes copied, not counting the final NUL; a list that does not fit is cut (answer size - 2).
uint32_t ReadProfileSection(const char* section, char* buffer, uint32_t size, const char* file);
// Replaces the whole content of [section] by the lines of the double-NUL-terminated list;
// a null list deletes the section. Answers non-zero on success.
int32_t WriteProfileSection(const char* section, const char* lines, const char* file);
// The key's value read as an unsigned decimal number, or fallback when the key is absent.
uint32_t ReadProfileUInt(const char* section, const char* key, uint32_t fallback, const char* file);
// Sets key=value in [section], creating the file and section when needed. Non-zero on success.
int32_t WriteProfileString(const char* section, const char* key, const char* value,
                           const char* file);

// ---------------------------------------------------------------- files

// 1 when the path names an entry that is not a directory, else 0.
int32_t FileExistsNotDirectory(const char* path);

// Opens a file as the C runtime's text mode does on Windows: every LF written reaches the disk as
// CR LF. mode is "wt" or "at" (and their "w"/"a" forms). Close with std::fclose.
std::FILE* OpenTextFile(const char* path, const char* mode);
// Opens path as OpenTextFile does, writes size bytes of data in text mode and closes it, without a
// stream: for a line or a whole text that is written at once. -1 when the file cannot be opened,
// else 0 (as with a stream, a failed write is not told apart).
int32_t WriteTextAtOnce(const char* path, const char* mode, const char* data, std::size_t size);

// Full path of the running executable (at most size - 1 bytes, NUL-terminated). Answers its length.
uint32_t ExecutableFileName(char* buffer, uint32_t size);

// Where Assert appends its line.
const char* AssertionLogPath();

// ---------------------------------------------------------------- time

// Milliseconds since an arbitrary start; wraps at 2^32 as the Windows tick count does.
uint32_t TickCount();
void SleepMs(uint32_t milliseconds);

// Tests replace the clock and the sleep; null restores the real ones.
using TickFunction = uint32_t (*)();
using SleepFunction = void (*)(uint32_t);
void SetClockForTesting(TickFunction tick, SleepFunction sleep);

// ---------------------------------------------------------------- ANSI code page <-> UTF-16
// The system's ANSI code page: Windows' own; Linux has none and answers 1252, the code page the
// module uses there. Text is converted through the codec of common/, which calls on the system's
// conversions below only for a code page other than 1252.
uint32_t AnsiCodePage();

// The system's conversions (on Linux: Windows-1252 with the best fit Windows writes). Same
// contracts as MultiByteToWideChar / WideCharToMultiByte without flags: length -1 means "up to and
// including the NUL"; a destination size of 0 asks for the size needed; the answer is the number of
// units written (0 on failure, including a destination that is too small).

int32_t AnsiToWide(const char* source, int32_t length, WChar* destination, int32_t size);
int32_t WideToAnsi(const WChar* source, int32_t length, char* destination, int32_t size);

// Number of code units before the terminator.
std::size_t WideLength(const WChar* text);

// How many of the first length bytes are ASCII before the first that is not: text that is ASCII
// throughout is the same bytes in UTF-8, in UTF-16's low bytes and in every ANSI code page, and
// needs no conversion. Eight bytes at a time, since nearly all text is.
inline std::size_t AsciiPrefix(const char* bytes, std::size_t length) {
  std::size_t i = 0;
  for (; length - i >= 8; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + i, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) break;
  }
  while (i < length && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

// Appends length bytes of ANSI code page text to out as UTF-8.
inline void AppendAnsiAsUtf8(const char* text, std::size_t length, std::string& out) {
  for (std::size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      out += text[i];
      continue;
    }
    WChar unit = 0;
    AnsiToWide(&text[i], 1, &unit, 1);
    utf8::AppendUnitAlone(static_cast<char16_t>(unit), out);
  }
}

// COM strings (BSTR on Windows): allocated by the callee, freed by the receiver.
WChar* AllocWideString(const WChar* text, std::size_t length);
void FreeWideString(WChar* text);

// ---------------------------------------------------------------- COM apartment
// Answers an HRESULT-like value: >= 0 success. On Linux there is nothing to set up.

int32_t ComInitialize();               // apartment-threaded, as CoInitialize(nullptr)
int32_t ComInitializeMultithreaded();  // as CoInitializeEx(nullptr, COINIT_MULTITHREADED)
void ComUninitialize();

// ---------------------------------------------------------------- network component
// The maker's HTTP component as the provider uses it. Texts cross as UTF-16.

class HttpComponent {
 public:
  virtual void SetLogFile(const WChar* path) = 0;
  virtual void SetUserName(const WChar* name) = 0;
  virtual void SetPassword(const WChar* password) = 0;
  // One GET. *body receives a string from AllocWideString (or null); the caller frees it.
  virtual void Get(const WChar* url, WChar** body) = 0;
  // The same GET with the body that Get would give in UTF-8 rather than UTF-16; answers false,
  // having done nothing, from a component that only offers Get.
  virtual bool GetUtf8(const WChar* /*url*/, std::string& /*body*/) { return false; }
  // 0 exactly when the last Get received a response, else a code of the error-message table.
  virtual int32_t LastError() = 0;
  virtual int32_t ResponseCode() = 0;
  // Drops the caller's reference.
  virtual void Release() = 0;

 protected:
  ~HttpComponent() = default;
};

// Created by netcomp/component_factory.h, above the seam.

// ---------------------------------------------------------------- XML document
// A parsed document as the reader walks it: the nodes below the document element, in document
// order (a node, its descendants, then its following siblings), as MSXML's DOMDocument shows them
// with its default properties: white-space-only text between elements is no node, a text is
// trimmed of space, TAB, CR and LF, adjacent character data is one text, entity and character
// references are replaced, namespace declarations are attributes (listed first). Names, texts and
// attribute values are in the ANSI code page, as WideToAnsi makes them from the DOM's UTF-16, each
// followed by a NUL in one store.
class XmlNodeTable {
 public:
  struct Node {
    enum Kind : uint8_t { kElement, kText, kOther };
    Kind kind;
    // 0 for the document element's children.
    uint32_t depth;
    // An element's name or a text's text, in the store; nothing for other kinds.
    uint32_t offset;
    uint32_t length;
    // An element's attributes, in the attribute map's order.
    uint32_t first_attribute;
    uint32_t attribute_count;
  };
  struct Attribute {
    uint32_t name;
    uint32_t name_length;
    uint32_t value;
    uint32_t value_length;
  };

  const std::vector<Node>& Nodes() const { return nodes_; }
  const Attribute& AttributeAt(uint32_t index) const { return attributes_[index]; }
  // The NUL-terminated text at a node's or attribute's offset.
  const char* Text(uint32_t offset) const { return store_.data() + offset; }

  void Clear() {
    nodes_.clear();
    attributes_.clear();
    store_.clear();
  }
  void AddElement(uint32_t depth, const char* name, std::size_t length) {
    const uint32_t offset = Store(name, length);
    nodes_.push_back(Node{Node::kElement, depth, offset, static_cast<uint32_t>(length),
                          static_cast<uint32_t>(attributes_.size()), 0});
  }
  // An attribute of the element added last.
  void AddAttribute(const char* name, std::size_t name_length, const char* value,
                    std::size_t value_length) {
    if (nodes_.empty() || nodes_.back().kind != Node::kElement) return;
    const uint32_t name_offset = Store(name, name_length);
    const uint32_t value_offset = Store(value, value_length);
    attributes_.push_back(Attribute{name_offset, static_cast<uint32_t>(name_length), value_offset,
                                    static_cast<uint32_t>(value_length)});
    ++nodes_.back().attribute_count;
  }
  void AddText(uint32_t depth, const char* text, std::size_t length) {
    const uint32_t offset = Store(text, length);
    nodes_.push_back(Node{Node::kText, depth, offset, static_cast<uint32_t>(length), 0, 0});
  }
  // Any other kind of node (comment, CDATA section, processing instruction...).
  void AddOther(uint32_t depth) { nodes_.push_back(Node{Node::kOther, depth, 0, 0, 0, 0}); }

  // Room for a document of about `bytes` bytes at once, rather than a regrowth at every power of
  // two.
  void Reserve(std::size_t bytes) {
    store_.reserve(bytes);
    nodes_.reserve(bytes / 16 + 16);
  }
  // What the three buffers take, and giving it back: whoever keeps the table between documents
  // keeps what a usual one needs, not what the largest one took.
  std::size_t Bytes() const {
    return nodes_.capacity() * sizeof(Node) + attributes_.capacity() * sizeof(Attribute) +
           store_.capacity();
  }
  void Release() {
    std::vector<Node>().swap(nodes_);
    std::vector<Attribute>().swap(attributes_);
    std::vector<char>().swap(store_);
  }
  // The three buffers, for whoever keeps them between documents.
  template <typename Visit>
  void ForEachBuffer(Visit visit) {
    visit(static_cast<void*>(nodes_.data()), nodes_.capacity() * sizeof(Node));
    visit(static_cast<void*>(attributes_.data()), attributes_.capacity() * sizeof(Attribute));
    visit(static_cast<void*>(store_.data()), store_.capacity());
  }

 private:
  uint32_t Store(const char* text, std::size_t length) {
    const auto offset = static_cast<uint32_t>(store_.size());
    store_.insert(store_.end(), text, text + length);
    store_.push_back('\0');
    return offset;
  }

  std::vector<Node> nodes_;
  std::vector<Attribute> attributes_;
  std::vector<char> store_;
};

// The platform's XML parser: MSXML's DOMDocument on Windows (walked node by node into the table),
// libxml2 on Linux (one SAX pass into the table). No DTD, no network, no entities beyond the
// predefined ones.
class XmlDomDocument {
 public:
  // Parses text (ANSI code page, NUL-terminated) and fills table with its nodes. Answers 0 when
  // the text is well-formed and has a document element, 1 (S_FALSE) when it is refused (the
  // table's content is then of no use), negative when the parser itself failed.
  virtual int32_t ReadXmlDocument(const char* text, XmlNodeTable& table) = 0;
  virtual void Release() = 0;

 protected:
  ~XmlDomDocument() = default;
};

// Creates the parser for synchronous loads (CoCreateInstance of DOMDocument on Windows).
int32_t CreateXmlDomDocument(XmlDomDocument** document);

}  // namespace kestrel::platform
