#include "host/xml_scan.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace kestrel::host {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The bytes that end a name: blanks and the markup around names.
struct NameEnds {
  bool ends[256] = {};
  constexpr NameEnds() {
    for (const char* c = " \t\r\n/><="; *c != '\0'; ++c)
      ends[static_cast<unsigned char>(*c)] = true;
  }
};
constexpr NameEnds kNameEnds;

void AppendUtf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The character of a numeric reference's digits (after "&#"), or 0 when they are none or name no
// character XML allows (no NUL, no control but TAB, CR and LF, no surrogate half).
uint32_t NumericReference(const char* digits, std::size_t length) {
  const bool hex = length > 0 && digits[0] == 'x';
  uint32_t c = 0;
  std::size_t i = hex ? 1 : 0;
  if (i == length) return 0;
  for (; i < length; ++i) {
    const char d = digits[i];
    uint32_t value;
    if (d >= '0' && d <= '9') {
      value = static_cast<uint32_t>(d - '0');
    } else if (hex && ((d >= 'a' && d <= 'f') || (d >= 'A' && d <= 'F'))) {
      value = static_cast<uint32_t>((d | 0x20) - 'a' + 10);
    } else {
      return 0;
    }
    c = c * (hex ? 16 : 10) + value;
    if (c > 0x10FFFF) return 0;
  }
  const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                       (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
  return allowed ? c : 0;
}

// The character a reference's name (between "&" and ";") stands for, appended; false for a name
// no document without a document type may use.
bool AppendReference(const char* name, std::size_t length, std::string& out) {
  static const struct {
    const char* name;
    char c;
  } kPredefined[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& entity : kPredefined) {
    if (std::strlen(entity.name) == length && std::memcmp(entity.name, name, length) == 0) {
      out += entity.c;
      return true;
    }
  }
  const uint32_t c = length > 1 && name[0] == '#' ? NumericReference(name + 1, length - 1) : 0;
  if (c == 0) return false;
  AppendUtf8(c, out);
  return true;
}

// Line ends as XML reads them, whatever wrote them (the module writes CR LF): one LF each.
void AppendLines(const char* from, const char* to, std::string& out) {
  for (const char* p = from; p < to; ++p) {
    if (*p != '\r') {
      out += *p;
    } else if (p + 1 >= to || p[1] != '\n') {
      out += '\n';
    }
  }
}

class Scanner {
 public:
  Scanner(const std::string& text, XmlEvents& events)
      : begin_(text.c_str()),
        at_(text.c_str()),
        end_(text.c_str() + text.size()),
        events_(events) {}

  bool Run(std::string& error) {
    if (end_ - at_ >= 3 && std::memcmp(at_, "\xEF\xBB\xBF", 3) == 0) at_ += 3;
    while (at_ < end_ && error_.empty()) {
      if (*at_ == '<') {
        Markup();
      } else {
        CharacterData();
      }
    }
    if (error_.empty() && !open_.empty()) {
      Fail("the document ends inside <" + std::string(open_.back().first, open_.back().second) +
           ">");
    }
    if (error_.empty() && !seen_root_) Fail("the document holds no element");
    if (error_.empty()) return true;
    error = "line " + std::to_string(error_line_) + ": " + error_;
    return false;
  }

 private:
  using Name = std::pair<const char*, std::size_t>;

  // Lines are counted only for a message: a document that reads well needs none.
  void Fail(const std::string& why) {
    if (!error_.empty()) return;
    error_ = why;
    error_line_ = 1 + static_cast<int>(std::count(begin_, std::min(at_, end_), '\n'));
    at_ = end_;
  }

  // Moves past the first occurrence of what; false when there is none.
  bool SkipPast(const char* what) {
    const std::size_t length = std::strlen(what);
    for (const char* p = at_; p + length <= end_; ++p) {
      if (*p == what[0] && std::memcmp(p, what, length) == 0) {
        at_ = p + length;
        return true;
      }
    }
    return false;
  }

  bool StartsWith(const char* prefix) const {
    const std::size_t length = std::strlen(prefix);
    return static_cast<std::size_t>(end_ - at_) >= length && std::memcmp(at_, prefix, length) == 0;
  }

  void Markup() {
    const char second = at_ + 1 < end_ ? at_[1] : '\0';
    if (second == '/') {
      EndTag();
    } else if (second == '?') {
      if (!SkipPast("?>")) Fail("a processing instruction does not end");
    } else if (second != '!') {
      StartTag();
    } else if (StartsWith("<!--")) {
      if (!SkipPast("-->")) Fail("a comment does not end");
    } else if (StartsWith("<![CDATA[")) {
      CData();
    } else {
      // The only way to declare entities, and nothing the module writes.
      Fail("a document type is not read");
    }
  }

  // A name, up to a blank, "/", ">", "<", "=" or the end; empty when there is none.
  std::size_t NameLength(const char* p) const {
    const char* start = p;
    while (p < end_ && !kNameEnds.ends[static_cast<unsigned char>(*p)]) ++p;
    return static_cast<std::size_t>(p - start);
  }

  void SkipBlanks() {
    while (at_ < end_ && IsBlank(*at_)) ++at_;
  }

  void StartTag() {
    const char* name = ++at_;
    const std::size_t length = NameLength(name);
    if (length == 0) return Fail("'<' starts no element");
    if (open_.empty() && seen_root_) return Fail("a second document element");
    at_ += length;
    if (!SkipAttributes()) return;
    const bool empty = *at_ == '/';
    at_ += empty ? 2 : 1;
    seen_root_ = true;
    events_.Start(name, length);
    if (empty) {
      events_.End();
    } else {
      open_.emplace_back(name, length);
    }
  }

  // Attributes are read past, not handed on: the documents carry none. Stops at "/>" or ">".
  bool SkipAttributes() {
    while (at_ < end_) {
      SkipBlanks();
      if (at_ < end_ && *at_ == '>') return true;
      if (end_ - at_ >= 2 && at_[0] == '/' && at_[1] == '>') return true;
      const std::size_t length = NameLength(at_);
      at_ += length;
      SkipBlanks();
      if (length == 0 || at_ >= end_ || *at_ != '=') break;
      ++at_;
      SkipBlanks();
      const char quote = at_ < end_ ? *at_ : '\0';
      if (quote != '"' && quote != '\'') break;
      const auto* close = static_cast<const char*>(
          std::memchr(at_ + 1, quote, static_cast<std::size_t>(end_ - at_ - 1)));
      if (close == nullptr ||
          std::memchr(at_ + 1, '<', static_cast<std::size_t>(close - at_ - 1)) != nullptr) {
        break;
      }
      at_ = close + 1;
    }
    Fail("a tag does not end as a tag does");
    return false;
  }

  void EndTag() {
    at_ += 2;
    const char* name = at_;
    const std::size_t length = NameLength(at_);
    at_ += length;
    SkipBlanks();
    if (at_ >= end_ || *at_ != '>') {
      return Fail("the end tag </" + std::string(name, length) + " does not end");
    }
    ++at_;
    if (open_.empty() || open_.back().second != length ||
        std::memcmp(open_.back().first, name, length) != 0) {
      return Fail("</" + std::string(name, length) + "> ends " +
                  (open_.empty()
                       ? "nothing"
                       : "<" + std::string(open_.back().first, open_.back().second) + ">"));
    }
    open_.pop_back();
    events_.End();
  }

  void CData() {
    at_ += 9;
    const char* text = at_;
    if (!SkipPast("]]>")) return Fail("a CDATA section does not end");
    if (open_.empty()) return Fail("character data outside the document element");
    if (!events_.WantsText()) return;
    decoded_.clear();
    AppendLines(text, at_ - 3, decoded_);
    events_.Text(decoded_.data(), decoded_.size());
  }

  void CharacterData() {
    const char* start = at_;
    const auto* lt =
        static_cast<const char*>(std::memchr(at_, '<', static_cast<std::size_t>(end_ - at_)));
    const char* stop = lt != nullptr ? lt : end_;
    const auto size = static_cast<std::size_t>(stop - start);
    if (open_.empty()) {
      for (const char* p = start; p < stop; ++p) {
        if (!IsBlank(*p)) {
          at_ = p;
          return Fail("character data outside the document element");
        }
      }
      at_ = stop;
      return;
    }
    const bool wanted = events_.WantsText();
    // Unwanted text is still read for its references: a stray "&" is a broken document. A run
    // without "&" or CR (nearly every one) is handed on as it stands.
    if (std::memchr(start, '&', size) == nullptr &&
        (!wanted || std::memchr(start, '\r', size) == nullptr)) {
      at_ = stop;
      if (wanted) events_.Text(start, size);
      return;
    }
    decoded_.clear();
    for (const char* p = start; p < stop;) {
      if (*p != '&') {
        const auto* next =
            static_cast<const char*>(std::memchr(p, '&', static_cast<std::size_t>(stop - p)));
        if (next == nullptr) next = stop;
        if (wanted) AppendLines(p, next, decoded_);
        p = next;
        continue;
      }
      const auto* semicolon =
          static_cast<const char*>(std::memchr(p, ';', static_cast<std::size_t>(stop - p)));
      const std::size_t length =
          semicolon != nullptr ? static_cast<std::size_t>(semicolon - p - 1) : 0;
      if (semicolon == nullptr || !AppendReference(p + 1, length, decoded_)) {
        at_ = p;
        return Fail("'&' starts no reference a document may use (write &amp; for it)");
      }
      p = semicolon + 1;
    }
    at_ = stop;
    if (wanted) events_.Text(decoded_.data(), decoded_.size());
  }

  const char* begin_;
  const char* at_;
  const char* end_;
  XmlEvents& events_;
  // The open elements' names, where they stand in the text.
  std::vector<Name> open_;
  std::string decoded_;
  std::string error_;
  int error_line_ = 0;
  bool seen_root_ = false;
};

}  // namespace

bool ScanXml(const std::string& text, XmlEvents& events, std::string& error) {
  return Scanner(text, events).Run(error);
}

}  // namespace kestrel::host
