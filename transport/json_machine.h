// The JSON state machine, shared by the tree parser (CMvnJson) and the conversion that writes XML
// while it reads: one definition of the tolerant grammar, with what happens to each value left to
// a sink. Internal to transport/.
//
// Each state is one handler; a handler's fast path (a whole run, literal, member head or element
// start taken at once) sits right after it and is compiled in only for JsonPaths::kFast, so the
// plain machine is the state table read character by character. Together they take 35 to 40% of
// a conversion's instructions off (callgrind, bench/json_bench.cpp's documents: 3W 51,000 -> 30,000
// per conversion, 64 KB 5.65 M -> 3.64 M).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mvn_string.h"
#include "transport/json_parser.h"
#include "transport/json_token.h"

namespace kestrel::transport {
namespace machine {

struct Level {
  int32_t pending_state;
  int32_t state;
};

// What applying a state to the current character did.
enum class Step { kConsumed, kKept, kEnded, kFailed };

// The sink provides:
//   OpenContainer(k, array)  "[" or "{" opened a container at level k;
//   MemberName(k, token)     a member name of the object at level k was read;
//   Scalar(k, token)         a string, number or literal ended at level k;
//   ChildStart(k)            an element or member value of the container at level k begins;
//   Attach(k)                the value at level k + 1 ended and belongs to the container at k.
template <typename Sink, bool kFast>
class Machine {
  using S = CMvnJson;

 public:
  Machine(const char* text, std::size_t length, int32_t level, Level* levels, Sink& sink,
          CMvnString& token_buffer)
      : text_(text),
        at_(text),
        end_(text + length),
        level_(level),
        levels_(levels),
        sink_(sink),
        token_(token_buffer) {}

  // Until the text ends, the level leaves the stack, or a syntax failure.
  JsonParseResult Run() {
    // The level moves only where a value opens or ends; each such place ends the run when it
    // leaves the stack, exactly as a check before every character would.
    if (level_ < 0 || level_ > S::kMaxLevel) return {};
    for (;;) {
      Level& level = levels_[level_];
      Step step;
      if constexpr (kFast) {
        step = ApplyHandOver(level);
      } else {
        step = Apply(level, *at_);
      }
      if (step == Step::kConsumed) {
        if (++at_ == end_) return {};
      } else if (step == Step::kEnded) {
        return {};
      } else if (step == Step::kFailed) {
        return {failure_, static_cast<std::size_t>(at_ - text_)};
      }
    }
  }
  int32_t LevelIndex() const { return level_; }

 private:
  // The state table: one row per state, its handler below.
  Step Apply(Level& level, char c) {
    // clang-format off
    switch (level.state) {
      case S::kSkipSpace: return SkipSpace(level, c);
      case S::kValue: return Value(level, c);
      case S::kDone: return Done(level);
      case S::kNullLiteral: return NullLiteral(level, c);
      case S::kStringChars: return StringChars(level, c);
      case S::kStringEscape: return StringEscape(level, c);
      case S::kUnicodeDigits: return UnicodeDigits(level, c);
      case S::kBoolLiteral: return BoolLiteral(level, c);
      case S::kNumberChars: return NumberChars(level, c);
      case S::kElementStart: return ElementStart(level, c);
      case S::kElementDone: return ChildDone(level, S::kAfterElement);
      case S::kAfterElement: return AfterElement(level, c);
      case S::kMemberStart: return MemberStart(level, c);
      case S::kMemberName: return MemberName(level, c);
      case S::kAfterName: return AfterName(level, c);
      case S::kMemberValueStart: return EnterChild(level, S::kMemberDone);
      case S::kMemberDone: return ChildDone(level, S::kAfterMember);
      case S::kAfterMember: return AfterMember(level, c);
    }
    // clang-format on
    // Not reachable: a level holds no other state.
    return Step::kEnded;
  }

  // Fast: the hand-overs that apply to any character, taken before the state table. They are
  // what most characters of a document lead to, and the table's single jump predicts them badly.
  Step ApplyHandOver(Level& level) {
    if (level.state == S::kSkipSpace && !SkipSpaceRun(level)) return Step::kEnded;
    if (level.state == S::kDone) return Done(level);
    if (level.state == S::kMemberValueStart) return EnterChild(level, S::kMemberDone);
    if (level.state == S::kElementStart && *at_ != ']') return EnterChild(level, S::kElementDone);
    return Apply(level, *at_);
  }

  Step Fail(JsonStatus status) {
    failure_ = status;
    return Step::kFailed;
  }

  // ---------------------------------------------------------------- space and values

