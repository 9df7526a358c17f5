// The device's JSON rendered as the intermediate XML text that the device reader walks.
#include "transport/json_to_xml.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "common/mvn_list.h"
#include "common/mvn_string.h"
#include "transport/json_cleaning.h"
#include "transport/json_machine.h"
#include "transport/json_parser.h"

namespace {

constexpr const char* kParseFailed = "Failed to parse JSON data";
constexpr const char* kNoRoot = "Failed to find JSON root object.";
constexpr const char* kFrameOpen = "<json>\r\n<device>\r\n";
constexpr const char* kFrameClose = "\r\n</device>\r\n</json>";

// A scalar's line (and a childless container's) is bounded by the value's length plus 2047
// characters, which holds its start and end tags only for names up to this length. Rather than cut
// a line in the middle of a tag, a longer name there fails the whole conversion: no device sends
// such keys, and a cut line would make the document unreadable later with a less helpful message.
// A container with children writes each tag on a line of its own and keeps any name.
constexpr std::size_t kMaxNameLength = 1020;

inline bool IsTrimSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

// Bytes the cleaning acts on: line ends and the opening bracket.
struct CleaningStops {
  bool stop[256] = {};
  constexpr CleaningStops() {
    stop[static_cast<unsigned char>('\r')] = true;
    stop[static_cast<unsigned char>('\n')] = true;
    stop[static_cast<unsigned char>('[')] = true;
  }
};
constexpr CleaningStops kCleaningStops;

// Whether one of the eight bytes at p is a CR, an LF or "[" (a zero byte of the word xor'd with
// each of them, found by the usual carry test).
inline bool HasCleaningStop(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  auto has_zero = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  return (has_zero(word ^ (kOnes * '\r')) | has_zero(word ^ (kOnes * '\n')) |
          has_zero(word ^ (kOnes * '['))) != 0;
}

}  // namespace

namespace kestrel::transport {

// The cleaning before the parse, in one pass: space, TAB, CR and LF go at both ends, raw line ends
// go everywhere (also inside strings), and every "[]" becomes the literal null, which is how an
// empty array reaches the XML as "null". The brackets are paired as if the line ends were already
// gone ("[\r\n]" is empty too), so the result is that of trimming, then removing CR LF, CR and LF,
// then replacing "[]", each over the whole text, without a copy of the text per step.
void CleanJson(const char* json, CMvnString& text) {
  text.Assign("", 0);
  if (json == nullptr) return;
  const char* begin = json;
  const char* end = json + std::strlen(json);
  while (begin < end && IsTrimSpace(*begin)) ++begin;
  while (end > begin && IsTrimSpace(end[-1])) --end;
  // Each "[]" grows by two bytes; device documents have a few.
  const auto length = static_cast<std::size_t>(end - begin);
  text.Reserve(length + length / 16 + 16);
  const char* run = begin;
  for (const char* p = begin; p < end; ++p) {
    // Runs of other bytes pass untouched: eight bytes at a time while none of them matters, then
    // one table test each.
    while (end - p >= 8 && !HasCleaningStop(p)) p += 8;
    if (p == end) break;
    while (!kCleaningStops.stop[static_cast<unsigned char>(*p)]) {
      if (++p == end) break;
    }
    if (p == end) break;
    if (IsLineEnd(*p)) {
      text.Append(run, static_cast<std::size_t>(p - run));
      run = p + 1;
    } else if (*p == '[') {
      const char* close = p + 1;
      while (close < end && IsLineEnd(*close)) ++close;
      if (close < end && *close == ']') {
        text.Append(run, static_cast<std::size_t>(p - run)).Append("null", 4);
        p = close;
        run = close + 1;
      }
    }
  }
  text.Append(run, static_cast<std::size_t>(end - run));
}

// The cleaning only drops bytes (the trimmed ends, line ends) and widens "[]" to "null", so
// walking the text as CleanJson does finds the byte that each cleaned one came from.
std::size_t SourceOffset(const char* json, std::size_t offset) {
  if (json == nullptr) return 0;
  const char* begin = json;
  const char* end = json + std::strlen(json);
  while (begin < end && IsTrimSpace(*begin)) ++begin;
  while (end > begin && IsTrimSpace(end[-1])) --end;
  std::size_t cleaned = 0;
  for (const char* p = begin; p < end; ++p) {
    if (IsLineEnd(*p)) continue;
    const char* last = p;
    std::size_t width = 1;
    if (*p == '[') {
      const char* close = p + 1;
      while (close < end && IsLineEnd(*close)) ++close;
      if (close < end && *close == ']') {
        last = close;
        width = 4;
      }
    }
    if (offset < cleaned + width) return static_cast<std::size_t>(p - json);
    cleaned += width;
    p = last;
  }
  return static_cast<std::size_t>(end - json);
}

}  // namespace kestrel::transport

