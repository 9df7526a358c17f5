#include "common/xml_reader.h"

#include <cstring>
#include <string>
#include <vector>

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

void CMvnXmlElement::AddText(const char* parent_path, const char* text) {
  if (parent_path == nullptr) parent_path = "";
  const char* slash = std::strrchr(parent_path, '/');
  const char* name = slash != nullptr ? slash + 1 : parent_path;
  AddNamedText(name, std::strlen(name), text);
}

void CMvnXmlElement::AddNamedText(const char* name, std::size_t name_length, const char* text) {
  CMvnString entry_name;
  entry_name.Assign(name, name_length);
  // The value is the whole text, "/" included: labels such as "Rack/12" and the device's date
  // ("12/05/26 14:03:07") must reach the device document intact.
  auto* entry = new CMvnXmlTextElement(entry_name.Text(), text != nullptr ? text : "");
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

struct CMvnXmlDoc::Snapshot {
  std::vector<Node> nodes;
  // Names, texts and attributes one after another: one block for the whole document.
  std::string text;
  std::vector<std::size_t> attributes;  // name offset, name length, value offset, value length
  bool read = false;
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

void CMvnXmlDoc::DropSnapshot() {
  delete snapshot_;
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
  const int32_t units = kestrel::platform::AnsiToWide(text, -1, nullptr, 0);
  std::vector<WChar> wide(static_cast<std::size_t>(units > 0 ? units : 1), WChar(0));
  kestrel::platform::AnsiToWide(text, -1, wide.data(), static_cast<int32_t>(wide.size()));
  bool well_formed = false;
  // A failing DOM call is a failed load here: nothing in this code base lets exceptions through.
  if (document_->LoadXml(wide.data(), &well_formed) < 0 || !well_formed) return -1;
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
    snapshot_ = new Snapshot();
    XmlDomNode* first = FirstChildOf(root_);
    if (first != nullptr) {
      Read(first);
      first->Release();
      snapshot_->read = true;
    }
  }
  if (!snapshot_->read) return -1;
  Walk(elements);
  return 0;
}

// Depth first in document order (a node, its descendants, then its following siblings), with an
// explicit stack so that no document, however deep, can exhaust the call stack. The stack holds at
// most one pending sibling per level.
void CMvnXmlDoc::Read(XmlDomNode* start) {
  Assert(start != nullptr ? 1 : 0, __FILE__, __LINE__);
  if (start == nullptr) return;

  Snapshot& snapshot = *snapshot_;
  std::basic_string<WChar> wide;
  CMvnString text;
  CMvnString value;
  auto read = [&wide](XmlDomNode* node, int32_t (XmlDomNode::*reader)(std::basic_string<WChar>&),
                      CMvnString& out) {
    if ((node->*reader)(wide) < 0) wide.clear();
    out.AssignWide(wide.c_str());
  };
  auto store = [&snapshot](const CMvnString& piece) {
    const std::size_t offset = snapshot.text.size();
    snapshot.text.append(piece.Text(), piece.Length());
    return offset;
  };
  struct Pending {
    XmlDomNode* node;
    uint32_t depth;
  };
  std::vector<Pending> pending;
  // Room for a device document at once, rather than a regrowth at every power of two.
  snapshot.nodes.reserve(128);
  pending.reserve(16);
  // The start node belongs to the caller; everything fetched here is released here.
  XmlDomNode* borrowed = start;
  pending.push_back(Pending{start, 0});
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    XmlDomNode* node = current.node;
    Node entry{Node::kOther, current.depth, 0, 0, 0, 0};
    kestrel::platform::XmlNodeKind kind = kestrel::platform::XmlNodeKind::kOther;
    if (node->GetNodeKind(&kind) < 0) kind = kestrel::platform::XmlNodeKind::kOther;
    if (kind == kestrel::platform::XmlNodeKind::kElement) {
      entry.kind = Node::kElement;
      read(node, &XmlDomNode::ReadNodeName, text);
      entry.text_offset = store(text);
      entry.text_length = text.Length();
      int32_t count = 0;
      if (node->GetAttributeCount(&count) == 0 && count > 0) {
        entry.first_attribute = static_cast<uint32_t>(snapshot.attributes.size() / 4);
        for (int32_t index = 0; index < count; ++index) {
          XmlDomNode* item = nullptr;
          if (node->GetAttribute(index, &item) != 0 || item == nullptr) continue;
          read(item, &XmlDomNode::ReadNodeName, text);
          read(item, &XmlDomNode::ReadText, value);
          snapshot.attributes.push_back(store(text));
          snapshot.attributes.push_back(text.Length());
          snapshot.attributes.push_back(store(value));
          snapshot.attributes.push_back(value.Length());
          ++entry.attribute_count;
          item->Release();
        }
      }
    } else if (kind == kestrel::platform::XmlNodeKind::kText) {
      entry.kind = Node::kText;
      read(node, &XmlDomNode::ReadText, text);
      entry.text_offset = store(text);
      entry.text_length = text.Length();
    }
    snapshot.nodes.push_back(entry);

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
// elements leave the path as it is for what lies below them.
void CMvnXmlDoc::Walk(CMvnXmlElements& elements) const {
  const Snapshot& snapshot = *snapshot_;
  const std::string wanted(elements.Path().Text(), elements.Path().Length());
  std::string path;
  // What the walk knows of the parent at each depth: its path is the first `length` bytes of
  // path, its last step starts at name_start, and contains says whether it holds the wanted path.
  struct Parent {
    std::size_t length;
    std::size_t name_start;
    bool contains;
  };
  std::vector<Parent> parents(1, Parent{0, 0, wanted.empty()});
  CMvnString text;
  CMvnString value;
  for (const Node& node : snapshot.nodes) {
    const Parent parent = parents[node.depth];
    path.resize(parent.length);
    Parent own = parent;
    const char* stored = snapshot.text.data() + node.text_offset;
    if (node.kind == Node::kElement) {
      path.push_back('/');
      own.name_start = path.size();
      path.append(stored, node.text_length);
      own.length = path.size();
      // Only a match that ends inside the new step can be new.
      const std::size_t from =
          parent.length >= wanted.size() ? parent.length + 1 - wanted.size() : 0;
      own.contains = own.contains || path.find(wanted, from) != std::string::npos;
      if (path == wanted) {
        auto* element = new CMvnXmlElement(path.c_str());
        // Elements never compare equal (base IsEqual), so appending keeps big documents linear.
        elements.AppendCell(&element->cell, element);
        for (uint32_t k = 0; k < node.attribute_count; ++k) {
          const std::size_t* at = &snapshot.attributes[(node.first_attribute + k) * 4];
          text.Assign(snapshot.text.data() + at[0], at[1]);
          value.Assign(snapshot.text.data() + at[2], at[3]);
          element->Attributes().AddAttribute(text.Text(), value.Text());
        }
      }
    } else if (node.kind == Node::kText && parent.contains) {
      auto* last = static_cast<CMvnXmlElement*>(elements.GetLast());
      if (last != nullptr) {
        text.Assign(stored, node.text_length);
        last->AddNamedText(path.data() + parent.name_start, parent.length - parent.name_start,
                           text.Text());
      }
    }
    if (parents.size() <= node.depth + 1) parents.resize(node.depth + 2);
    parents[node.depth + 1] = own;
  }
}