  Step SkipSpace(Level& level, char c) {
    if (IsJsonSpace(c)) return Step::kConsumed;
    level.state = level.pending_state;
    return Step::kKept;
  }
  // Fast: the whole run of space, then the pending state for the character after it. False when
  // the text ends first.
  bool SkipSpaceRun(Level& level) {
    while (IsJsonSpace(*at_)) {
      if (++at_ == end_) return false;
    }
    level.state = level.pending_state;
    return true;
  }

  Step Value(Level& level, char c) {
    if (c == '"' || c == '\'') {
      token_.Clear();
      quote_ = c;
      level.state = S::kStringChars;
      if constexpr (kFast) TakeWholeString(level);
      return Step::kConsumed;
    }
    if ((c >= '0' && c <= '9') || c == '-') {
      token_.Clear();
      level.state = S::kNumberChars;
      if constexpr (kFast) return TakeNumberRun(level);
      return Step::kKept;
    }
    if (c == 't' || c == 'T' || c == 'f' || c == 'F' || c == 'n' || c == 'N') {
      token_.Clear();
      level.state = (c == 'n' || c == 'N') ? S::kNullLiteral : S::kBoolLiteral;
      return Step::kKept;
    }
    if (c == '[' || c == '{') {
      sink_.OpenContainer(level_, c == '[');
      level.pending_state = c == '[' ? S::kElementStart : S::kMemberStart;
      level.state = S::kSkipSpace;
      if constexpr (kFast) return EnterFirstChild(level, c);
      return Step::kConsumed;
    }
    // Anything else cannot begin a value and is skipped.
    return Step::kConsumed;
  }
  // Fast: a string without escapes, whole, as StringChars would take it after the quote.
  void TakeWholeString(Level& level) {
    const char* stop = FindQuoteOrBackslash(at_ + 1, end_, quote_);
    if (stop < end_ && *stop == quote_) {
      token_.AppendText(at_ + 1, static_cast<std::size_t>(stop - at_ - 1));
      EndScalar(level);
      at_ = stop;
    }
  }
  // Fast: a container's first element or member head, found ahead, begins at once.
  Step EnterFirstChild(Level& level, char bracket) {
    if (bracket == '[') {
      if (const char* element = FindElementStart(at_ + 1, end_)) {
        at_ = element;
        return EnterChild(level, S::kElementDone);
      }
    } else if (MemberHead head; FindMemberHead(at_ + 1, end_, head)) {
      return EnterMember(level, head);
    }
    return Step::kConsumed;
  }

  // A scalar has ended: the sink gets it, and its level waits for what encloses it.
  KESTREL_JSON_INLINE void EndScalar(Level& level) {
    sink_.Scalar(level_, token_);
    level.pending_state = S::kDone;
    level.state = S::kSkipSpace;
  }

  Step Done(Level& level) {
    level.state = S::kSkipSpace;
    level.pending_state = S::kValue;
    if (--level_ < 0) return Step::kEnded;
    if constexpr (kFast) return AttachToParent();
    return Step::kKept;
  }
  // Fast: the enclosing level's Done row (ElementDone or MemberDone) applied at once.
  Step AttachToParent() {
    Level& parent = levels_[level_];
    if (parent.state == S::kElementDone) return ChildDone(parent, S::kAfterElement);
    if (parent.state == S::kMemberDone) return ChildDone(parent, S::kAfterMember);
    return Step::kKept;
  }

  // ---------------------------------------------------------------- literals

  Step NullLiteral(Level& level, char c) {
    if constexpr (kFast) {
      if (TakeWholeLiteral(level, c)) return Step::kConsumed;
    }
    token_.AppendText(at_, 1);
    if (token_.EndsWithNoCase("null", 4)) EndScalar(level);
    return Step::kConsumed;
  }
  Step BoolLiteral(Level& level, char c) {
    if constexpr (kFast) {
      if (TakeWholeLiteral(level, c)) return Step::kConsumed;
    }
    token_.AppendText(at_, 1);
    if (token_.EndsWithNoCase("true", 4) || token_.EndsWithNoCase("false", 5)) EndScalar(level);
    return Step::kConsumed;
  }
  // Fast: a literal spelled out in full from its first letter. No shorter start of "true",
  // "false" or "null" contains any of the words, so the literal ends where its word does.
  bool TakeWholeLiteral(Level& level, char first) {
    if (!token_.IsEmpty()) return false;
    const bool is_null = first == 'n' || first == 'N';
    const bool is_true = first == 't' || first == 'T';
    const char* word = is_null ? "null" : is_true ? "true" : "false";
    const std::size_t m = is_null || is_true ? 4 : 5;
    if (static_cast<std::size_t>(end_ - at_) < m || !IsWordNoCase(at_, word, m)) return false;
    token_.AppendText(at_, m);
    at_ += m - 1;
    EndScalar(level);
    return true;
  }

