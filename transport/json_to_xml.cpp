// The device's JSON rendered as the intermediate XML text that the device reader walks.
#include <cstring>

#include "common/mvn_list.h"
#include "common/mvn_string.h"
#include "provider/provider_app.h"
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
  text.Reserve(static_cast<std::size_t>(end - begin));
  const char* run = begin;
  for (const char* p = begin; p < end; ++p) {
    // Runs of other bytes pass untouched: find the next byte that matters with one test each.
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

// Per-conversion scratch, reused for every element so the rendering allocates only while the
// longest name grows.
struct Scratch {
  CMvnString name;
};

// Characters that escaping or the space rule would change.
struct NameSpecials {
  bool special[256] = {};
  constexpr NameSpecials() {
    for (const char* c = "<>\"'& "; *c != '\0'; ++c) special[static_cast<unsigned char>(*c)] = true;
  }
};
constexpr NameSpecials kNameSpecials;

bool HasSpecial(const CMvnString& text) {
  const char* p = text.Text();
  for (const char* end = p + text.Length(); p != end; ++p) {
    if (kNameSpecials.special[static_cast<unsigned char>(*p)]) return true;
  }
  return false;
}

// The element name of a node: a leading digit gets "_" before it, markup is escaped and spaces
// become "_". Most names need none of it and are used as they are.
const CMvnString& ElementName(const CMvnString& raw, CMvnString& scratch) {
  const bool leading_digit = raw.Length() > 0 && raw.Text()[0] >= '0' && raw.Text()[0] <= '9';
  if (!leading_digit && !HasSpecial(raw)) return raw;
  if (leading_digit) {
    scratch.Assign("_", 1);
    scratch.Append(raw);
  } else {
    scratch.Assign(raw);
  }
  scratch.XmlEscape();
  if (std::memchr(scratch.Text(), ' ', scratch.Length()) != nullptr) scratch.ReplaceAll(" ", "_");
  return scratch;
}

int32_t AppendChildren(CMvnJsonObject& node, CMvnString& out, int32_t depth, Scratch& scratch) {
  const std::size_t indent = static_cast<std::size_t>(depth - 1);
  CMvnList* children = node.Children();
  for (CMvnBase* item = children->GetFirst(); item != nullptr; item = children->GetNext()) {
    CMvnJsonObject& child = *static_cast<CMvnJsonObject*>(item);
    const CMvnString* name = &ElementName(child.Name(), scratch.name);
    const bool has_children = child.Children()->GetCount() > 0;
    if (!has_children && name->Length() > kMaxNameLength) return -1;

    out.AppendRepeated(' ', indent);
    out.AppendChar('<').Append(*name).AppendChar('>');
    if (has_children) {
      out.AppendChar('\n');
      // The child list's own cursor walks the grandchildren; ours is unaffected.
      if (AppendChildren(child, out, depth + 1, scratch) != 0) return -1;
      // The recursion may have reused the scratch name: make this element's name again if it was
      // there (a name used as it is cannot have changed).
      if (name != &child.Name()) name = &ElementName(child.Name(), scratch.name);
      out.AppendRepeated(' ', indent);
    } else {
      out.AppendXmlEscaped(child.Value().Text(), child.Value().Length());
    }
    out.Append("</", 2).Append(*name).Append(">\n", 2);
  }
  return 0;
}

}  // namespace

int32_t CMvnJsonObject::AppendXml(CMvnString& out, int32_t depth) {
  Scratch scratch;
  return AppendChildren(*this, out, depth, scratch);
}

CMvnString& CMvnJsonObject::ToXml(CMvnString& out) {
  out.Assign("", 0);
  if (AppendXml(out, 1) != 0) out.Assign("", 0);
  return out;
}

int32_t CEnvProviderApp::ConvertJsonToXml(const char* json, CMvnString& xml, CMvnString& detail) {
  xml.Assign("", 0);
  detail.Assign("", 0);

  CMvnString text;
  CleanJson(json, text);

  CMvnJson parser;
  if (parser.Parse(text.Text()) != 0) {
    detail.Assign(kParseFailed);
    return -1;
  }
  CMvnJsonObject* root = parser.GetRoot();
  if (root == nullptr) {
    detail.Assign(kNoRoot);
    return -1;
  }
  // The lines go straight into the result between the two halves of the frame. The XML of a device
  // document is about one and a half times its JSON: room for twice that spares the regrowth.
  xml.Reserve(2 * text.Length() + 64);
  xml.Assign(kFrameOpen);
  if (root->AppendXml(xml, 1) != 0) {
    xml.Assign("", 0);
    detail.Assign(kParseFailed);
    return -1;
  }
  xml.Append(kFrameClose);
  return 0;
}
