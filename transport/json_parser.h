// The device's JSON as a tree of nodes: a tolerant, character-driven state machine over a fixed
// stack of nesting levels (no recursion), with every node owned by the parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/mvn_base.h"
#include "common/mvn_list.h"
#include "common/mvn_string.h"

namespace kestrel::transport {

// The parser's shortcuts (whole runs, literals, member heads and element starts taken at once)
// can be turned off, leaving the state table character by character: the fuzz target and the
// tests hold the two against each other.
enum class JsonPaths { kFast, kPlain };

enum class JsonStatus : int32_t {
  kOk,
  kEmptyText,
  kExpectedElementEnd,  // after an array element, neither "," nor "]"
  kExpectedMemberName,  // at the start of a member, neither a quote nor "}"
  kExpectedColon,       // after a member name, no ":"
  kExpectedMemberEnd,   // after a member, neither "," nor "}"
  kNoRoot,              // nothing in the text can begin a value
  kNameTooLong,         // an element name too long for its one-line form
};

// What a parse or a conversion found wrong, and where. The module's own texts say only that it
// failed; this is for the programs that host it and for tests.
struct JsonParseResult {
  JsonStatus status = JsonStatus::kOk;
  // The byte offset of the character the failure was found at (for a conversion: in the text as
  // received, before the cleaning).
  std::size_t offset = 0;

  bool Ok() const { return status == JsonStatus::kOk; }
  // An English description of the status, for people.
  const char* Description() const;
};

}  // namespace kestrel::transport

// One value of the document: a container (object or array) or a scalar kept as written.
class CMvnJsonObject : public CMvnBase {
 public:
  static constexpr int32_t kContainer = 4;
  static constexpr int32_t kScalar = 6;

  CMvnJsonObject();
  ~CMvnJsonObject() override;

  void SetName(const CMvnString& name) { name_.Assign(name); }
  void SetValue(const CMvnString& value) { value_.Assign(value); }
  void SetValue(const char* text, std::size_t length) { value_.Assign(text, length); }
  void SetKind(int32_t kind) { kind_ = kind; }
  // Forgets the children (they stay with the parser's store) and empties name and value.
  void Clear();

  const CMvnString& Name() const { return name_; }
  const CMvnString& Value() const { return value_; }
  int32_t Kind() const { return kind_; }
  // The direct children in document order; not owned by the list.
  CMvnList* Children() { return &children_; }
  // Appends child to the children, linked through the child's own cell, so that building a tree
  // costs no heap block per link.
  void AppendChild(CMvnJsonObject* child);

  // Replaces out with the XML lines of this node's children (not of the node itself). On a name
  // too long for its line the output is left empty.
  CMvnString& ToXml(CMvnString& out);
  // Appends the XML lines of this node's children, which sit at nesting depth `depth` (1 for the
  // root's children). 0, or -1 when an element name is too long for its line.
  int32_t AppendXml(CMvnString& out, int32_t depth);

 private:
  CMvnString name_;
  CMvnString value_;
  int32_t kind_;
  // Held inline rather than on the heap: a document has thousands of nodes.
  CMvnList children_;
  // This node's link in its parent's children.
  CMvnListNode sibling_cell_;
};

// One nesting level of the parse.
class CMvnJsonTokenizer : public CMvnBase {
 public:
  CMvnJsonTokenizer();
  // Deletes a node still set in `object`: the parser clears these before its levels go.
  ~CMvnJsonTokenizer() override;

  int32_t pending_state;
  int32_t state;
  // The name given to this level's children.
  CMvnString name;
  // The container opened at this level, or the scalar last read here. Not owned.
  CMvnJsonObject* object;
};

class CMvnJson : public CMvnBase {
 public:
  // Values can nest this deep: the root at level 0, the deepest value at level kMaxLevel.
  static constexpr int32_t kMaxLevel = 32;
  static constexpr int32_t kLevelCount = 34;

  enum State : int32_t {
    kSkipSpace = 1,
    kValue = 2,
    kDone = 3,
    kNullLiteral = 4,
    kStringChars = 9,
    kStringEscape = 10,
    kUnicodeDigits = 11,
    kBoolLiteral = 12,
    kNumberChars = 13,
    kElementStart = 14,
    kElementDone = 15,
    kAfterElement = 16,
    kMemberStart = 17,
    kMemberName = 18,
    kAfterName = 19,
    kMemberValueStart = 20,
    kMemberDone = 21,
    kAfterMember = 22,
  };

  CMvnJson();
  ~CMvnJson() override;

  // Back to the initial state, deleting every node.
  void Reset();
  // Builds the tree from a NUL-terminated text. -1 for a null or empty text and for the syntax
  // failures (after an element, a member start, a member name or a member); 0 otherwise, also
  // when the text ends early or nests too deep (the tree then holds what was complete).
  int32_t Parse(const char* text);
  int32_t Parse(const char* text, kestrel::transport::JsonPaths paths);
  // The status and offset of the last Parse.
  const kestrel::transport::JsonParseResult& Result() const { return result_; }
  // The node of the outermost value, or null.
  CMvnJsonObject* GetRoot() const { return levels_[0].object; }
  // Every node the parse made.
  uint32_t NodeCount() const { return static_cast<uint32_t>(nodes_.size()); }

 private:
  struct TreeSink;
  CMvnJsonObject* NewObject();
  // Destroys every node, in creation order (parents before their children).
  void DeleteNodes();

  CMvnJsonTokenizer levels_[kLevelCount];
  // Every node the parse made, owned here. One heap block each: the tree serves the tests and the
  // fuzz target as the conversion's reference, not a load.
  std::vector<std::unique_ptr<CMvnJsonObject>> nodes_;
  int32_t level_;
  kestrel::transport::JsonParseResult result_;
};
