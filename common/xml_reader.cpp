#include "common/xml_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/kept_memory.h"

using kestrel::platform::XmlNodeTable;

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
                                  std::size_t text_length, kestrel::xml::EntryPool* pool) {
  // The value is the whole text, "/" included: labels such as "Rack/12" and the device's date
  // ("12/05/26 14:03:07") must reach the device document intact.
  auto* entry = new (pool) CMvnXmlTextElement(name, name_length, text, text_length);
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

namespace kestrel::xml {
namespace {

bool g_fast_reading = true;
bool g_keep_memory = true;

// FNV-1a over a path, continued step by step from the parent's path.
constexpr uint64_t kPathHashStart = 14695981039346656037ull;
uint64_t ContinuePathHash(uint64_t hash, const char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    hash ^= static_cast<unsigned char>(bytes[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

// The buffers a reader keeps between documents, beside its entry pool: a real 3W's document needs
// 6 to 10 KB of them; the buffers of a larger document go when its reader is done.
constexpr std::size_t kKeptBufferBytes = 64 * 1024;

template <typename T>
void PoisonVector(std::vector<T>& buffer) {
  buffer.clear();
  kestrel::platform::PoisonKeptMemory(buffer.data(), buffer.capacity() * sizeof(T));
}
template <typename T>
void UnpoisonVector(std::vector<T>& buffer) {
  kestrel::platform::UnpoisonKeptMemory(buffer.data(), buffer.capacity() * sizeof(T));
}

}  // namespace

// A node's whole path: its length and hash, so that a walk finds where it may start.
struct PathKey {
  std::size_t length;
  uint64_t hash;
};

// What a walk knows of the parent at each depth: its path is the first `length` bytes of the
// walk's path, its last step starts at name_start, and contains says whether it holds the wanted
// path.
struct Parent {
  std::size_t length;
  std::size_t name_start;
  bool contains;
};

struct ReaderScratch {
  // The loaded document, and the one being read: it takes the loaded one's place only when the
  // text is accepted, so a refused text leaves the previous document.
  XmlNodeTable table;
  XmlNodeTable incoming;
  std::vector<PathKey> keys;
  std::vector<PathKey> open_paths;
  std::vector<char> path;
  std::vector<Parent> parents;
  std::vector<std::size_t> ancestors;
  EntryPool entries;

  template <typename Visit>
  void ForEachVector(Visit visit) {
    visit(keys);
    visit(open_paths);
    visit(path);
    visit(parents);
    visit(ancestors);
  }

  std::size_t BufferBytes() {
    std::size_t bytes = table.Bytes() + incoming.Bytes();
    ForEachVector([&bytes](auto& buffer) { bytes += buffer.capacity() * sizeof(buffer[0]); });
    return bytes;
  }

  void ReleaseBuffers() {
    table.Release();
    incoming.Release();
    ForEachVector([](auto& buffer) { std::remove_reference_t<decltype(buffer)>().swap(buffer); });
  }
};

ReaderMemory::ReaderMemory() : scratch_(new ReaderScratch) {}

ReaderMemory::~ReaderMemory() {
  Lend();
}

void ReaderMemory::UseKeptMemory(bool use) {
  g_keep_memory = use;
}

bool ReaderMemory::KeptMemoryInUse() {
  return g_keep_memory;
}

std::size_t ReaderMemory::KeptBytes() const {
  return scratch_->BufferBytes() + scratch_->entries.KeptBytes();
}

void ReaderMemory::Lend() {
  lent_ = true;
  auto unpoison = [](void* block, std::size_t size) {
    kestrel::platform::UnpoisonKeptMemory(block, size);
  };
  scratch_->table.ForEachBuffer(unpoison);
  scratch_->incoming.ForEachBuffer(unpoison);
  scratch_->ForEachVector([](auto& buffer) { UnpoisonVector(buffer); });
}

void ReaderMemory::Return() {
  lent_ = false;
  auto poison = [](void* block, std::size_t size) {
    kestrel::platform::PoisonKeptMemory(block, size);
  };
  scratch_->table.Clear();
  scratch_->incoming.Clear();
  if (scratch_->BufferBytes() > kKeptBufferBytes) scratch_->ReleaseBuffers();
  scratch_->table.ForEachBuffer(poison);
  scratch_->incoming.ForEachBuffer(poison);
  scratch_->ForEachVector([](auto& buffer) { PoisonVector(buffer); });
}

}  // namespace kestrel::xml

using kestrel::xml::g_fast_reading;
using kestrel::xml::ReaderMemory;

void CMvnXmlDoc::UseFastReading(bool use) {
  g_fast_reading = use;
}

CMvnXmlDoc::CMvnXmlDoc() : CMvnXmlDoc(nullptr) {}

// Memory already lent to another reader is not lent twice: this one reads into its own.
CMvnXmlDoc::CMvnXmlDoc(ReaderMemory& memory)
    : CMvnXmlDoc(ReaderMemory::KeptMemoryInUse() && !memory.lent_ ? &memory : nullptr) {}

CMvnXmlDoc::CMvnXmlDoc(ReaderMemory* lent)
    : CMvnBase("CMvnXmlDoc"),
      document_(nullptr),
      initialized_(0),
      com_initialized_(0),
      loaded_(false),
      lent_(lent),
      own_(lent == nullptr ? new ReaderMemory : nullptr),
      scratch_(lent != nullptr ? lent->scratch_.get() : own_->scratch_.get()),
      // Entries from a reader's own memory would go with the reader: they come from the heap.
      entries_(lent != nullptr ? &scratch_->entries : nullptr) {
  if (lent_ != nullptr) lent_->Lend();
}

CMvnXmlDoc::~CMvnXmlDoc() {
  // Not virtual dispatch on purpose: a derived part is already gone here.
  CMvnXmlDoc::Uninitialize();
  if (lent_ != nullptr) lent_->Return();
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
  initialized_ = 1;
  return 0;
}

void CMvnXmlDoc::Uninitialize() {
  if (initialized_ == 0) return;
  if (document_ != nullptr) {
    document_->Release();
    document_ = nullptr;
  }
  loaded_ = false;
  if (com_initialized_ != 0) {
    kestrel::platform::ComUninitialize();
    com_initialized_ = 0;
  }
  initialized_ = 0;
}

int32_t CMvnXmlDoc::LoadXml(const char* text) {
  if (initialized_ == 0 || document_ == nullptr || text == nullptr) return -1;
  XmlNodeTable& incoming = scratch_->incoming;
  incoming.Reserve(std::strlen(text));
  // A failing DOM call is a failed load here: nothing in this code base lets exceptions through.
  if (document_->ReadXmlDocument(text, incoming) != 0) return -1;
  std::swap(scratch_->table, incoming);
  loaded_ = true;
  IndexPaths();
  return 0;
}

void CMvnXmlDoc::IndexPaths() {
  using kestrel::xml::PathKey;
  std::vector<PathKey>& keys = scratch_->keys;
  const std::vector<XmlNodeTable::Node>& nodes = scratch_->table.Nodes();
  keys.clear();
  keys.reserve(nodes.size());
  // The path of the parent of a node at each depth, with room made for the node's own children.
  std::vector<PathKey>& paths = scratch_->open_paths;
  paths.assign(1, PathKey{0, kestrel::xml::kPathHashStart});
  for (const XmlNodeTable::Node& node : nodes) {
    if (paths.size() < node.depth + 2) paths.resize(node.depth + 2);
    PathKey own = paths[node.depth];
    if (node.kind == XmlNodeTable::Node::kElement) {
      const char* name = scratch_->table.Text(node.offset);
      own = PathKey{own.length + 1 + node.length,
                    kestrel::xml::ContinuePathHash(kestrel::xml::ContinuePathHash(own.hash, "/", 1),
                                                   name, node.length)};
    }
    keys.push_back(own);
    paths[node.depth + 1] = own;
  }
}

int32_t CMvnXmlDoc::CollectElements(CMvnXmlElements& elements) {
  if (initialized_ == 0 || document_ == nullptr || !loaded_) return -1;
  if (scratch_->table.Nodes().empty()) return -1;
  Walk(elements);
  return 0;
}

// Each step of the path is searched for the collected path only once, so the walk stays linear in
// the document. Texts are named after the element that directly holds them; nodes other than
// elements leave the path as it is for what lies below them. The path of the node at hand is built
// in place over the previous one: everything visited since its parent lies below that parent, so
// the parent's path is still there.
void CMvnXmlDoc::Walk(CMvnXmlElements& elements) {
  using kestrel::xml::Parent;
  using Node = XmlNodeTable::Node;
  const XmlNodeTable& table = scratch_->table;
  const std::vector<Node>& nodes = table.Nodes();
  const std::string_view wanted(elements.Path().Text(), elements.Path().Length());
  std::vector<char>& path = scratch_->path;
  std::vector<Parent>& parents = scratch_->parents;
  // Kept at its size from walk to walk: every entry a node reads was written by its parent's
  // visit, in this walk.
  if (parents.empty()) parents.resize(1);
  parents[0] = Parent{0, 0, wanted.empty()};

  auto visit = [&](const Node& node) {
    const Parent parent = parents[node.depth];
    Parent own = parent;
    const char* stored = table.Text(node.offset);
    if (node.kind == Node::kElement) {
      own.name_start = parent.length + 1;
      own.length = own.name_start + node.length;
      if (path.size() < own.length) path.resize(std::max(own.length, 2 * path.size()));
      path[parent.length] = '/';
      std::memcpy(&path[own.name_start], stored, node.length);
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
          const XmlNodeTable::Attribute& at = table.AttributeAt(node.first_attribute + k);
          element->Attributes().AddAttribute(table.Text(at.name), table.Text(at.value));
        }
      }
    } else if (node.kind == Node::kText && parent.contains) {
      auto* last = static_cast<CMvnXmlElement*>(elements.GetLast());
      if (last != nullptr) {
        last->AddNamedText(path.data() + parent.name_start, parent.length - parent.name_start,
                           stored, node.length, entries_);
      }
    }
    if (parents.size() <= node.depth + 1) parents.resize(node.depth + 2);
    parents[node.depth + 1] = own;
  };

  std::size_t begin = 0;
  // Into an empty list nothing is collected before the first element at the wanted path: the walk
  // starts there, after its ancestors (which set up its path), or not at all when there is none.
  if (g_fast_reading && elements.GetLast() == nullptr && !wanted.empty()) {
    const std::vector<kestrel::xml::PathKey>& keys = scratch_->keys;
    const uint64_t hash =
        kestrel::xml::ContinuePathHash(kestrel::xml::kPathHashStart, wanted.data(), wanted.size());
    while (begin < nodes.size() &&
           (nodes[begin].kind != Node::kElement || keys[begin].length != wanted.size() ||
            keys[begin].hash != hash)) {
      ++begin;
    }
    if (begin == nodes.size()) return;
    std::vector<std::size_t>& ancestors = scratch_->ancestors;
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
