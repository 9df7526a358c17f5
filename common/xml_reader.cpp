#include "common/xml_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/kept_memory.h"

using kestrel::platform::WChar;
using kestrel::platform::XmlDomNode;

namespace kestrel::xml {
namespace {

bool EqualNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a;
    char y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

XmlDomNode* FirstChildOf(XmlDomNode* node) {
  XmlDomNode* child = nullptr;
  if (node->GetFirstChild(&child) != 0) return nullptr;
  return child;
}

XmlDomNode* NextSiblingOf(XmlDomNode* node) {
  XmlDomNode* sibling = nullptr;
  if (node->GetNextSibling(&sibling) != 0) return nullptr;
  return sibling;
}

}  // namespace
}  // namespace kestrel::xml

using namespace kestrel::xml;  // NOLINT(google-build-using-namespace): this file's own helpers

void CMvnXmlAttributes::AddAttribute(const char* name, const char* value) {
  // Attributes never compare equal (base IsEqual), so appending skips the quadratic check.
  Append(new CMvnXmlAttribute(name, value));
}

CMvnXmlElement::CMvnXmlElement(const char* path) : CMvnList(1), path_(path) {}

CMvnXmlElement::CMvnXmlElement(const char* path, std::size_t length) : CMvnList(1) {
  path_.Assign(path, length);
}

void CMvnXmlElement::AddText(const char* parent_path, const char* text) {
  if (parent_path == nullptr) parent_path = "";
  if (text == nullptr) text = "";
  const char* slash = std::strrchr(parent_path, '/');
  const char* name = slash != nullptr ? slash + 1 : parent_path;
  AddNamedText(name, std::strlen(name), text, std::strlen(text));
}

void CMvnXmlElement::AddNamedText(const char* name, std::size_t name_length, const char* text,
                                  std::size_t text_length) {
  // The value is the whole text, "/" included: labels such as "Rack/12" and the device's date
  // ("12/05/26 14:03:07") must reach the device document intact.
  auto* entry = new CMvnXmlTextElement(name, name_length, text, text_length);
  AppendCell(&entry->cell, entry);
}

int32_t CMvnXmlElement::GetValue(const char* name, CMvnString& out) {
  if (name == nullptr) name = "";
  for (CMvnBase* item = GetFirst(); item != nullptr; item = GetNext()) {
    auto* entry = static_cast<CMvnXmlTextElement*>(item);
    if (EqualNoCase(entry->name.Text(), name)) {
      out.Assign(entry->value);
      return 1;
    }
  }
  out.Assign("");
  return 0;
}