namespace {

// Characters that escaping or the space rule would change.
struct NameSpecials {
  bool special[256] = {};
  constexpr NameSpecials() {
    for (const char* c = "<>\"'& "; *c != '\0'; ++c) special[static_cast<unsigned char>(*c)] = true;
  }
};
constexpr NameSpecials kNameSpecials;

// Bytes that escaping may change.
struct MarkupBytes {
  bool markup[256] = {};
  constexpr MarkupBytes() {
    for (const char* c = "<>\"'&"; *c != '\0'; ++c) markup[static_cast<unsigned char>(*c)] = true;
  }
};
constexpr MarkupBytes kMarkupBytes;

bool HasMarkup(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (kMarkupBytes.markup[static_cast<unsigned char>(text[i])]) return true;
  }
  return false;
}

// An element name: a slice of its JSON name, or of the scratch string it was made in.
struct ElementName {
  const char* text;
  std::size_t length;
};

// Whether the JSON name raw is its element name as it is: most are.
bool IsWrittenAsIs(const char* raw, std::size_t length) {
  if (length > 0 && raw[0] >= '0' && raw[0] <= '9') return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (kNameSpecials.special[static_cast<unsigned char>(raw[i])]) return false;
  }
  return true;
}

// The element name for a JSON name that is not written as it is, made in scratch: a leading digit
// gets "_" before it, markup is escaped and spaces become "_".
ElementName RewriteElementName(const char* raw, std::size_t length, CMvnString& scratch) {
  const bool leading_digit = length > 0 && raw[0] >= '0' && raw[0] <= '9';
  scratch.Assign(leading_digit ? "_" : "", leading_digit ? 1 : 0);
  scratch.Append(raw, length);
  scratch.XmlEscape();
  if (std::memchr(scratch.Text(), ' ', scratch.Length()) != nullptr) scratch.ReplaceAll(" ", "_");
  return {scratch.Text(), scratch.Length()};
}

ElementName MakeElementName(const char* raw, std::size_t length, CMvnString& scratch) {
  if (IsWrittenAsIs(raw, length)) return {raw, length};
  return RewriteElementName(raw, length, scratch);
}

// The tree's rendering, recursive over its nesting (at most 33 levels).
int32_t AppendChildren(CMvnJsonObject& node, CMvnString& out, int32_t depth) {
  const std::size_t indent = static_cast<std::size_t>(depth - 1);
  CMvnString scratch;
  CMvnList* children = node.Children();
  for (CMvnBase* item = children->GetFirst(); item != nullptr; item = children->GetNext()) {
    CMvnJsonObject& child = *static_cast<CMvnJsonObject*>(item);
    const ElementName name = MakeElementName(child.Name().Text(), child.Name().Length(), scratch);
    const bool has_children = child.Children()->GetCount() > 0;
    if (!has_children && name.length > kMaxNameLength) return -1;

    out.AppendRepeated(' ', indent);
    out.AppendChar('<').Append(name.text, name.length).AppendChar('>');
    if (has_children) {
      out.AppendChar('\n');
      // The child list's own cursor walks the grandchildren; ours is unaffected.
      if (AppendChildren(child, out, depth + 1) != 0) return -1;
      out.AppendRepeated(' ', indent);
    } else {
      out.AppendXmlEscaped(child.Value().Text(), child.Value().Length());
    }
    out.Append("</", 2).Append(name.text, name.length).Append(">\n", 2);
  }
  return 0;
}

}  // namespace

int32_t CMvnJsonObject::AppendXml(CMvnString& out, int32_t depth) {
  return AppendChildren(*this, out, depth);
}
CMvnString& CMvnJsonObject::ToXml(CMvnString& out) {
  out.Assign("", 0);
  if (AppendXml(out, 1) != 0) out.Assign("", 0);
  return out;
}

