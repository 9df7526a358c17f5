#include "common/xml_writer.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/text_codec.h"
#include "platform/platform.h"

namespace {

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

bool IsAscii(const char* text, std::size_t length) {
  return kestrel::platform::AsciiPrefix(text, length) == length;
}

// Bytes that a line cannot take as they are: the ones escaping may change, and every byte that is
// not ASCII (it needs converting).
struct SpecialBytes {
  bool special[256] = {};
  constexpr SpecialBytes() {
    for (const char* c = "<>\"'&"; *c != '\0'; ++c) special[static_cast<unsigned char>(*c)] = true;
    for (int b = 0x80; b < 0x100; ++b) special[b] = true;
  }
};
constexpr SpecialBytes kSpecial;

// Copies length bytes to out and answers the end of the copy.
char* CopyTo(char* out, const char* bytes, std::size_t length) {
  std::memcpy(out, bytes, length);
  return out + length;
}

// The length of text, or SIZE_MAX when it holds a special byte.
std::size_t PlainLength(const char* text) {
  std::size_t length = 0;
  for (; text[length] != '\0'; ++length) {
    if (kSpecial.special[static_cast<unsigned char>(text[length])]) return SIZE_MAX;
  }
  return length;
}

}  // namespace

// ---------------------------------------------------------------- CMvnWebFile

CMvnWebFile::CMvnWebFile(const char* class_name)
    : CMvnBase(class_name), stream_(nullptr), used_(0) {}

CMvnWebFile::~CMvnWebFile() {
  Close();
}

bool CMvnWebFile::Open(const char* path) {
  Close();
  stream_ = kestrel::platform::OpenTextFile(path, "wt");
  // The object buffers; a buffer of the stream's own would be a heap block per file.
  if (stream_ != nullptr) std::setvbuf(stream_, nullptr, _IONBF, 0);
  return stream_ != nullptr;
}

void CMvnWebFile::Close() {
  if (stream_ == nullptr) return;
  Flush();
  std::fclose(stream_);
  stream_ = nullptr;
}

void CMvnWebFile::Put(const char* bytes, std::size_t length) {
  if (length > sizeof buffer_ - used_) {
    Flush();
    if (length > sizeof buffer_) {
      std::fwrite(bytes, 1, length, stream_);
      return;
    }
  }
  std::memcpy(buffer_ + used_, bytes, length);
  used_ += length;
}

void CMvnWebFile::Flush() {
  if (used_ > 0) std::fwrite(buffer_, 1, used_, stream_);
  used_ = 0;
}

void CMvnWebFile::WriteUtf8(const char* text, std::size_t length) {
  if (stream_ == nullptr || text == nullptr || length < 1) return;
  if (length > static_cast<std::size_t>(INT32_MAX)) return;  // beyond the converter's reach
  // ASCII is the same bytes in every ANSI code page, in UTF-16 and in UTF-8: tags, numbers and
  // most texts go to the stream as they are, without the round through UTF-16.
  if (IsAscii(text, length)) {
    Put(text, length);
    return;
  }
  // Converted into one block, kept for the file's next line, so the stream sees a single write per
  // call.
  utf8_.clear();
  kestrel::text::AnsiToUtf8(text, length, utf8_);
  Put(utf8_.data(), utf8_.size());
}

// ---------------------------------------------------------------- CMvnXmlFile

CMvnXmlFile::CMvnXmlFile(const char* class_name) : CMvnWebFile(class_name), depth_(0) {}

void CMvnXmlFile::AppendIndent(CMvnString& line) const {
  if (depth_ > 0) line.AppendRepeated(' ', static_cast<std::size_t>(depth_) * 2);
}

void CMvnXmlFile::WriteHeader() {
  WriteUtf8(kDeclaration, sizeof kDeclaration - 1);
}

char* CMvnWebFile::Room(std::size_t length) {
  if (length > sizeof buffer_) return nullptr;
  if (length > sizeof buffer_ - used_) Flush();
  char* at = buffer_ + used_;
  used_ += length;
  return at;
}