  // ---------------------------------------------------------------- strings and numbers

  Step StringChars(Level& level, char c) {
    if (c == quote_) {
      EndScalar(level);
    } else if (c == '\\') {
      level.pending_state = S::kStringChars;
      level.state = S::kStringEscape;
    } else if constexpr (kFast) {
      TakeQuotedRun(level, false);
    } else {
      token_.AppendText(at_, 1);
    }
    return Step::kConsumed;
  }
  // Fast: the whole run up to the next quote or backslash, and a closing quote right after it
  // too; of a string, or of a member name.
  void TakeQuotedRun(Level& level, bool name) {
    const char* stop = FindQuoteOrBackslash(at_ + 1, end_, quote_);
    token_.AppendText(at_, static_cast<std::size_t>(stop - at_));
    if (stop < end_ && *stop == quote_) {
      if (name) {
        EndName(level);
      } else {
        EndScalar(level);
      }
      at_ = stop;
    } else {
      at_ = stop - 1;
    }
  }

  Step StringEscape(Level& level, char c) {
    char decoded;
    switch (c) {
      case '"':
      case '/':
      case '\\':
        decoded = c;
        break;
      case 'b':
        decoded = '\b';
        break;
      case 'n':
        decoded = '\n';
        break;
      case 'r':
        decoded = '\r';
        break;
      case 't':
        decoded = '\t';
        break;
      case 'u':
        hex_begin_ = at_ + 1;
        hex_length_ = 0;
        level.state = S::kUnicodeDigits;
        return Step::kConsumed;
      default:
        // An unknown escape letter is dropped and the next character is read as the escape
        // letter instead; the parse goes on.
        return Step::kConsumed;
    }
    token_.AppendOtherChar(decoded);
    level.state = level.pending_state;
    return Step::kConsumed;
  }

  Step UnicodeDigits(Level& level, char c) {
    if (IsLowerHexDigit(c)) {
      ++hex_length_;
      return Step::kConsumed;
    }
    token_.AppendOther("&#x", 3);
    token_.AppendOther(hex_begin_, hex_length_);
    token_.AppendOtherChar(';');
    level.state = level.pending_state;
    return Step::kKept;
  }

  Step NumberChars(Level& level, char c) {
    if (!IsNumberChar(c)) {
      EndScalar(level);
      return Step::kKept;
    }
    if constexpr (kFast) return TakeNumberRun(level);
    token_.AppendText(at_, 1);
    return Step::kConsumed;
  }
  // Fast: the whole run of number characters, and the end of the number after it. A run that
  // reaches the end of the text never ends, and is not stored.
  Step TakeNumberRun(Level& level) {
    const char* stop = FindNumberEnd(at_ + 1, end_);
    token_.AppendText(at_, static_cast<std::size_t>(stop - at_));
    if (stop == end_) {
      at_ = stop - 1;
      return Step::kConsumed;
    }
    at_ = stop;
    EndScalar(level);
    return Step::kKept;
  }

  // ---------------------------------------------------------------- containers

  // A member's value or an array's element begins one level down, with this character.
  KESTREL_JSON_INLINE Step EnterChild(Level& level, int32_t done_state) {
    level.state = done_state;
    sink_.ChildStart(level_);
    if (++level_ > S::kMaxLevel) return Step::kEnded;
    levels_[level_] = {S::kValue, S::kSkipSpace};
    return Step::kKept;
  }
  // The value one level down has ended: it belongs to this level's container.
  KESTREL_JSON_INLINE Step ChildDone(Level& level, int32_t after_state) {
    sink_.Attach(level_);
    level.pending_state = after_state;
    level.state = S::kSkipSpace;
    return Step::kKept;
  }

  Step ElementStart(Level& level, char c) {
    if (c != ']') return EnterChild(level, S::kElementDone);
    level.pending_state = S::kDone;
    level.state = S::kSkipSpace;
    return Step::kConsumed;
  }

  Step AfterElement(Level& level, char c) {
    if (c != ',' && c != ']') return Fail(JsonStatus::kExpectedElementEnd);
    level.pending_state = c == ',' ? S::kElementStart : S::kDone;
    level.state = S::kSkipSpace;
    if constexpr (kFast) {
      if (c == ',') return EnterNextElement(level);
    }
    return Step::kConsumed;
  }
  // Fast: the next element's first character, found ahead, begins the element at once.
  Step EnterNextElement(Level& level) {
    const char* element = FindElementStart(at_ + 1, end_);
    if (element == nullptr) return Step::kConsumed;
    at_ = element;
    return EnterChild(level, S::kElementDone);
  }

