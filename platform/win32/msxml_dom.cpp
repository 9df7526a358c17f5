// The XML parser on Windows: MSXML's DOMDocument through its published COM interfaces, walked node
// by node into the reader's table. Every interface pointer obtained here is released here.
#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/msxml_ids.h"

namespace kestrel::platform {

namespace {

using msxml::kDomDocument2Interface;
using msxml::kDomDocumentClass;
using msxml::kDomDocumentInterface;
// In-process or local server, as the document has always been created.
constexpr DWORD kDomDocumentContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

// A DOM string in the ANSI code page, replacing out; an absent string is empty. A character the
// code page lacks becomes its default character, and a NUL inside ends the text.
void ToAnsi(BSTR text, std::string& out) {
  const std::size_t units = text != nullptr ? std::wcslen(text) : 0;
  out.resize(2 * units + 1);
  const int32_t written = units == 0 ? 0
                                     : WideToAnsi(text, static_cast<int32_t>(units), &out[0],
                                                  static_cast<int32_t>(out.size()));
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  out.resize(std::strlen(out.c_str()));
}

// The DOM's string answer of a getter into out (empty when the call fails), the string freed.
template <typename Getter>
void ReadString(Getter get, std::string& out) {
  BSTR text = nullptr;
  if (FAILED(get(&text))) text = nullptr;
  ToAnsi(text, out);
  ::SysFreeString(text);
}

class MsxmlDocument final : public XmlDomDocument {
 public:
  explicit MsxmlDocument(IXMLDOMDocument* document) : document_(document) {}

  int32_t ReadXmlDocument(const char* text, XmlNodeTable& table) override {
    table.Clear();
    IXMLDOMElement* root = nullptr;
    const HRESULT loaded = Load(text != nullptr ? text : "", &root);
    if (loaded != S_OK) return loaded;
    // An element interface is a node interface (single inheritance).
    IXMLDOMNode* first = nullptr;
    if (root->get_firstChild(&first) == S_OK && first != nullptr) Walk(first, table);
    root->Release();
    return S_OK;
  }

  void Release() override {
    document_->Release();
    delete this;
  }

 private:
  ~MsxmlDocument() = default;

  // Parses text; S_OK with the document element, S_FALSE when the text is refused or has none.
  HRESULT Load(const char* text, IXMLDOMElement** root) {
    const int32_t units = AnsiToWide(text, -1, nullptr, 0);
    std::vector<WChar> wide(static_cast<std::size_t>(units > 0 ? units : 1), WChar(0));
    AnsiToWide(text, -1, wide.data(), static_cast<int32_t>(wide.size()));
    // loadXML takes a BSTR; a plain wide string has no length prefix.
    BSTR copy = ::SysAllocString(wide.data());
    if (copy == nullptr) return E_OUTOFMEMORY;
    VARIANT_BOOL accepted = VARIANT_FALSE;
    const HRESULT result = document_->loadXML(copy, &accepted);
    ::SysFreeString(copy);
    if (FAILED(result)) return result;
    // S_FALSE means "parsed, but not well-formed": that is an answer, not a failure.
    if (accepted != VARIANT_TRUE) return S_FALSE;
    if (document_->get_documentElement(root) != S_OK || *root == nullptr) return S_FALSE;
    return S_OK;
  }

  // Depth first in document order (a node, its descendants, then its following siblings), with an
  // explicit stack so that no document, however deep, can exhaust the call stack. A call that
  // fails skips its branch. Every node fetched (first included) is released here.
  void Walk(IXMLDOMNode* first, XmlNodeTable& table) {
    struct Pending {
      IXMLDOMNode* node;
      uint32_t depth;
    };
    std::vector<Pending> pending{Pending{first, 0}};
    while (!pending.empty()) {
      const Pending current = pending.back();
      pending.pop_back();
      IXMLDOMNode* node = current.node;
      DOMNodeType type = NODE_INVALID;
      if (FAILED(node->get_nodeType(&type))) type = NODE_INVALID;
      if (type == NODE_ELEMENT) {
        ReadString([node](BSTR* out) { return node->get_nodeName(out); }, name_);
        table.AddElement(current.depth, name_.data(), name_.size());
        ReadAttributes(node, table);
      } else if (type == NODE_TEXT) {
        ReadString([node](BSTR* out) { return node->get_text(out); }, text_);
        table.AddText(current.depth, text_.data(), text_.size());
      } else {
        table.AddOther(current.depth);
      }
      // The sibling goes below the child on the stack, so the whole subtree comes first.
      IXMLDOMNode* next = nullptr;
      if (node->get_nextSibling(&next) == S_OK && next != nullptr) {
        pending.push_back(Pending{next, current.depth});
      }
      IXMLDOMNode* child = nullptr;
      if (node->get_firstChild(&child) == S_OK && child != nullptr) {
        pending.push_back(Pending{child, current.depth + 1});
      }
      node->Release();
    }
  }

  void ReadAttributes(IXMLDOMNode* node, XmlNodeTable& table) {
    IXMLDOMNamedNodeMap* map = nullptr;
    if (node->get_attributes(&map) != S_OK || map == nullptr) return;
    long length = 0;
    if (FAILED(map->get_length(&length))) length = 0;
    for (long index = 0; index < length; ++index) {
      IXMLDOMNode* item = nullptr;
      if (map->get_item(index, &item) != S_OK || item == nullptr) continue;
      ReadString([item](BSTR* out) { return item->get_nodeName(out); }, name_);
      ReadString([item](BSTR* out) { return item->get_text(out); }, text_);
      table.AddAttribute(name_.data(), name_.size(), text_.data(), text_.size());
      item->Release();
    }
    map->Release();
  }

  IXMLDOMDocument* document_;
  std::string name_;
  std::string text_;
};

}  // namespace

int32_t CreateXmlDomDocument(XmlDomDocument** document) {
  if (document == nullptr) return E_POINTER;
  *document = nullptr;
  IXMLDOMDocument* created = nullptr;
  const HRESULT result =
      ::CoCreateInstance(kDomDocumentClass, nullptr, kDomDocumentContext, kDomDocumentInterface,
                         reinterpret_cast<void**>(&created));
  if (FAILED(result)) return result;
  if (created == nullptr) return E_NOINTERFACE;
  created->put_async(VARIANT_FALSE);
  // The text comes from the device: no document type, no external entities, as on Linux.
  created->put_validateOnParse(VARIANT_FALSE);
  created->put_resolveExternals(VARIANT_FALSE);
  IXMLDOMDocument2* settings = nullptr;
  if (SUCCEEDED(
          created->QueryInterface(kDomDocument2Interface, reinterpret_cast<void**>(&settings)))) {
    VARIANT prohibit;
    ::VariantInit(&prohibit);
    prohibit.vt = VT_BOOL;
    prohibit.boolVal = VARIANT_TRUE;
    BSTR name = ::SysAllocString(L"ProhibitDTD");
    settings->setProperty(name, prohibit);
    ::SysFreeString(name);
    settings->Release();
  }
  try {
    *document = new MsxmlDocument(created);
  } catch (...) {
    created->Release();
    throw;
  }
  return S_OK;
}

}  // namespace kestrel::platform
