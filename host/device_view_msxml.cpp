// The device documents read back with MSXML, the parser the Windows host service itself uses.
// White space is preserved and texts are handed on as UTF-8, so the view is the same as on Linux.
#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include "host/device_view.h"
#include "host/view_fields.h"
#include "platform/win32/msxml_ids.h"

namespace kestrel::host {

namespace {

using kestrel::platform::msxml::kDomDocumentClass;
using kestrel::platform::msxml::kDomDocumentInterface;

std::string Utf8(BSTR text) {
  if (text == nullptr) return std::string();
  const int units = static_cast<int>(::SysStringLen(text));
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), size, nullptr, nullptr);
  return out;
}

std::string NameOf(IXMLDOMNode* node) {
  BSTR name = nullptr;
  node->get_nodeName(&name);
  std::string out = Utf8(name);
  ::SysFreeString(name);
  return out;
}

std::string TextOf(IXMLDOMNode* node) {
  BSTR text = nullptr;
  node->get_text(&text);
  std::string out = Utf8(text);
  ::SysFreeString(text);
  return out;
}

bool IsElement(IXMLDOMNode* node) {
  DOMNodeType type = NODE_INVALID;
  return SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT;
}

// Calls visit(child) for every element child of parent, in document order.
template <typename Visit>
void ForEachElement(IXMLDOMNode* parent, Visit visit) {
  IXMLDOMNode* child = nullptr;
  if (parent->get_firstChild(&child) != S_OK) return;
  while (child != nullptr) {
    if (IsElement(child)) visit(child);
    IXMLDOMNode* next = nullptr;
    if (child->get_nextSibling(&next) != S_OK) next = nullptr;
    child->Release();
    child = next;
  }
}

bool HasElementChildren(IXMLDOMNode* node) {
  bool found = false;
  ForEachElement(node, [&](IXMLDOMNode*) { found = true; });
  return found;
}

// Fills the fields of record that its leaf children name.
template <typename Record>
void ReadFields(IXMLDOMNode* parent, Record& record,
                std::string* (*field_of)(Record&, const char*)) {
  ForEachElement(parent, [&](IXMLDOMNode* child) {
    if (HasElementChildren(child)) return;
    std::string* field = field_of(record, NameOf(child).c_str());
    if (field != nullptr) *field = TextOf(child);
  });
}

// COM for the calling thread, balanced on every way out.
class ComScope {
 public:
  ComScope() : result_(::CoInitialize(nullptr)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT result_;
};

}  // namespace

bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error) {
  device = DeviceView{};
  ComScope com;
  IXMLDOMDocument* document = nullptr;
  if (FAILED(::CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_INPROC_SERVER,
                                kDomDocumentInterface, reinterpret_cast<void**>(&document)))) {
    error = "cannot create an XML DOM document to read " + path;
    return false;
  }
  document->put_async(VARIANT_FALSE);
  document->put_preserveWhiteSpace(VARIANT_TRUE);

  const int units = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  VARIANT source;
  ::VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = ::SysAllocStringLen(nullptr, static_cast<UINT>(units > 0 ? units - 1 : 0));
  if (units > 0) ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, source.bstrVal, units);
  VARIANT_BOOL loaded = VARIANT_FALSE;
  const HRESULT result = document->load(source, &loaded);
  ::VariantClear(&source);

  IXMLDOMElement* root = nullptr;
  if (result != S_OK || loaded != VARIANT_TRUE || document->get_documentElement(&root) != S_OK ||
      root == nullptr) {
    document->Release();
    error = "cannot read the device document " + path;
    return false;
  }
  if (NameOf(root) != "device") {
    root->Release();
    document->Release();
    error = "the document " + path + " is no device document";
    return false;
  }
  ReadFields(root, device, &DeviceField);
  ForEachElement(root, [&](IXMLDOMNode* sensors) {
    if (NameOf(sensors) != "sensors") return;
    ForEachElement(sensors, [&](IXMLDOMNode* itf) {
      if (NameOf(itf) != "interface") return;
      InterfaceView& view = device.interfaces.emplace_back();
      ReadFields(itf, view, &InterfaceField);
      ForEachElement(itf, [&](IXMLDOMNode* element) {
        if (NameOf(element) != "sensor") return;
        SensorView& sensor = view.sensors.emplace_back();
        ReadFields(element, sensor, &SensorField);
        TakeReading(sensor);
      });
    });
  });
  root->Release();
  document->Release();
  return true;
}

}  // namespace kestrel::host