namespace {

using kestrel::transport::JsonParseResult;
using kestrel::transport::JsonPaths;
using kestrel::transport::JsonStatus;

// Writes the XML of the document while the state machine reads it, with no tree in between. What
// the tree would leave out is cut off at the end: a value of the root that never ended (and with it
// all of its descendants) was written from one known position on. kFast writes a scalar that
// needs no escaping as one piece.
template <bool kFast>
class XmlSink {
 public:
  XmlSink(CMvnString& out, const char* text, std::size_t length)
      : out_(out), text_begin_(text), text_end_(text + length) {}

  struct LevelState {
    int32_t pending_state = CMvnJson::kValue;
    int32_t state = CMvnJson::kSkipSpace;
    // The name given to this level's children (a member name or "item").
    const char* child_name = "";
    std::size_t child_name_length = 0;
    // The element of the value at this level: its name as written, whether it is a container and
    // whether any child of it has begun (so its start tag's line is ended).
    const char* element = "";
    std::size_t element_length = 0;
    bool container = false;
    bool has_children = false;
  };

  LevelState& Level(int32_t k) { return levels_[k]; }

  void OpenContainer(int32_t k, bool array) {
    if (k == 0) {
      has_root_ = true;
      if (array) {
        levels_[0].child_name = "item";
        levels_[0].child_name_length = 4;
      }
      return;
    }
    auto& level = levels_[k];
    level.container = true;
    level.has_children = false;
    if (array) {
      level.child_name = "item";
      level.child_name_length = 4;
    }
    out_.AppendRepeated(' ', static_cast<std::size_t>(k - 1));
    out_.AppendChar('<').Append(level.element, level.element_length).AppendChar('>');
  }

  KESTREL_JSON_INLINE void MemberName(int32_t k, const kestrel::transport::JsonToken& token) {
    auto& level = levels_[k];
    const char* data = token.Data();
    if (data >= text_begin_ && data <= text_end_) {
      level.child_name = data;
    } else {
      CMvnString& copy = Scratch(2 * k + 1);
      copy.Assign(data, token.Size());
      level.child_name = copy.Text();
    }
    level.child_name_length = token.Size();
  }

  void Scalar(int32_t k, const kestrel::transport::JsonToken& token) {
    if (k == 0) {
      has_root_ = true;
      return;
    }
    auto& level = levels_[k];
    level.container = false;
    if (level.element_length > kMaxNameLength) NameTooLong(levels_[k - 1].child_name);
    const char* value = token.Data();
    const std::size_t value_length = token.Size();
    if (kFast && !HasMarkup(value, value_length)) {
      AppendPlainLine(static_cast<std::size_t>(k - 1), level, value, value_length);
      return;
    }
    out_.AppendRepeated(' ', static_cast<std::size_t>(k - 1));
    out_.AppendChar('<').Append(level.element, level.element_length).AppendChar('>');
    out_.AppendXmlEscaped(value, value_length);
    out_.Append("</", 2).Append(level.element, level.element_length).Append(">\n", 2);
  }

  KESTREL_JSON_INLINE void ChildStart(int32_t k) {
    auto& level = levels_[k];
    if (k == 0) {
      open_value_start_ = out_.Length();
      subtree_failed_ = false;
    } else if (!level.has_children) {
      level.has_children = true;
      out_.AppendChar('\n');
    }
    auto& child = levels_[k + 1];
    ElementName name{level.child_name, level.child_name_length};
    if (!IsWrittenAsIs(name.text, name.length)) {
      name = RewriteElementName(name.text, name.length, Scratch(2 * (k + 1)));
    }
    child.element = name.text;
    child.element_length = name.length;
  }

  void Attach(int32_t k) {
    auto& child = levels_[k + 1];
    if (child.container) {
      if (child.has_children) {
        out_.AppendRepeated(' ', static_cast<std::size_t>(k));
      } else if (child.element_length > kMaxNameLength) {
        NameTooLong(levels_[k].child_name);
      }
      out_.Append("</", 2).Append(child.element, child.element_length).Append(">\n", 2);
    }
    if (k == 0) {
      open_value_start_ = kNoOpenValue;
      if (subtree_failed_ && !failed_) {
        failed_ = true;
        failure_offset_ = subtree_failure_offset_;
      }
    }
  }

  // After the machine has stopped: cuts off a value of the root that never ended. False when the
  // document has a name too long for its line.
  bool Finish() {
    if (open_value_start_ != kNoOpenValue) out_.Assign(out_.Text(), open_value_start_);
    return !failed_;
  }
  bool HasRoot() const { return has_root_; }
  // Where the first name too long for its line begins in the text.
  std::size_t FailureOffset() const { return failure_offset_; }

