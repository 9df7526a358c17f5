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

// Reads one DOM string (kind, name or text) into out; a failed call leaves out empty.
template <typename Getter>
void ReadDomString(XmlDomNode* node, Getter getter, CMvnString& out) {
  WChar* text = nullptr;
  if ((node->*getter)(&text) < 0) text = nullptr;
  out.AssignWide(text);
  kestrel::platform::FreeWideString(text);
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

void LoadAttributes(XmlDomNode* node, CMvnXmlAttributes& attributes) {
  int32_t count = 0;
  if (node->GetAttributeCount(&count) != 0) return;
  CMvnString name;
  CMvnString value;
  for (int32_t index = 0; index < count; ++index) {
    XmlDomNode* item = nullptr;
    if (node->GetAttribute(index, &item) != 0 || item == nullptr) continue;
    ReadDomString(item, &XmlDomNode::GetNodeName, name);
    ReadDomString(item, &XmlDomNode::GetText, value);
    attributes.AddAttribute(name.Text(), value.Text());
    item->Release();
  }
}

// One node waiting to be visited, with what the walk knows about its parent's path: the path is
// the first parent_length bytes of the walk's path buffer, its last step starts at
// parent_name_start, and parent_contains says whether it holds the collected path.
struct PendingNode {
  XmlDomNode* node;
  std::size_t parent_length;
  std::size_t parent_name_start;
  bool parent_contains;
};

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
  Append(new CMvnXmlTextElement(entry_name.Text(), text != nullptr ? text : ""));
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

CMvnXmlDoc::CMvnXmlDoc()
    : CMvnBase("CMvnXmlDoc"),
      document_(nullptr),
      root_(nullptr),
      initialized_(0),
      com_initialized_(0) {}

CMvnXmlDoc::~CMvnXmlDoc() {
  // Not virtual dispatch on purpose: a derived part is already gone here.
  CMvnXmlDoc::Uninitialize();
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
  if (document_->GetDocumentElement(&root_) != 0 || root_ == nullptr) {
    root_ = nullptr;
    return -1;
  }
  return 0;
}

int32_t CMvnXmlDoc::CollectElements(CMvnXmlElements& elements) {
  if (initialized_ == 0 || document_ == nullptr || root_ == nullptr) return -1;
  XmlDomNode* first = FirstChildOf(root_);
  if (first == nullptr) return -1;
  Walk(first, elements);
  first->Release();
  return 0;
}

// Depth first in document order (a node, its descendants, then its following siblings), with an
// explicit stack so that no document, however deep, can exhaust the call stack. The stack holds at
// most one pending sibling per level, and each step of the path is searched for the collected
// path only once, so the walk stays linear in the document.
void CMvnXmlDoc::Walk(XmlDomNode* start, CMvnXmlElements& elements) {
  Assert(start != nullptr ? 1 : 0, __FILE__, __LINE__);
  if (start == nullptr) return;

  const std::string wanted(elements.Path().Text(), elements.Path().Length());
  std::string path;
  CMvnString kind;
  CMvnString name;
  CMvnString text;
  std::vector<PendingNode> pending;
  // The start node belongs to the caller; everything fetched here is released here.
  XmlDomNode* borrowed = start;
  pending.push_back(PendingNode{start, 0, 0, wanted.empty()});

  while (!pending.empty()) {
    const PendingNode current = pending.back();
    pending.pop_back();
    XmlDomNode* node = current.node;
    path.resize(current.parent_length);
    std::size_t own_name_start = current.parent_name_start;
    bool own_contains = current.parent_contains;

    ReadDomString(node, &XmlDomNode::GetNodeTypeString, kind);
    if (std::strcmp(kind.Text(), "element") == 0) {
      ReadDomString(node, &XmlDomNode::GetNodeName, name);
      path.push_back('/');
      own_name_start = path.size();
      path.append(name.Text(), name.Length());
      // Only a match that ends inside the new step can be new.
      const std::size_t from =
          current.parent_length >= wanted.size() ? current.parent_length + 1 - wanted.size() : 0;
      own_contains = own_contains || path.find(wanted, from) != std::string::npos;
      if (path == wanted) {
        auto* element = new CMvnXmlElement(path.c_str());
        // Elements never compare equal (base IsEqual), so appending keeps big documents linear.
        elements.Append(element);
        LoadAttributes(node, element->Attributes());
      }
    } else if (std::strcmp(kind.Text(), "text") == 0 && current.parent_contains) {
      auto* last = static_cast<CMvnXmlElement*>(elements.GetLast());
      if (last != nullptr) {
        ReadDomString(node, &XmlDomNode::GetText, text);
        last->AddNamedText(path.data() + current.parent_name_start,
                           current.parent_length - current.parent_name_start, text.Text());
      }
    }

    // The sibling goes below the child on the stack, so the whole subtree comes first.
    if (XmlDomNode* sibling = NextSiblingOf(node)) {
      pending.push_back(PendingNode{sibling, current.parent_length, current.parent_name_start,
                                    current.parent_contains});
    }
    if (XmlDomNode* child = FirstChildOf(node)) {
      pending.push_back(PendingNode{child, path.size(), own_name_start, own_contains});
    }
    if (node != borrowed) node->Release();
  }
}