// Tags and values that need neither escaping nor converting, nearly all of a device document, are
// put together where the buffer has room for them.
bool CMvnXmlFile::PutPlainTag(const char* before, const char* name, std::size_t name_length) {
  const std::size_t indent = depth_ > 0 ? static_cast<std::size_t>(depth_) * 2 : 0;
  const std::size_t before_length = std::strlen(before);
  char* out = Room(indent + before_length + name_length + 2);
  if (out == nullptr) return false;
  std::memset(out, ' ', indent);
  out = CopyTo(CopyTo(out + indent, before, before_length), name, name_length);
  CopyTo(out, ">\n", 2);
  return true;
}

void CMvnXmlFile::OpenElement(const char* name) {
  if (!IsOpen()) return;
  const std::size_t plain = name != nullptr ? PlainLength(name) : 0;
  if (plain != SIZE_MAX && PutPlainTag("<", name != nullptr ? name : "", plain)) {
    ++depth_;
    return;
  }
  CMvnString line;
  AppendIndent(line);
  line.AppendChar('<').Append(name).Append(">\n");
  ++depth_;
  WriteUtf8(line.Text(), line.Length());
}

void CMvnXmlFile::CloseElement(const char* name) {
  if (!IsOpen()) return;
  --depth_;
  const std::size_t plain = name != nullptr ? PlainLength(name) : 0;
  if (plain != SIZE_MAX && PutPlainTag("</", name != nullptr ? name : "", plain)) return;
  CMvnString line;
  AppendIndent(line);
  line.Append("</").Append(name).Append(">\n");
  WriteUtf8(line.Text(), line.Length());
}

void CMvnXmlFile::WriteElement(const char* name, const char* value) {
  if (!IsOpen()) return;
  const char* const shown_name = name != nullptr ? name : "";
  const char* const shown_value = value != nullptr ? value : "";
  const std::size_t plain_name = PlainLength(shown_name);
  const std::size_t plain_value =
      plain_name != SIZE_MAX ? PlainLength(shown_value) : static_cast<std::size_t>(SIZE_MAX);
  if (plain_value != SIZE_MAX) {
    const std::size_t indent = depth_ > 0 ? static_cast<std::size_t>(depth_) * 2 : 0;
    if (char* out = Room(indent + 2 * plain_name + plain_value + 6)) {  // <></>\n
      std::memset(out, ' ', indent);
      out = CopyTo(CopyTo(out + indent, "<", 1), shown_name, plain_name);
      out = CopyTo(CopyTo(out, ">", 1), shown_value, plain_value);
      out = CopyTo(CopyTo(out, "</", 2), shown_name, plain_name);
      CopyTo(out, ">\n", 2);
      return;
    }
  }
  CMvnString escaped(value);
  escaped.XmlEscape();
  // The line goes to the stream in one call, put together on the stack. The value converts the
  // same inside it: the bytes around it are '>' and '<', which no code page reads as part of a
  // character before or after.
  if (name == nullptr) name = "";
  const std::size_t name_length = std::strlen(name);
  const std::size_t indent = depth_ > 0 ? static_cast<std::size_t>(depth_) * 2 : 0;
  const std::size_t length = indent + 2 * name_length + escaped.Length() + 6;  // <></>\n
  char local[256];
  std::unique_ptr<char[]> heap;
  char* line = local;
  if (length > sizeof local) {
    heap.reset(new char[length]);
    line = heap.get();
  }
  char* out = line;
  std::memset(out, ' ', indent);
  out += indent;
  *out++ = '<';
  std::memcpy(out, name, name_length);
  out += name_length;
  *out++ = '>';
  std::memcpy(out, escaped.Text(), escaped.Length());
  out += escaped.Length();
  *out++ = '<';
  *out++ = '/';
  std::memcpy(out, name, name_length);
  out += name_length;
  *out++ = '>';
  *out++ = '\n';
  WriteUtf8(line, static_cast<std::size_t>(out - line));
}

void CMvnXmlFile::WriteElement(const char* name, int32_t number) {
  char digits[16];
  const auto converted = std::to_chars(digits, digits + sizeof digits - 1, number);
  *converted.ptr = '\0';
  WriteElement(name, digits);
}

// ---------------------------------------------------------------- whole files

int32_t WriteTextFile(const char* path, const char* text) {
  // One block goes out with one call: a stream would only copy it.
  return kestrel::platform::WriteTextAtOnce(path, "wt", text,
                                            text != nullptr ? std::strlen(text) : 0);
}
