// The network component's COM contract on Windows: the HTTP class "MVNETWORK.HTTPEX" and its one
// interface. The interface is a plain IUnknown vtable, so in-process callers need no type library
// and no proxy; the component is registered with the apartment threading model.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

namespace kestrel::netcomp {

// {344872DE-BAB7-4EC7-97A3-7F1FCBCF5FFE}
constexpr CLSID kHttpExClass = {
    0x344872DE, 0xBAB7, 0x4EC7, {0x97, 0xA3, 0x7F, 0x1F, 0xCB, 0xCF, 0x5F, 0xFE}};
// {37F20007-F784-4148-B8F5-7C9407187911}
constexpr IID kHttpExInterface = {
    0x37F20007, 0xF784, 0x4148, {0xB8, 0xF5, 0x7C, 0x94, 0x07, 0x18, 0x79, 0x11}};

constexpr const wchar_t* kHttpExProgId = L"MVNETWORK.HTTPEX";

// Texts are BSTRs owned by the caller; Get hands back a BSTR that the caller frees.
struct IMvnHttpEx : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE put_LogFile(BSTR path) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UserName(BSTR name) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Password(BSTR password) = 0;
  // One GET; *body receives the response text (UTF-16), or null when no response arrived.
  virtual HRESULT STDMETHODCALLTYPE Get(BSTR url, BSTR* body) = 0;
  // 0 exactly when the last Get received a response, else a code of the error-message table.
  virtual HRESULT STDMETHODCALLTYPE get_LastError(LONG* code) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ResponseCode(LONG* status) = 0;
};

}  // namespace kestrel::netcomp