  Step MemberStart(Level& level, char c) {
    if (c == '}') {
      level.state = S::kDone;
      return Step::kConsumed;
    }
    if (c != '"' && c != '\'') return Fail(JsonStatus::kExpectedMemberName);
    quote_ = c;
    token_.Clear();
    level.state = S::kMemberName;
    if constexpr (kFast) TakeWholeName(level);
    return Step::kConsumed;
  }
  // Fast: a name without backslashes, whole, as MemberName would take it after the quote.
  void TakeWholeName(Level& level) {
    const char* stop = FindQuoteOrBackslash(at_ + 1, end_, quote_);
    if (stop < end_ && *stop == quote_) {
      token_.AppendText(at_ + 1, static_cast<std::size_t>(stop - at_ - 1));
      EndName(level);
      at_ = stop;
    }
  }

  Step MemberName(Level& level, char c) {
    if (c == quote_) {
      EndName(level);
    } else if (c == '\\') {
      // Names are not unescaped: a backslash drops itself and what came before it, and the next
      // character is read as an ordinary one (or ends the name if it is the quote).
      token_.Clear();
    } else if constexpr (kFast) {
      TakeQuotedRun(level, true);
    } else {
      token_.AppendText(at_, 1);
    }
    return Step::kConsumed;
  }
  KESTREL_JSON_INLINE void EndName(Level& level) {
    sink_.MemberName(level_, token_);
    level.pending_state = S::kAfterName;
    level.state = S::kSkipSpace;
  }

  Step AfterName(Level& level, char c) {
    if (c != ':') return Fail(JsonStatus::kExpectedColon);
    level.pending_state = S::kMemberValueStart;
    level.state = S::kSkipSpace;
    return Step::kConsumed;
  }

  Step AfterMember(Level& level, char c) {
    if (c != ',' && c != '}') return Fail(JsonStatus::kExpectedMemberEnd);
    level.pending_state = c == ',' ? S::kMemberStart : S::kDone;
    level.state = S::kSkipSpace;
    if constexpr (kFast) {
      if (MemberHead head; c == ',' && FindMemberHead(at_ + 1, end_, head)) {
        return EnterMember(level, head);
      }
    }
    return Step::kConsumed;
  }
  // Fast: a member's head found whole ahead; what MemberStart, MemberName, AfterName and
  // MemberValueStart would do, in one step.
  KESTREL_JSON_INLINE Step EnterMember(Level& level, const MemberHead& head) {
    quote_ = head.quote;
    token_.Clear();
    token_.AppendText(head.name, head.name_length);
    sink_.MemberName(level_, token_);
    level.pending_state = S::kMemberValueStart;
    at_ = head.value;
    return EnterChild(level, S::kMemberDone);
  }

  const char* const text_;
  const char* at_;
  const char* const end_;
  int32_t level_;
  Level* const levels_;
  Sink& sink_;
  JsonToken token_;
  char quote_ = '"';
  const char* hex_begin_ = nullptr;
  std::size_t hex_length_ = 0;
  JsonStatus failure_ = JsonStatus::kOk;
};

}  // namespace machine

// Runs the state machine over length bytes (length >= 1) from level `level_index` on, with the
// sink's records of the levels (`Level(k)`, members state and pending_state) and its callbacks
// (see machine::Machine). Ok also when the text ends or nests too deep; a syntax failure says
// where, as an offset into text.
template <JsonPaths kPaths, typename Sink>
JsonParseResult RunJsonMachine(const char* text, std::size_t length, int32_t& level_index,
                               Sink& sink, CMvnString& token_buffer) {
  // The states are worked on in a compact copy, so that the loop keeps them in cache lines of
  // their own; the sink's records get them back.
  machine::Level levels[CMvnJson::kLevelCount];
  for (int32_t k = 0; k < CMvnJson::kLevelCount; ++k) {
    levels[k] = {sink.Level(k).pending_state, sink.Level(k).state};
  }
  machine::Machine<Sink, kPaths == JsonPaths::kFast> machine(text, length, level_index, levels,
                                                             sink, token_buffer);
  const JsonParseResult result = machine.Run();
  for (int32_t k = 0; k < CMvnJson::kLevelCount; ++k) {
    sink.Level(k).pending_state = levels[k].pending_state;
    sink.Level(k).state = levels[k].state;
  }
  level_index = machine.LevelIndex();
  return result;
}

}  // namespace kestrel::transport
