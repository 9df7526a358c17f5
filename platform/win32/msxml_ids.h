// MSXML's version-independent DOMDocument class and its document interfaces, written out because
// the SDK headers bind the class name to a later MSXML version. Used by the module's DOM and by
// the Windows host, which reads the documents back with the same parser.
#pragma once

#include <objbase.h>

namespace kestrel::platform::msxml {

// {2933BF90-7B36-11D2-B20E-00C04F983E60}
constexpr CLSID kDomDocumentClass = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// {2933BF81-7B36-11D2-B20E-00C04F983E60}
constexpr IID kDomDocumentInterface = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// {2933BF95-7B36-11D2-B20E-00C04F983E60}
constexpr IID kDomDocument2Interface = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

}  // namespace kestrel::platform::msxml
