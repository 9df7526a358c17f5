// Whether a document's bytes (in the given encoding; null: as the document declares, UTF-8 by
// default) are well-formed XML, asked of the platform's own parser: libxml2 on
// Linux, MSXML on Windows (the parser that the host service reads the documents with).
#pragma once

#include <string>

#if defined(_WIN32)
#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>
#else
#include <libxml/parser.h>
#endif

namespace kestrel::testing {

#if defined(_WIN32)
inline bool IsWellFormedXml(const std::string& bytes, const char* encoding = nullptr) {
  // {2933BF90-7B36-11D2-B20E-00C04F983E60} and {2933BF81-7B36-11D2-B20E-00C04F983E60}
  const CLSID document_class = {
      0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
  const IID document_interface = {
      0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
  IXMLDOMDocument* document = nullptr;
  if (FAILED(::CoCreateInstance(document_class, nullptr, CLSCTX_INPROC_SERVER, document_interface,
                                reinterpret_cast<void**>(&document)))) {
    return false;
  }
  // The DOM takes UTF-16 text: documents are UTF-8; any other encoding named here is the
  // process's 8-bit text, which the reader converts with the ANSI code page.
  const UINT code_page = encoding == nullptr ? CP_UTF8 : CP_ACP;
  const int length = static_cast<int>(bytes.size());
  const int units = ::MultiByteToWideChar(code_page, 0, bytes.data(), length, nullptr, 0);
  BSTR text = ::SysAllocStringLen(nullptr, static_cast<UINT>(units));
  ::MultiByteToWideChar(code_page, 0, bytes.data(), length, text, units);
  VARIANT_BOOL accepted = VARIANT_FALSE;
  document->put_async(VARIANT_FALSE);
  const HRESULT result = document->loadXML(text, &accepted);
  ::SysFreeString(text);
  document->Release();
  return result == S_OK && accepted == VARIANT_TRUE;
}
#else
inline bool IsWellFormedXml(const std::string& bytes, const char* encoding = nullptr) {
  xmlDocPtr doc =
      xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "document.xml", encoding,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return false;
  xmlFreeDoc(doc);
  return true;
}
#endif

}  // namespace kestrel::testing
