#include "transport/json_parser.h"

#include <cstring>
#include <limits>
#include <new>

#include "transport/json_machine.h"

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

CMvnJson::CMvnJson() : CMvnBase("CMvnJson"), level_(0) {
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
  for (std::unique_ptr<CMvnJsonObject>& node : nodes_) node.reset();
  nodes_.clear();
}

CMvnJsonObject* CMvnJson::NewObject() {
  nodes_.push_back(std::make_unique<CMvnJsonObject>());
  return nodes_.back().get();
}

// Builds the tree: every value becomes a node of the store, attached to its container's children
// once it is complete.
struct CMvnJson::TreeSink {
  CMvnJson& parser;

  CMvnJsonTokenizer& Level(int32_t k) { return parser.levels_[k]; }
  void OpenContainer(int32_t k, bool array) {
    CMvnJsonTokenizer& level = parser.levels_[k];
    if (array) {
      level.name.Assign("item", 4);
    } else {
      level.name.Assign("object", 6);
    }
    level.object = parser.NewObject();
  }
  void MemberName(int32_t k, const kestrel::transport::JsonToken& token) {
    parser.levels_[k].name.Assign(token.Data(), token.Size());
  }
  void Scalar(int32_t k, const kestrel::transport::JsonToken& token) {
    CMvnJsonObject* node = parser.NewObject();
    node->SetKind(CMvnJsonObject::kScalar);
    node->SetValue(token.Data(), token.Size());
    parser.levels_[k].object = node;
  }
  void ChildStart(int32_t /*k*/) {}
  void Attach(int32_t k) {
    CMvnJsonObject* completed = parser.levels_[k + 1].object;
    CMvnJsonTokenizer& level = parser.levels_[k];
    if (completed != nullptr && level.object != nullptr) {
      if (!level.name.IsEmpty()) completed->SetName(level.name);
      level.object->AppendChild(completed);
    }
  }
};

int32_t CMvnJson::Parse(const char* text) {
  return Parse(text, kestrel::transport::JsonPaths::kFast);
}

int32_t CMvnJson::Parse(const char* text, kestrel::transport::JsonPaths paths) {
  using kestrel::transport::JsonPaths;
  using kestrel::transport::JsonStatus;
  result_ = {};
  const std::size_t length = text != nullptr ? std::strlen(text) : 0;
  if (length < 1 || length > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    result_.status = JsonStatus::kEmptyText;
    return -1;
  }
  CMvnString token_buffer;
  TreeSink sink{*this};
  result_ = paths == JsonPaths::kFast ? kestrel::transport::RunJsonMachine<JsonPaths::kFast>(
                                            text, length, level_, sink, token_buffer)
                                      : kestrel::transport::RunJsonMachine<JsonPaths::kPlain>(
                                            text, length, level_, sink, token_buffer);
  return result_.Ok() ? 0 : -1;
}

namespace kestrel::transport {

const char* JsonParseResult::Description() const {
  switch (status) {
    case JsonStatus::kOk:
      return "no error";
    case JsonStatus::kEmptyText:
      return "the text is empty";
    case JsonStatus::kExpectedElementEnd:
      return "expected ',' or ']' after an array element";
    case JsonStatus::kExpectedMemberName:
      return "expected a quoted member name or '}'";
    case JsonStatus::kExpectedColon:
      return "expected ':' after a member name";
    case JsonStatus::kExpectedMemberEnd:
      return "expected ',' or '}' after a member";
    case JsonStatus::kNoRoot:
      return "no value begins anywhere in the text";
    case JsonStatus::kNameTooLong:
      return "a member name is too long for its element";
  }
  return "unknown status";
}

}  // namespace kestrel::transport
