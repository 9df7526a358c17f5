// The XML DOM on Windows: MSXML's DOMDocument through its published COM interfaces. Every
// interface pointer obtained here is owned by exactly one wrapper and released with it.
#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/msxml_ids.h"

namespace kestrel::platform {

namespace {

using msxml::kDomDocument2Interface;
using msxml::kDomDocumentClass;
using msxml::kDomDocumentInterface;
// In-process or local server, as the document has always been created.
constexpr DWORD kDomDocumentContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

// Wraps a node pointer that the DOM handed out, or signals "nothing" with S_FALSE.
int32_t WrapNode(HRESULT result, IXMLDOMNode* node, XmlDomNode** out);

class MsxmlNode final : public XmlDomNode {
 public:
  explicit MsxmlNode(IXMLDOMNode* node) : node_(node) {}

  int32_t GetFirstChild(XmlDomNode** child) override {
    if (child == nullptr) return E_POINTER;
    IXMLDOMNode* found = nullptr;
    const HRESULT result = node_->get_firstChild(&found);
    return WrapNode(result, found, child);
  }
  int32_t GetNextSibling(XmlDomNode** sibling) override {
    if (sibling == nullptr) return E_POINTER;
    IXMLDOMNode* found = nullptr;
    const HRESULT result = node_->get_nextSibling(&found);
    return WrapNode(result, found, sibling);
  }
  int32_t GetNodeTypeString(WChar** kind) override { return node_->get_nodeTypeString(kind); }
  int32_t GetNodeKind(XmlNodeKind* kind) override {
    if (kind == nullptr) return E_POINTER;
    *kind = XmlNodeKind::kOther;
    DOMNodeType type = NODE_INVALID;
    const HRESULT result = node_->get_nodeType(&type);
    if (FAILED(result)) return result;
    if (type == NODE_ELEMENT) *kind = XmlNodeKind::kElement;
    if (type == NODE_TEXT) *kind = XmlNodeKind::kText;
    return S_OK;
  }
  int32_t GetNodeName(WChar** name) override { return node_->get_nodeName(name); }
  int32_t GetText(WChar** text) override { return node_->get_text(text); }

  int32_t GetAttributeCount(int32_t* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    const HRESULT result = LoadAttributes();
    if (result != S_OK) return result;
    long length = 0;
    const HRESULT counted = attributes_->get_length(&length);
    if (FAILED(counted)) return counted;
    *count = static_cast<int32_t>(length);
    return S_OK;
  }

  int32_t GetAttribute(int32_t index, XmlDomNode** attribute) override {
    if (attribute == nullptr) return E_POINTER;
    *attribute = nullptr;
    const HRESULT result = LoadAttributes();
    if (result != S_OK) return result;
    IXMLDOMNode* item = nullptr;
    const HRESULT fetched = attributes_->get_item(index, &item);
    return WrapNode(fetched, item, attribute);
  }

  void Release() override {
    if (attributes_ != nullptr) attributes_->Release();
    node_->Release();
    delete this;
  }

 private:
  ~MsxmlNode() = default;

  // The map is fetched once per node: the reader asks for the count, then each item.
  HRESULT LoadAttributes() {
    if (attributes_ != nullptr) return S_OK;
    const HRESULT result = node_->get_attributes(&attributes_);
    if (FAILED(result)) return result;
    return attributes_ != nullptr ? S_OK : S_FALSE;
  }

  IXMLDOMNode* node_;
  IXMLDOMNamedNodeMap* attributes_ = nullptr;
};

int32_t WrapNode(HRESULT result, IXMLDOMNode* node, XmlDomNode** out) {
  *out = nullptr;
  if (FAILED(result)) return result;
  if (node == nullptr) return S_FALSE;
  try {
    *out = new MsxmlNode(node);
  } catch (...) {
    node->Release();
    throw;
  }
  return S_OK;
}

class MsxmlDocument final : public XmlDomDocument {
 public:
  explicit MsxmlDocument(IXMLDOMDocument* document) : document_(document) {}

  int32_t SetAsync(bool async) override {
    return document_->put_async(async ? VARIANT_TRUE : VARIANT_FALSE);
  }

  int32_t LoadXml(const WChar* text, bool* well_formed) override {
    if (well_formed != nullptr) *well_formed = false;
    // loadXML takes a BSTR; a plain wide string has no length prefix.
    BSTR copy = ::SysAllocString(text != nullptr ? text : L"");
    if (copy == nullptr) return E_OUTOFMEMORY;
    VARIANT_BOOL accepted = VARIANT_FALSE;
    const HRESULT result = document_->loadXML(copy, &accepted);
    ::SysFreeString(copy);
    if (well_formed != nullptr) *well_formed = SUCCEEDED(result) && accepted == VARIANT_TRUE;
    // S_FALSE means "parsed, but not well-formed": that is an answer, not a failure.
    return FAILED(result) ? result : S_OK;
  }

  int32_t GetDocumentElement(XmlDomNode** root) override {
    if (root == nullptr) return E_POINTER;
    IXMLDOMElement* element = nullptr;
    const HRESULT result = document_->get_documentElement(&element);
    *root = nullptr;
    if (FAILED(result)) return result;
    if (element == nullptr) return S_FALSE;
    // An element interface is a node interface (single inheritance): the wrapper takes it over.
    return WrapNode(S_OK, element, root);
  }

  void Release() override {
    document_->Release();
    delete this;
  }

 private:
  ~MsxmlDocument() = default;
  IXMLDOMDocument* document_;
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
