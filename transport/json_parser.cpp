#include "transport/json_parser.h"

#include <cstring>
#include <limits>

namespace {

inline bool IsJsonSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool IsNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
}

inline bool IsLowerHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Whether text ends with the lower-case word, ASCII letter case ignored. A literal's token is
// tested after every character, so the first time it contains the word the word ends it: testing
// the end keeps a long run of junk after a "t" linear.
bool EndsWithNoCase(const CMvnString& text, const char* word, std::size_t m) {
  if (text.Length() < m) return false;
  const char* tail = text.Text() + text.Length() - m;
  for (std::size_t k = 0; k < m; ++k) {
    char c = tail[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != word[k]) return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------------ CMvnJsonObject

CMvnJsonObject::CMvnJsonObject() : CMvnBase("CMvnJsonObject"), kind_(kContainer), children_(0) {}

CMvnJsonObject::~CMvnJsonObject() {
  Clear();
}

void CMvnJsonObject::Clear() {
  children_.RemoveAll();
  name_.Assign("", 0);
  value_.Assign("", 0);
}

// ------------------------------------------------------------------ CMvnJsonTokenizer

CMvnJsonTokenizer::CMvnJsonTokenizer()
    : CMvnBase(""), pending_state(CMvnJson::kValue), state(CMvnJson::kSkipSpace), object(nullptr) {}

CMvnJsonTokenizer::~CMvnJsonTokenizer() {
  delete object;
}

// ------------------------------------------------------------------ CMvnJson

CMvnJson::CMvnJson() : CMvnBase("CMvnJson"), store_(1), level_(0) {
  Reset();
}

CMvnJson::~CMvnJson() {
  Reset();
}

void CMvnJson::Reset() {
  level_ = 0;
  levels_[0].state = kSkipSpace;
  levels_[0].pending_state = kValue;
  store_.RemoveAll();
  for (int32_t k = 0; k <= kMaxLevel; ++k) levels_[k].object = nullptr;
}

CMvnJsonObject* CMvnJson::NewObject() {
  CMvnJsonObject* node = new CMvnJsonObject();
  // Nodes never compare equal, so the store skips the equality walk and stays linear.
  store_.Append(node);
  return node;
}

CMvnJsonObject* CMvnJson::NewValue(CMvnString& text) {
  CMvnJsonObject* node = NewObject();
  node->SetKind(CMvnJsonObject::kScalar);
  node->TakeValue(text);
  return node;
}

int32_t CMvnJson::Parse(const char* text) {
  if (text == nullptr) return -1;
  const std::size_t length = std::strlen(text);
  if (length < 1 || length > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    return -1;
  }
  const char* at = text;
  const char* const end = text + length;

  CMvnString token;
  CMvnString hex_digits;
  char quote = '"';
  CMvnJsonObject* completed = nullptr;

  for (;;) {
    if (level_ < 0 || level_ > kMaxLevel) return 0;
    CMvnJsonTokenizer& level = levels_[level_];
    const char c = *at;
    bool consumed = true;

    switch (level.state) {
      case kSkipSpace:
        if (!IsJsonSpace(c)) {
          level.state = level.pending_state;
          consumed = false;
        }
        break;

      case kValue:
        if (c == '"' || c == '\'') {
          token.Assign("", 0);
          quote = c;
          level.state = kStringChars;
        } else if ((c >= '0' && c <= '9') || c == '-') {
          token.Assign("", 0);
          level.state = kNumberChars;
          consumed = false;
        } else if (c == 't' || c == 'T' || c == 'f' || c == 'F') {
          token.Assign("", 0);
          level.state = kBoolLiteral;
          consumed = false;
        } else if (c == 'n' || c == 'N') {
          token.Assign("", 0);
          level.state = kNullLiteral;
          consumed = false;
        } else if (c == '[' || c == '{') {
          level.name.Assign(c == '[' ? "item" : "object");
          level.object = NewObject();
          level.pending_state = c == '[' ? kElementStart : kMemberStart;
          level.state = kSkipSpace;
        }
        // Anything else cannot begin a value and is skipped.
        break;

      case kDone:
        completed = level.object;
        level.state = kSkipSpace;
        level.pending_state = kValue;
        --level_;
        consumed = false;
        break;

      case kNullLiteral:
        token.AppendChar(c);
        if (EndsWithNoCase(token, "null", 4)) {
          level.object = NewValue(token);
          level.pending_state = kDone;
          level.state = kSkipSpace;
        }
        break;

      case kBoolLiteral:
        token.AppendChar(c);
        if (EndsWithNoCase(token, "true", 4) || EndsWithNoCase(token, "false", 5)) {
          level.object = NewValue(token);
          level.pending_state = kDone;
          level.state = kSkipSpace;
        }
        break;

      case kStringChars:
        if (c == quote) {
          level.object = NewValue(token);
          level.pending_state = kDone;
          level.state = kSkipSpace;
        } else if (c == '\\') {
          level.pending_state = kStringChars;
          level.state = kStringEscape;
        } else {
          // Take the whole run up to the next quote or backslash at once.
          const char* stop = at + 1;
          while (stop < end && *stop != quote && *stop != '\\') ++stop;
          token.Append(at, static_cast<std::size_t>(stop - at));
          at = stop - 1;
        }
        break;

      case kStringEscape:
        switch (c) {
          case '"':
          case '/':
          case '\\':
            token.AppendChar(c);
            level.state = level.pending_state;
            break;
          case 'b':
            token.AppendChar('\b');
            level.state = level.pending_state;
            break;
          case 'n':
            token.AppendChar('\n');
            level.state = level.pending_state;
            break;
          case 'r':
            token.AppendChar('\r');
            level.state = level.pending_state;
            break;
          case 't':
            token.AppendChar('\t');
            level.state = level.pending_state;
            break;
          case 'u':
            hex_digits.Assign("", 0);
            level.state = kUnicodeDigits;
            break;
          default:
            // An unknown escape letter is dropped and the next character is read as the escape
            // letter instead; the parse goes on.
            break;
        }
        break;

      case kUnicodeDigits:
        if (IsLowerHexDigit(c)) {
          hex_digits.AppendChar(c);
        } else {
          token.Append("&#x", 3);
          token.Append(hex_digits);
          token.AppendChar(';');
          level.state = level.pending_state;
          consumed = false;
        }
        break;

      case kNumberChars:
        if (IsNumberChar(c)) {
          token.AppendChar(c);
        } else {
          level.object = NewValue(token);
          level.pending_state = kDone;
          level.state = kSkipSpace;
          consumed = false;
        }
        break;

      case kElementStart:
        if (c == ']') {
          level.pending_state = kDone;
          level.state = kSkipSpace;
        } else {
          level.state = kElementDone;
          ++level_;
          levels_[level_].state = kSkipSpace;
          levels_[level_].pending_state = kValue;
          consumed = false;
        }
        break;

      case kMemberValueStart:
        level.state = kMemberDone;
        ++level_;
        levels_[level_].state = kSkipSpace;
        levels_[level_].pending_state = kValue;
        consumed = false;
        break;

      case kElementDone:
      case kMemberDone:
        if (completed != nullptr && level.object != nullptr) {
          if (!level.name.IsEmpty()) completed->SetName(level.name);
          // Children never compare equal either.
          level.object->Children()->Append(completed);
        }
        level.pending_state = level.state == kElementDone ? kAfterElement : kAfterMember;
        level.state = kSkipSpace;
        consumed = false;
        break;

      case kAfterElement:
        if (c == ',') {
          level.pending_state = kElementStart;
        } else if (c == ']') {
          level.pending_state = kDone;
        } else {
          return -1;
        }
        level.state = kSkipSpace;
        break;

      case kMemberStart:
        if (c == '"' || c == '\'') {
          quote = c;
          token.Assign("", 0);
          level.state = kMemberName;
        } else if (c == '}') {
          level.state = kDone;
        } else {
          return -1;
        }
        break;

      case kMemberName:
        if (c == quote) {
          level.name.Assign(token);
          level.pending_state = kAfterName;
          level.state = kSkipSpace;
        } else if (c == '\\') {
          // Names are not unescaped: a backslash drops itself and what came before it, and the
          // next character is read as an ordinary one (or ends the name if it is the quote).
          token.Assign("", 0);
        } else {
          const char* stop = at + 1;
          while (stop < end && *stop != quote && *stop != '\\') ++stop;
          token.Append(at, static_cast<std::size_t>(stop - at));
          at = stop - 1;
        }
        break;

      case kAfterName:
        if (c != ':') return -1;
        level.pending_state = kMemberValueStart;
        level.state = kSkipSpace;
        break;

      case kAfterMember:
        if (c == ',') {
          level.pending_state = kMemberStart;
        } else if (c == '}') {
          level.pending_state = kDone;
        } else {
          return -1;
        }
        level.state = kSkipSpace;
        break;

      default:
        // Not reachable: every state a level can hold is handled above.
        return -1;
    }

    if (consumed && ++at == end) return 0;
  }
}
