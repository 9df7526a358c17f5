// The one place that knows which operating system runs. Everything above it is portable C++17.
// Linux implementation: platform/posix/, Windows implementation: platform/win32/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
    const auto c = static_cast<uint32_t>(unit);
    if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (c & 0x3F));
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

// Creates the component; answers >= 0 and a non-null *component on success.
int32_t CreateHttpComponent(HttpComponent** component);

using HttpComponentFactory = int32_t (*)(HttpComponent** component);
// Tests install a fake component factory; null restores the real one.
void SetHttpComponentFactoryForTesting(HttpComponentFactory factory);

// ---------------------------------------------------------------- XML DOM
// The platform's XML DOM as the reader uses it: MSXML's DOMDocument on Windows, libxml2 on Linux,
// with MSXML's default behaviour (white-space-only text between elements is no text node; no DTD,
// no network, no entity expansion beyond the predefined ones). Calls answer an HRESULT-like value:
// 0 success, 1 (S_FALSE) success with nothing to give (no child, no sibling, no attributes),
// negative failure. Texts come back as COM strings (AllocWideString) that the caller frees.

// The kinds of node that the reader tells apart: kind string "element", "text", or any other.
enum class XmlNodeKind : int32_t { kElement, kText, kOther };

// A whole document's nodes as a reader that copies them needs them, for a DOM that can hand them
// out faster than node by node: in the order of the node-by-node walk (a node, its descendants,
// then its following siblings), each with its depth below the first node, texts already in the
// ANSI code page as CMvnString::AssignWide would make them from ReadNodeName and ReadText.
class XmlTreeReader {
 public:
  virtual void Element(uint32_t depth, const char* name, std::size_t length) = 0;
  // One attribute of the element given last, in the attribute map's order.
  virtual void Attribute(const char* name, std::size_t name_length, const char* value,
                         std::size_t value_length) = 0;
  virtual void Text(uint32_t depth, const char* text, std::size_t length) = 0;
  // Any other kind of node (comment, CDATA section, processing instruction...).
  virtual void Other(uint32_t depth) = 0;

 protected:
  ~XmlTreeReader() = default;
};

// ReadTree's answer from a DOM that can only be walked node by node.
constexpr int32_t kXmlTreeNotOffered = static_cast<int32_t>(0x80004001u);  // E_NOTIMPL

class XmlDomNode {
 public:
  virtual int32_t GetFirstChild(XmlDomNode** child) = 0;
  virtual int32_t GetNextSibling(XmlDomNode** sibling) = 0;
  // The DOM's kind string: "element", "text", "comment", "cdatasection", "processinginstruction"...
  virtual int32_t GetNodeTypeString(WChar** kind) = 0;
  // The same distinction where it matters, without a COM string (the DOM's node type).
  virtual int32_t GetNodeKind(XmlNodeKind* kind) = 0;
  virtual int32_t GetNodeName(WChar** name) = 0;
  virtual int32_t GetText(WChar** text) = 0;
  // GetNodeName and GetText into a string that the caller keeps, for a walk that reads many nodes
  // without a COM string for each; a failed call leaves it empty. By default through the COM
  // string.
  virtual int32_t ReadNodeName(std::basic_string<WChar>& name) {
    return ReadThroughComString(&XmlDomNode::GetNodeName, name);
  }
  virtual int32_t ReadText(std::basic_string<WChar>& text) {
    return ReadThroughComString(&XmlDomNode::GetText, text);
  }
  // The element's attribute map: its length, and each item as a node (name and text).
  virtual int32_t GetAttributeCount(int32_t* count) = 0;
  virtual int32_t GetAttribute(int32_t index, XmlDomNode** attribute) = 0;
  virtual void Release() = 0;
  // This node, its descendants and its following siblings into reader, or kXmlTreeNotOffered
  // (and nothing read) from a DOM that cannot.
  virtual int32_t ReadTree(XmlTreeReader& /*reader*/) { return kXmlTreeNotOffered; }

 protected:
  ~XmlDomNode() = default;

  int32_t ReadThroughComString(int32_t (XmlDomNode::*getter)(WChar**),
                               std::basic_string<WChar>& out) {
    WChar* text = nullptr;
    const int32_t result = (this->*getter)(&text);
    out.clear();
    if (result >= 0 && text != nullptr) out.assign(text, WideLength(text));
    if (result >= 0) FreeWideString(text);
    return result;
  }
};

class XmlDomDocument {
 public:
  virtual int32_t SetAsync(bool async) = 0;
  // Parses text; *well_formed says whether it was accepted.
  virtual int32_t LoadXml(const WChar* text, bool* well_formed) = 0;
  // The same from text in the ANSI code page; by default through UTF-16, as the COM DOM takes it.
  virtual int32_t LoadAnsiXml(const char* text, bool* well_formed) {
    if (text == nullptr) return LoadXml(nullptr, well_formed);
    const int32_t units = AnsiToWide(text, -1, nullptr, 0);
    std::vector<WChar> wide(static_cast<std::size_t>(units > 0 ? units : 1), WChar(0));
    AnsiToWide(text, -1, wide.data(), static_cast<int32_t>(wide.size()));
    return LoadXml(wide.data(), well_formed);
  }
  virtual int32_t GetDocumentElement(XmlDomNode** root) = 0;
  virtual void Release() = 0;

 protected:
  ~XmlDomDocument() = default;
};

// Creates an empty DOM document (CoCreateInstance of DOMDocument on Windows).
int32_t CreateXmlDomDocument(XmlDomDocument** document);

}  // namespace kestrel::platform