namespace {

bool g_fast_reading = true;

// FNV-1a over a path, continued step by step from the parent's path.
constexpr uint64_t kPathHashStart = 14695981039346656037ull;
uint64_t ContinuePathHash(uint64_t hash, const char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    hash ^= static_cast<unsigned char>(bytes[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

void CMvnXmlDoc::UseFastReading(bool use) {
  g_fast_reading = use;
}

// The loaded document's nodes below the document element, in document order, as the walks need
// them: read from the DOM once per loaded document, however many paths are collected from it.
struct CMvnXmlDoc::Snapshot {
  struct Node {
    enum Kind : uint8_t { kElement, kText, kOther };
    Kind kind;
    // 0 for the document element's children.
    uint32_t depth;
    // The element's name or the text node's text, in the text store.
    std::size_t text_offset;
    std::size_t text_length;
    // The element's attributes, as name/value pairs in the text store.
    uint32_t first_attribute;
    uint32_t attribute_count;
    // The element's whole path: its length and hash, so that a walk finds where it may start.
    std::size_t path_length;
    uint64_t path_hash;
  };
  // What a walk knows of the parent at each depth: its path is the first `length` bytes of the
  // walk's path, its last step starts at name_start, and contains says whether it holds the
  // wanted path.
  struct Parent {
    std::size_t length;
    std::size_t name_start;
    bool contains;
  };

  std::vector<Node> nodes;
  // Names, texts and attributes one after another, each followed by a NUL: one block for the
  // whole document.
  std::string text;
  std::vector<std::size_t> attributes;  // name offset, name length, value offset, value length
  bool read = false;
  // Kept from one walk to the next.
  std::string path;
  std::vector<Parent> parents;
  std::vector<std::size_t> ancestors;

  std::size_t Store(const char* piece, std::size_t length) {
    const std::size_t offset = text.size();
    text.append(piece, length);
    text.push_back('\0');
    return offset;
  }
};

class CMvnXmlDoc::SnapshotWriter final : public kestrel::platform::XmlTreeReader {
 public:
  explicit SnapshotWriter(Snapshot& snapshot) : snapshot_(snapshot) {}

  void Element(uint32_t depth, const char* name, std::size_t length) override {
    const Path parent = ParentAt(depth);
    const Path own{parent.length + 1 + length,
                   ContinuePathHash(ContinuePathHash(parent.hash, "/", 1), name, length)};
    snapshot_.nodes.push_back(Snapshot::Node{
        Snapshot::Node::kElement, depth, snapshot_.Store(name, length), length,
        static_cast<uint32_t>(snapshot_.attributes.size() / 4), 0, own.length, own.hash});
    paths_[depth + 1] = own;
  }
  void Attribute(const char* name, std::size_t name_length, const char* value,
                 std::size_t value_length) override {
    if (snapshot_.nodes.empty() || snapshot_.nodes.back().kind != Snapshot::Node::kElement) return;
    snapshot_.attributes.push_back(snapshot_.Store(name, name_length));
    snapshot_.attributes.push_back(name_length);
    snapshot_.attributes.push_back(snapshot_.Store(value, value_length));
    snapshot_.attributes.push_back(value_length);
    ++snapshot_.nodes.back().attribute_count;
  }
  void Text(uint32_t depth, const char* text, std::size_t length) override {
    paths_[depth + 1] = ParentAt(depth);
    snapshot_.nodes.push_back(Snapshot::Node{Snapshot::Node::kText, depth,
                                             snapshot_.Store(text, length), length, 0, 0, 0, 0});
  }
  void Other(uint32_t depth) override {
    paths_[depth + 1] = ParentAt(depth);
    snapshot_.nodes.push_back(Snapshot::Node{Snapshot::Node::kOther, depth, 0, 0, 0, 0, 0, 0});
  }

 private:
  struct Path {
    std::size_t length;
    uint64_t hash;
  };

  // The path of the parent of a node at depth (a node other than an element leaves it as it is),
  // with room made for the node's own children.
  Path ParentAt(uint32_t depth) {
    if (paths_.size() < depth + 2) paths_.resize(depth + 2);
    return paths_[depth];
  }

  Snapshot& snapshot_;
  std::vector<Path> paths_{Path{0, kPathHashStart}};
};

CMvnXmlDoc::CMvnXmlDoc()
    : CMvnBase("CMvnXmlDoc"),
      document_(nullptr),
      root_(nullptr),
      initialized_(0),
      com_initialized_(0),
      snapshot_(nullptr) {}

CMvnXmlDoc::~CMvnXmlDoc() {
  // Not virtual dispatch on purpose: a derived part is already gone here.
  CMvnXmlDoc::Uninitialize();
  DropSnapshot();
}

#if defined(KESTREL_KEEP_MEMORY)
namespace {

// One snapshot per thread waits for the next document with the room its buffers had, unless a
// big document made them big.
constexpr std::size_t kKeptSnapshotBytes = 64 * 1024;

}  // namespace
#endif

CMvnXmlDoc::Snapshot* CMvnXmlDoc::TakeSnapshot() {
#if defined(KESTREL_KEEP_MEMORY)
  if (Snapshot* kept = SpareSnapshot().release()) return kept;
#endif
  auto snapshot = std::make_unique<Snapshot>();
  // Room for a device document at once, rather than a regrowth at every power of two.
  snapshot->nodes.reserve(128);
  snapshot->text.reserve(2048);
  return snapshot.release();
}

void CMvnXmlDoc::GiveSnapshot(Snapshot* snapshot) {
  if (snapshot == nullptr) return;
#if defined(KESTREL_KEEP_MEMORY)
  std::unique_ptr<Snapshot>& spare = SpareSnapshot();
  const std::size_t bytes = snapshot->nodes.capacity() * sizeof(Snapshot::Node) +
                            snapshot->text.capacity() +
                            snapshot->attributes.capacity() * sizeof(std::size_t);
  if (spare == nullptr && bytes <= kKeptSnapshotBytes) {
    snapshot->nodes.clear();
    snapshot->text.clear();
    snapshot->attributes.clear();
    snapshot->read = false;
    spare.reset(snapshot);
    return;
  }
#endif
  delete snapshot;
}

#if defined(KESTREL_KEEP_MEMORY)
std::unique_ptr<CMvnXmlDoc::Snapshot>& CMvnXmlDoc::SpareSnapshot() {
  thread_local std::unique_ptr<Snapshot> spare;
  return spare;
}
#endif

void CMvnXmlDoc::DropSnapshot() {
  GiveSnapshot(snapshot_);
  snapshot_ = nullptr;
}

int32_t CMvnXmlDoc::Initialize(int32_t initialize_com, const char* trace_file) {
  if (initialized_ != 0) return 0;
  SetTraceFile(trace_file);
  if (initialize_com != 0) {
    if (kestrel::platform::ComInitializeMultithreaded() < 0) {
      Trace(TRACE_TO_FILE, "COM Interface failed to initialize\n");
      return -1;
    }
    Trace(TRACE_TO_FILE, "COM Interface initialized\n");
    com_initialized_ = 1;
  } else {
    Trace(TRACE_TO_FILE, "No CoInitialize required\n");
  }
  if (kestrel::platform::CreateXmlDomDocument(&document_) < 0 || document_ == nullptr) {
    document_ = nullptr;
    Trace(TRACE_TO_FILE, "CoCreateInstance failed\n");
    if (com_initialized_ != 0) {
      kestrel::platform::ComUninitialize();
      com_initialized_ = 0;
    }
    return -1;
  }
  document_->SetAsync(false);
  initialized_ = 1;
  return 0;
}

void CMvnXmlDoc::Uninitialize() {
  if (initialized_ == 0) return;
  if (document_ != nullptr) {
    document_->Release();
    document_ = nullptr;
  }
  if (root_ != nullptr) {
    root_->Release();
    root_ = nullptr;
  }
  DropSnapshot();
  if (com_initialized_ != 0) {
    kestrel::platform::ComUninitialize();
    com_initialized_ = 0;
  }
  initialized_ = 0;
}

int32_t CMvnXmlDoc::LoadXml(const char* text) {
  if (initialized_ == 0 || document_ == nullptr || text == nullptr) return -1;
  bool well_formed = false;
  // A failing DOM call is a failed load here: nothing in this code base lets exceptions through.
  if (document_->LoadAnsiXml(text, &well_formed) < 0 || !well_formed) return -1;
  if (root_ != nullptr) {
    root_->Release();
    root_ = nullptr;
  }
  DropSnapshot();
  if (document_->GetDocumentElement(&root_) != 0 || root_ == nullptr) {
    root_ = nullptr;
    return -1;
  }
  return 0;
}

int32_t CMvnXmlDoc::CollectElements(CMvnXmlElements& elements) {
  if (initialized_ == 0 || document_ == nullptr || root_ == nullptr) return -1;
  if (snapshot_ == nullptr) {
    snapshot_ = TakeSnapshot();
    XmlDomNode* first = FirstChildOf(root_);
    if (first != nullptr) {
      // Released also when the read runs out of memory half-way.
      const std::unique_ptr<XmlDomNode, void (*)(XmlDomNode*)> held(
          first, [](XmlDomNode* node) { node->Release(); });
      Read(first);
      snapshot_->read = true;
    }
  }
  if (!snapshot_->read) return -1;
  Walk(elements);
  return 0;
}

void CMvnXmlDoc::Read(XmlDomNode* start) {
  Assert(start != nullptr ? 1 : 0, __FILE__, __LINE__);
  if (start == nullptr) return;
  SnapshotWriter writer(*snapshot_);
  if (g_fast_reading && start->ReadTree(writer) != kestrel::platform::kXmlTreeNotOffered) {
    return;
  }
  ReadNodeByNode(start, writer);
}

// Depth first in document order (a node, its descendants, then its following siblings), with an
// explicit stack so that no document, however deep, can exhaust the call stack. The stack holds at
// most one pending sibling per level.
void CMvnXmlDoc::ReadNodeByNode(XmlDomNode* start, kestrel::platform::XmlTreeReader& reader) {
  std::basic_string<WChar> wide;
  CMvnString text;
  CMvnString value;
  auto read = [&wide](XmlDomNode* node, int32_t (XmlDomNode::*getter)(std::basic_string<WChar>&),
                      CMvnString& out) {
    if ((node->*getter)(wide) < 0) wide.clear();
    out.AssignWide(wide.c_str());
  };
  struct Pending {
    XmlDomNode* node;
    uint32_t depth;
  };
  std::vector<Pending> pending;
  pending.reserve(16);
  // The start node belongs to the caller; everything fetched here is released here.
  XmlDomNode* borrowed = start;
  pending.push_back(Pending{start, 0});
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    XmlDomNode* node = current.node;
    kestrel::platform::XmlNodeKind kind = kestrel::platform::XmlNodeKind::kOther;
    if (node->GetNodeKind(&kind) < 0) kind = kestrel::platform::XmlNodeKind::kOther;
    if (kind == kestrel::platform::XmlNodeKind::kElement) {
      read(node, &XmlDomNode::ReadNodeName, text);
      reader.Element(current.depth, text.Text(), text.Length());
      int32_t count = 0;
      if (node->GetAttributeCount(&count) == 0 && count > 0) {
        for (int32_t index = 0; index < count; ++index) {
          XmlDomNode* item = nullptr;
          if (node->GetAttribute(index, &item) != 0 || item == nullptr) continue;
          read(item, &XmlDomNode::ReadNodeName, text);
          read(item, &XmlDomNode::ReadText, value);
          reader.Attribute(text.Text(), text.Length(), value.Text(), value.Length());
          item->Release();
        }
      }
    } else if (kind == kestrel::platform::XmlNodeKind::kText) {
      read(node, &XmlDomNode::ReadText, text);
      reader.Text(current.depth, text.Text(), text.Length());
    } else {
      reader.Other(current.depth);
    }

    // The sibling goes below the child on the stack, so the whole subtree comes first.
    if (XmlDomNode* sibling = NextSiblingOf(node)) {
      pending.push_back(Pending{sibling, current.depth});
    }
    if (XmlDomNode* child = FirstChildOf(node)) {
      pending.push_back(Pending{child, current.depth + 1});
    }
    if (node != borrowed) node->Release();
  }
}

// Each step of the path is searched for the collected path only once, so the walk stays linear in
// the document. Texts are named after the element that directly holds them; nodes other than
// elements leave the path as it is for what lies below them. The path of the node at hand is built
// in place over the previous one: everything visited since its parent lies below that parent, so
// the parent's path is still there.
void CMvnXmlDoc::Walk(CMvnXmlElements& elements) {
  using Node = Snapshot::Node;
  using Parent = Snapshot::Parent;
  Snapshot& snapshot = *snapshot_;
  const std::vector<Node>& nodes = snapshot.nodes;
  const std::string_view wanted(elements.Path().Text(), elements.Path().Length());
  std::string& path = snapshot.path;
  std::vector<Parent>& parents = snapshot.parents;
  // Kept at its size from walk to walk: every entry a node reads was written by its parent's
  // visit, in this walk.
  if (parents.empty()) parents.resize(1);
  parents[0] = Parent{0, 0, wanted.empty()};
  const char* store = snapshot.text.data();

  auto visit = [&](const Node& node) {
    const Parent parent = parents[node.depth];
    Parent own = parent;
    const char* stored = store + node.text_offset;
    if (node.kind == Node::kElement) {
      own.name_start = parent.length + 1;
      own.length = own.name_start + node.text_length;
      if (path.size() < own.length) path.resize(std::max(own.length, 2 * path.size()));
      path[parent.length] = '/';
      std::memcpy(&path[own.name_start], stored, node.text_length);
      const std::string_view here(path.data(), own.length);
      // Only a match that ends inside the new step can be new.
      if (!own.contains && here.size() >= wanted.size()) {
        const std::size_t from =
            parent.length >= wanted.size() ? parent.length + 1 - wanted.size() : 0;
        own.contains = here.find(wanted, from) != std::string_view::npos;
      }
      if (here == wanted) {
        auto* element = new CMvnXmlElement(here.data(), here.size());
        // Elements never compare equal (base IsEqual), so appending keeps big documents linear.
        elements.AppendCell(&element->cell, element);
        for (uint32_t k = 0; k < node.attribute_count; ++k) {
          const std::size_t* at = &snapshot.attributes[(node.first_attribute + k) * 4];
          element->Attributes().AddAttribute(store + at[0], store + at[2]);
        }
      }
    } else if (node.kind == Node::kText && parent.contains) {
      auto* last = static_cast<CMvnXmlElement*>(elements.GetLast());
      if (last != nullptr) {
        last->AddNamedText(path.data() + parent.name_start, parent.length - parent.name_start,
                           stored, node.text_length);
      }
    }
    if (parents.size() <= node.depth + 1) parents.resize(node.depth + 2);
    parents[node.depth + 1] = own;
  };

  std::size_t begin = 0;
  // Into an empty list nothing is collected before the first element at the wanted path: the walk
  // starts there, after its ancestors (which set up its path), or not at all when there is none.
  if (g_fast_reading && elements.GetLast() == nullptr && !wanted.empty()) {
    const uint64_t hash = ContinuePathHash(kPathHashStart, wanted.data(), wanted.size());
    while (begin < nodes.size() &&
           (nodes[begin].kind != Node::kElement || nodes[begin].path_length != wanted.size() ||
            nodes[begin].path_hash != hash)) {
      ++begin;
    }
    if (begin == nodes.size()) return;
    std::vector<std::size_t>& ancestors = snapshot.ancestors;
    ancestors.clear();
    for (std::size_t at = begin; nodes[at].depth > 0;) {
      const uint32_t depth = nodes[at].depth - 1;
      while (at > 0 && nodes[at].depth != depth) --at;
      if (nodes[at].depth != depth) break;
      ancestors.push_back(at);
    }
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) visit(nodes[*it]);
  }
  for (std::size_t at = begin; at < nodes.size(); ++at) visit(nodes[at]);
}
