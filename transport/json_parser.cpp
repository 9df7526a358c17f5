#include "transport/json_parser.h"

#include <cstring>
#include <limits>
#include <new>

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

// Whether the m bytes at text spell the lower-case word, ASCII letter case ignored.
bool IsWordNoCase(const char* text, const char* word, std::size_t m) {
  for (std::size_t k = 0; k < m; ++k) {
    char c = text[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != word[k]) return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------------ CMvnJsonObject

CMvnJsonObject::CMvnJsonObject()
    : CMvnBase("CMvnJsonObject"),
      kind_(kContainer),
      children_(0),
      sibling_cell_(nullptr, nullptr) {}

CMvnJsonObject::~CMvnJsonObject() {
  // Emptying name and value first would only cost time: the child list unlinks the children as
  // it goes, and nothing else outlives the node.
}

void CMvnJsonObject::AppendChild(CMvnJsonObject* child) {
  // A node is linked once; should one ever come again, it gets a cell of its own rather than
  // relinking (and so cutting off) the list its cell already sits in.
  if (child->sibling_cell_.borrowed) {
    children_.Append(child);
  } else {
    children_.AppendCell(&child->sibling_cell_, child);
  }
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

CMvnJsonObject* CMvnJson::NodeBlock::Slot(uint32_t index) {
  return reinterpret_cast<CMvnJsonObject*>(this + 1) + index;
}

CMvnJson::CMvnJson()
    : CMvnBase("CMvnJson"), first_block_(nullptr), last_block_(nullptr), node_count_(0), level_(0) {
  Reset();
}

CMvnJson::~CMvnJson() {
  Reset();
}

void CMvnJson::Reset() {
  level_ = 0;
  levels_[0].state = kSkipSpace;
  levels_[0].pending_state = kValue;
  DeleteNodes();
  for (int32_t k = 0; k <= kMaxLevel; ++k) levels_[k].object = nullptr;
}

void CMvnJson::DeleteNodes() {
  // Parents were made before their children, so a parent unlinks its children's cells while they
  // still exist.
  NodeBlock* block = first_block_;
  while (block != nullptr) {
    for (uint32_t k = 0; k < block->used; ++k) block->Slot(k)->~CMvnJsonObject();
    NodeBlock* next = block->next;
    ::operator delete(block);
    block = next;
  }
  first_block_ = last_block_ = nullptr;
  node_count_ = 0;
}

CMvnJson::NodeBlock* CMvnJson::AddBlock() {
  static_assert(sizeof(NodeBlock) % alignof(CMvnJsonObject) == 0, "nodes follow the header");
  uint32_t capacity = kFirstBlockNodes;
  if (last_block_ != nullptr && last_block_->capacity < kLargestBlockNodes) {
    capacity = last_block_->capacity * 2;
  } else if (last_block_ != nullptr) {
    capacity = kLargestBlockNodes;
  }
  void* memory = ::operator new(sizeof(NodeBlock) + capacity * sizeof(CMvnJsonObject));
  NodeBlock* block = static_cast<NodeBlock*>(memory);
  block->next = nullptr;
  block->capacity = capacity;
  block->used = 0;
  if (last_block_ == nullptr) {
    first_block_ = block;
  } else {
    last_block_->next = block;
  }
  last_block_ = block;
  return block;
}

CMvnJsonObject* CMvnJson::NewObject() {
  NodeBlock* block = last_block_;
  if (block == nullptr || block->used == block->capacity) block = AddBlock();
  CMvnJsonObject* node = new (block->Slot(block->used)) CMvnJsonObject();
  ++block->used;
  ++node_count_;
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

  // The level moves only where a value opens or ends; each such place stops when it leaves the
  // stack, exactly as a check before every character would.
  if (level_ < 0 || level_ > kMaxLevel) return 0;
  for (;;) {
    CMvnJsonTokenizer& level = levels_[level_];
    if (level.state == kSkipSpace) {
      // Most states hand over through SkipSpace: the run of space is skipped here and the pending
      // state applies to the character after it, without a round through the switch.
      while (IsJsonSpace(*at)) {
        if (++at == end) return 0;
      }
      level.state = level.pending_state;
    }
    // The hand-overs that apply to any character, taken here rather than each by a round through
    // the switch: they are what most characters of a document lead to, and the switch's single
    // jump predicts them badly.
    if (level.state == kDone) {
      // A value has ended: up to the enclosing level, which attaches it and waits for what follows.
      completed = level.object;
      level.state = kSkipSpace;
      level.pending_state = kValue;
      if (--level_ < 0) return 0;
      CMvnJsonTokenizer& parent = levels_[level_];
      if (parent.state == kElementDone || parent.state == kMemberDone) {
        if (completed != nullptr && parent.object != nullptr) {
          if (!parent.name.IsEmpty()) completed->SetName(parent.name);
          parent.object->AppendChild(completed);
        }
        parent.pending_state = parent.state == kElementDone ? kAfterElement : kAfterMember;
        parent.state = kSkipSpace;
      }
      continue;
    }
    if (level.state == kMemberValueStart || (level.state == kElementStart && *at != ']')) {
      // A member's value or an array's element begins one level down.
      level.state = level.state == kMemberValueStart ? kMemberDone : kElementDone;
      if (++level_ > kMaxLevel) return 0;
      levels_[level_].state = kSkipSpace;
      levels_[level_].pending_state = kValue;
      continue;
    }
    const char c = *at;
    bool consumed = true;

    switch (level.state) {
      case kSkipSpace:
        if (IsJsonSpace(c)) {
          // The whole run of space at once.
          while (++at != end && IsJsonSpace(*at)) {
          }
          if (at == end) return 0;
        }
        level.state = level.pending_state;
        consumed = false;
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
          if (c == '[') {
            level.name.Assign("item", 4);
          } else {
            level.name.Assign("object", 6);
          }
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
        if (--level_ < 0) return 0;
        consumed = false;
        break;

      case kNullLiteral:
        // A literal spelled out in full is taken at once; anything else goes letter by letter.
        if (token.IsEmpty() && end - at >= 4 && IsWordNoCase(at, "null", 4)) {
          token.Assign(at, 4);
          at += 3;
          level.object = NewValue(token);
          level.pending_state = kDone;
          level.state = kSkipSpace;
          break;
        }
        token.AppendChar(c);
        if (EndsWithNoCase(token, "null", 4)) {
          level.object = NewValue(token);
          level.pending_state = kDone;
          level.state = kSkipSpace;
        }
        break;

      case kBoolLiteral:
        if (token.IsEmpty()) {
          // No shorter start of "true" or "false" contains either word, so a literal spelled out
          // in full ends where the word does.
          const bool is_true = c == 't' || c == 'T';
          const std::ptrdiff_t m = is_true ? 4 : 5;
          if (end - at >= m &&
              IsWordNoCase(at, is_true ? "true" : "false", static_cast<std::size_t>(m))) {
            token.Assign(at, static_cast<std::size_t>(m));
            at += m - 1;
            level.object = NewValue(token);
            level.pending_state = kDone;
            level.state = kSkipSpace;
            break;
          }
        }
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
          // Take the whole run up to the next quote or backslash at once, and a closing quote
          // right after it too.
          const char* stop = at + 1;
          while (stop < end && *stop != quote && *stop != '\\') ++stop;
          token.Append(at, static_cast<std::size_t>(stop - at));
          if (stop < end && *stop == quote) {
            level.object = NewValue(token);
            level.pending_state = kDone;
            level.state = kSkipSpace;
            at = stop;
          } else {
            at = stop - 1;
          }
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
          // The whole run of number characters at once; a run that reaches the end is never
          // stored.
          const char* stop = at + 1;
          while (stop < end && IsNumberChar(*stop)) ++stop;
          token.Append(at, static_cast<std::size_t>(stop - at));
          at = stop - 1;
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
          if (++level_ > kMaxLevel) return 0;
          levels_[level_].state = kSkipSpace;
          levels_[level_].pending_state = kValue;
          consumed = false;
        }
        break;

      case kMemberValueStart:
        level.state = kMemberDone;
        if (++level_ > kMaxLevel) return 0;
        levels_[level_].state = kSkipSpace;
        levels_[level_].pending_state = kValue;
        consumed = false;
        break;

      case kElementDone:
      case kMemberDone:
        if (completed != nullptr && level.object != nullptr) {
          if (!level.name.IsEmpty()) completed->SetName(level.name);
          level.object->AppendChild(completed);
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
          if (stop < end && *stop == quote) {
            level.name.Assign(token);
            level.pending_state = kAfterName;
            level.state = kSkipSpace;
            at = stop;
          } else {
            at = stop - 1;
          }
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