 private:
  // Fast: most values need no escaping, and their whole line goes into the output in one piece.
  void AppendPlainLine(std::size_t indent, const LevelState& level, const char* value,
                       std::size_t value_length) {
    const std::size_t name_length = level.element_length;
    char* line = out_.Extend(indent + 2 * name_length + value_length + 6);
    std::memset(line, ' ', indent);
    line += indent;
    *line++ = '<';
    std::memcpy(line, level.element, name_length);
    line += name_length;
    *line++ = '>';
    std::memcpy(line, value, value_length);
    line += value_length;
    *line++ = '<';
    *line++ = '/';
    std::memcpy(line, level.element, name_length);
    line += name_length;
    *line++ = '>';
    *line = '\n';
  }

  // A failure counts only once the value of the root that holds it has ended.
  void NameTooLong(const char* raw_name) {
    if (subtree_failed_) return;
    subtree_failed_ = true;
    // Names are runs of the text; a copy (never made today) has no place in it.
    subtree_failure_offset_ = raw_name >= text_begin_ && raw_name < text_end_
                                  ? static_cast<std::size_t>(raw_name - text_begin_)
                                  : static_cast<std::size_t>(text_end_ - text_begin_);
  }

  // Strings for names that are not used as they stand in the text, two per level; made only for
  // a document that has such names.
  CMvnString& Scratch(int32_t index) {
    if (!scratch_) scratch_.reset(new CMvnString[2 * CMvnJson::kLevelCount]);
    return scratch_[index];
  }

  static constexpr std::size_t kNoOpenValue = static_cast<std::size_t>(-1);

  CMvnString& out_;
  const char* text_begin_;
  const char* text_end_;
  LevelState levels_[CMvnJson::kLevelCount];
  std::unique_ptr<CMvnString[]> scratch_;
  std::size_t open_value_start_ = kNoOpenValue;
  bool subtree_failed_ = false;
  std::size_t subtree_failure_offset_ = 0;
  bool failed_ = false;
  std::size_t failure_offset_ = 0;
  bool has_root_ = false;
};

// The framed document from the cleaned text; offsets are into that text.
template <JsonPaths kPaths>
JsonParseResult WriteXml(const CMvnString& text, CMvnString& xml) {
  // The lines go straight into the result between the two halves of the frame, in one block: the
  // XML of a device document is about one and a half times its JSON.
  xml.Reserve(2 * text.Length() + 64);
  xml.Assign(kFrameOpen);
  CMvnString token_buffer;
  int32_t level = 0;
  XmlSink<kPaths == JsonPaths::kFast> sink(xml, text.Text(), text.Length());
  const JsonParseResult parsed = kestrel::transport::RunJsonMachine<kPaths>(
      text.Text(), text.Length(), level, sink, token_buffer);
  if (!parsed.Ok()) return parsed;
  if (!sink.HasRoot()) return {JsonStatus::kNoRoot, text.Length()};
  if (!sink.Finish()) return {JsonStatus::kNameTooLong, sink.FailureOffset()};
  xml.Append(kFrameClose);
  return {};
}

}  // namespace

namespace kestrel::transport {

JsonParseResult ConvertJsonToXml(const char* json, CMvnString& xml, JsonPaths paths) {
  xml.Assign("", 0);
  CMvnString text;
  CleanJson(json, text);
  // A text too long for a 32-bit count counts as empty, as its length would be negative.
  if (text.IsEmpty() || text.Length() > static_cast<std::size_t>(INT32_MAX)) {
    return {JsonStatus::kEmptyText, 0};
  }
  JsonParseResult result = paths == JsonPaths::kFast ? WriteXml<JsonPaths::kFast>(text, xml)
                                                     : WriteXml<JsonPaths::kPlain>(text, xml);
  if (!result.Ok()) {
    xml.Assign("", 0);
    result.offset = SourceOffset(json, result.offset);
  }
  return result;
}

int32_t ConvertJsonToXml(const char* json, CMvnString& xml, CMvnString& detail) {
  const JsonParseResult result = ConvertJsonToXml(json, xml, JsonPaths::kFast);
  detail.Assign(ConversionDetail(result));
  return result.Ok() ? 0 : -1;
}

const char* ConversionDetail(const JsonParseResult& result) {
  switch (result.status) {
    case JsonStatus::kOk:
      return "";
    case JsonStatus::kNoRoot:
      return kNoRoot;
    default:
      return kParseFailed;
  }
}

}  // namespace kestrel::transport
