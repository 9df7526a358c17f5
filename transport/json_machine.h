// The JSON state machine, shared by the tree parser (CMvnJson) and the conversion that writes XML
// while it reads: one definition of the tolerant grammar, with what happens to each value left to
// a sink. Internal to transport/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mvn_string.h"
#include "transport/json_parser.h"

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
  void AppendText(const char* text, std::size_t length) {
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
  bool EndsWithNoCase(const char* word, std::size_t m) const {
    const std::size_t n = Size();
    if (n < m) return false;
    const char* tail = Data() + n - m;
    for (std::size_t k = 0; k < m; ++k) {
      char c = tail[k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      if (c != word[k]) return false;
    }
    return true;
  }

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
  const char* name_end = name;
  while (name_end < end && *name_end != quote && *name_end != '\\') ++name_end;
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

struct Level {
  int32_t pending_state;
  int32_t state;
};

struct Outcome {
  int32_t result;
  int32_t level;
};

template <typename Sink>
Outcome Run(const char* text, std::size_t length, int32_t level_index, Level* levels, Sink& sink,
            CMvnString& token_buffer);

}  // namespace machine

// Runs the state machine over length bytes (length >= 1) from level `level_index` on. The sink
// provides:
//   Level(k)                 the state record of nesting level k (members state, pending_state);
//   OpenContainer(k, array)  "[" or "{" opened a container at level k;
//   MemberName(k, token)     a member name of the object at level k was read;
//   Scalar(k, token)         a string, number or literal ended at level k;
//   ChildStart(k)            an element or member value of the container at level k begins;
//   Attach(k)                the value at level k + 1 ended and belongs to the container at k.
// Answers -1 for a syntax failure, 0 otherwise (also when the text ends or nests too deep).
template <typename Sink>
int32_t RunJsonMachine(const char* text, std::size_t length, int32_t& level_index, Sink& sink,
                       CMvnString& token_buffer) {
  // The states are worked on in a compact copy, and the current level in a local, so that the
  // loop keeps them in registers and cache lines of its own; the sink's records get them back.
  machine::Level levels[CMvnJson::kLevelCount];
  for (int32_t k = 0; k < CMvnJson::kLevelCount; ++k) {
    levels[k] = {sink.Level(k).pending_state, sink.Level(k).state};
  }
  const machine::Outcome outcome =
      machine::Run(text, length, level_index, levels, sink, token_buffer);
  for (int32_t k = 0; k < CMvnJson::kLevelCount; ++k) {
    sink.Level(k).pending_state = levels[k].pending_state;
    sink.Level(k).state = levels[k].state;
  }
  level_index = outcome.level;
  return outcome.result;
}

namespace machine {

template <typename Sink>
Outcome Run(const char* text, std::size_t length, int32_t level_index, Level* levels, Sink& sink,
            CMvnString& token_buffer) {
  using S = CMvnJson;
  const char* at = text;
  const char* const end = text + length;

  JsonToken token(token_buffer);
  const char* hex_begin = nullptr;
  std::size_t hex_length = 0;
  char quote = '"';

  // A member's head or an array's next element, found in full ahead, is taken in one step: what
  // MemberStart, MemberName, AfterName and the start of the value (or ElementStart) would do.
  MemberHead head{};
  auto enter_member = [&](Level& level) {
    quote = head.quote;
    token.Clear();
    token.AppendText(head.name, head.name_length);
    sink.MemberName(level_index, token);
    level.pending_state = S::kMemberValueStart;
    level.state = S::kMemberDone;
    sink.ChildStart(level_index);
    at = head.value;
  };
  auto enter_element = [&](Level& level, const char* element) {
    level.pending_state = S::kElementStart;
    level.state = S::kElementDone;
    sink.ChildStart(level_index);
    at = element;
  };

  // The level moves only where a value opens or ends; each such place stops when it leaves the
  // stack, exactly as a check before every character would.
  if (level_index < 0 || level_index > S::kMaxLevel) return {0, level_index};
  for (;;) {
    Level& level = levels[level_index];
    if (level.state == S::kSkipSpace) {
      // Most states hand over through SkipSpace: the run of space is skipped here and the pending
      // state applies to the character after it, without a round through the switch.
      while (IsJsonSpace(*at)) {
        if (++at == end) return {0, level_index};
      }
      level.state = level.pending_state;
    }
    // The hand-overs that apply to any character, taken here rather than each by a round through
    // the switch: they are what most characters of a document lead to, and the switch's single
    // jump predicts them badly.
    if (level.state == S::kDone) {
      // A value has ended: up to the enclosing level, which attaches it and waits for what follows.
      level.state = S::kSkipSpace;
      level.pending_state = S::kValue;
      if (--level_index < 0) return {0, level_index};
      Level& parent = levels[level_index];
      if (parent.state == S::kElementDone || parent.state == S::kMemberDone) {
        sink.Attach(level_index);
        parent.pending_state = parent.state == S::kElementDone ? S::kAfterElement : S::kAfterMember;
        parent.state = S::kSkipSpace;
      }
      continue;
    }
    if (level.state == S::kMemberValueStart || (level.state == S::kElementStart && *at != ']')) {
      // A member's value or an array's element begins one level down.
      level.state = level.state == S::kMemberValueStart ? S::kMemberDone : S::kElementDone;
      sink.ChildStart(level_index);
      if (++level_index > S::kMaxLevel) return {0, level_index};
      Level& child = levels[level_index];
      child.state = S::kSkipSpace;
      child.pending_state = S::kValue;
      continue;
    }
    const char c = *at;
    bool consumed = true;

    switch (level.state) {
      case S::kValue:
        if (c == '"' || c == '\'') {
          token.Clear();
          quote = c;
          level.state = S::kStringChars;
          // A string without escapes, whole, as StringChars would take it after the quote.
          const char* stop = at + 1;
          while (stop < end && *stop != quote && *stop != '\\') ++stop;
          if (stop < end && *stop == quote) {
            token.AppendText(at + 1, static_cast<std::size_t>(stop - at - 1));
            sink.Scalar(level_index, token);
            level.pending_state = S::kDone;
            level.state = S::kSkipSpace;
            at = stop;
          }
        } else if ((c >= '0' && c <= '9') || c == '-') {
          token.Clear();
          // The whole number at once, as NumberChars would take it; one that runs to the end of
          // the text never ends and is not stored.
          const char* stop = at + 1;
          while (stop < end && IsNumberChar(*stop)) ++stop;
          if (stop == end) {
            level.state = S::kNumberChars;
            return {0, level_index};
          }
          token.AppendText(at, static_cast<std::size_t>(stop - at));
          sink.Scalar(level_index, token);
          level.pending_state = S::kDone;
          level.state = S::kSkipSpace;
          at = stop;
          consumed = false;
        } else if (c == 't' || c == 'T' || c == 'f' || c == 'F') {
          token.Clear();
          level.state = S::kBoolLiteral;
          consumed = false;
        } else if (c == 'n' || c == 'N') {
          token.Clear();
          level.state = S::kNullLiteral;
          consumed = false;
        } else if (c == '[' || c == '{') {
          sink.OpenContainer(level_index, c == '[');
          level.pending_state = c == '[' ? S::kElementStart : S::kMemberStart;
          level.state = S::kSkipSpace;
          const char* element = c == '[' ? FindElementStart(at + 1, end) : nullptr;
          if (element != nullptr || (c == '{' && FindMemberHead(at + 1, end, head))) {
            if (element != nullptr) {
              enter_element(level, element);
            } else {
              enter_member(level);
            }
            if (++level_index > S::kMaxLevel) return {0, level_index};
            levels[level_index] = {S::kValue, S::kSkipSpace};
            continue;
          }
        }
        // Anything else cannot begin a value and is skipped.
        break;

      case S::kNullLiteral:
        // A literal spelled out in full is taken at once; anything else goes letter by letter.
        if (token.IsEmpty() && end - at >= 4 && IsWordNoCase(at, "null", 4)) {
          token.AppendText(at, 4);
          at += 3;
          sink.Scalar(level_index, token);
          level.pending_state = S::kDone;
          level.state = S::kSkipSpace;
          break;
        }
        token.AppendText(at, 1);
        if (token.EndsWithNoCase("null", 4)) {
          sink.Scalar(level_index, token);
          level.pending_state = S::kDone;
          level.state = S::kSkipSpace;
        }
        break;

      case S::kBoolLiteral:
        if (token.IsEmpty()) {
          // No shorter start of "true" or "false" contains either word, so a literal spelled out
          // in full ends where the word does.
          const bool is_true = c == 't' || c == 'T';
          const std::ptrdiff_t m = is_true ? 4 : 5;
          if (end - at >= m &&
              IsWordNoCase(at, is_true ? "true" : "false", static_cast<std::size_t>(m))) {
            token.AppendText(at, static_cast<std::size_t>(m));
            at += m - 1;
            sink.Scalar(level_index, token);
            level.pending_state = S::kDone;
            level.state = S::kSkipSpace;
            break;
          }
        }
        token.AppendText(at, 1);
        if (token.EndsWithNoCase("true", 4) || token.EndsWithNoCase("false", 5)) {
          sink.Scalar(level_index, token);
          level.pending_state = S::kDone;
          level.state = S::kSkipSpace;
        }
        break;

      case S::kStringChars:
        if (c == quote) {
          sink.Scalar(level_index, token);
          level.pending_state = S::kDone;
          level.state = S::kSkipSpace;
        } else if (c == '\\') {
          level.pending_state = S::kStringChars;
          level.state = S::kStringEscape;
        } else {
          // Take the whole run up to the next quote or backslash at once, and a closing quote
          // right after it too.
          const char* stop = at + 1;
          while (stop < end && *stop != quote && *stop != '\\') ++stop;
          token.AppendText(at, static_cast<std::size_t>(stop - at));
          if (stop < end && *stop == quote) {
            sink.Scalar(level_index, token);
            level.pending_state = S::kDone;
            level.state = S::kSkipSpace;
            at = stop;
          } else {
            at = stop - 1;
          }
        }
        break;

      case S::kStringEscape:
        switch (c) {
          case '"':
          case '/':
          case '\\':
            token.AppendOtherChar(c);
            level.state = level.pending_state;
            break;
          case 'b':
            token.AppendOtherChar('\b');
            level.state = level.pending_state;
            break;
          case 'n':
            token.AppendOtherChar('\n');
            level.state = level.pending_state;
            break;
          case 'r':
            token.AppendOtherChar('\r');
            level.state = level.pending_state;
            break;
          case 't':
            token.AppendOtherChar('\t');
            level.state = level.pending_state;
            break;
          case 'u':
            hex_begin = at + 1;
            hex_length = 0;
            level.state = S::kUnicodeDigits;
            break;
          default:
            // An unknown escape letter is dropped and the next character is read as the escape
            // letter instead; the parse goes on.
            break;
        }
        break;

      case S::kUnicodeDigits:
        if (IsLowerHexDigit(c)) {
          ++hex_length;
        } else {
          token.AppendOther("&#x", 3);
          token.AppendOther(hex_begin, hex_length);
          token.AppendOtherChar(';');
          level.state = level.pending_state;
          consumed = false;
        }
        break;

      case S::kNumberChars:
        if (IsNumberChar(c)) {
          // The whole run of number characters at once; a run that reaches the end is never
          // stored.
          const char* stop = at + 1;
          while (stop < end && IsNumberChar(*stop)) ++stop;
          token.AppendText(at, static_cast<std::size_t>(stop - at));
          at = stop - 1;
        } else {
          sink.Scalar(level_index, token);
          level.pending_state = S::kDone;
          level.state = S::kSkipSpace;
          consumed = false;
        }
        break;

      case S::kElementStart:
        // Only "]" comes here; any other character starts an element above.
        level.pending_state = S::kDone;
        level.state = S::kSkipSpace;
        break;

      case S::kAfterElement:
        if (c == ',') {
          level.pending_state = S::kElementStart;
          if (const char* element = FindElementStart(at + 1, end)) {
            enter_element(level, element);
            if (++level_index > S::kMaxLevel) return {0, level_index};
            levels[level_index] = {S::kValue, S::kSkipSpace};
            continue;
          }
        } else if (c == ']') {
          level.pending_state = S::kDone;
        } else {
          return {-1, level_index};
        }
        level.state = S::kSkipSpace;
        break;

      case S::kMemberStart:
        if (c == '"' || c == '\'') {
          quote = c;
          token.Clear();
          level.state = S::kMemberName;
          // A name without backslashes, whole, as MemberName would take it after the quote.
          const char* stop = at + 1;
          while (stop < end && *stop != quote && *stop != '\\') ++stop;
          if (stop < end && *stop == quote) {
            token.AppendText(at + 1, static_cast<std::size_t>(stop - at - 1));
            sink.MemberName(level_index, token);
            level.pending_state = S::kAfterName;
            level.state = S::kSkipSpace;
            at = stop;
          }
        } else if (c == '}') {
          level.state = S::kDone;
        } else {
          return {-1, level_index};
        }
        break;

      case S::kMemberName:
        if (c == quote) {
          sink.MemberName(level_index, token);
          level.pending_state = S::kAfterName;
          level.state = S::kSkipSpace;
        } else if (c == '\\') {
          // Names are not unescaped: a backslash drops itself and what came before it, and the
          // next character is read as an ordinary one (or ends the name if it is the quote).
          token.Clear();
        } else {
          const char* stop = at + 1;
          while (stop < end && *stop != quote && *stop != '\\') ++stop;
          token.AppendText(at, static_cast<std::size_t>(stop - at));
          if (stop < end && *stop == quote) {
            sink.MemberName(level_index, token);
            level.pending_state = S::kAfterName;
            level.state = S::kSkipSpace;
            at = stop;
          } else {
            at = stop - 1;
          }
        }
        break;

      case S::kAfterName:
        if (c != ':') return {-1, level_index};
        level.pending_state = S::kMemberValueStart;
        level.state = S::kSkipSpace;
        break;

      case S::kAfterMember:
        if (c == ',') {
          level.pending_state = S::kMemberStart;
          if (FindMemberHead(at + 1, end, head)) {
            enter_member(level);
            if (++level_index > S::kMaxLevel) return {0, level_index};
            levels[level_index] = {S::kValue, S::kSkipSpace};
            continue;
          }
        } else if (c == '}') {
          level.pending_state = S::kDone;
        } else {
          return {-1, level_index};
        }
        level.state = S::kSkipSpace;
        break;

      default:
        // Not reachable: SkipSpace, Done and the starts of a child are taken above, and the
        // Done states of a container's children only while their child runs.
        return {-1, level_index};
    }

    if (consumed && ++at == end) return {0, level_index};
  }
}

}  // namespace machine
}  // namespace kestrel::transport
