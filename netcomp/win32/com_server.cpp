// The in-process COM server around the HTTP class: class factory, unload check and the
// registration of the class under its class identifier and its ProgID.
#include <windows.h>

#include <objbase.h>
#include <olectl.h>

#include <new>
#include <string>

#include "netcomp/win32/http_ex.h"
#include "netcomp/win32/mvnetwork.h"

namespace {

using kestrel::netcomp::g_server_references;
using kestrel::netcomp::HttpEx;

HMODULE g_module = nullptr;

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is a static object: references only keep the server loaded.
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++g_server_references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--g_server_references); }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    HttpEx* created = new (std::nothrow) HttpEx();
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = created->QueryInterface(iid, object);
    created->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_server_references;
    } else {
      --g_server_references;
    }
    return S_OK;
  }
};

ClassFactory g_factory;

std::wstring GuidText(const GUID& guid) {
  wchar_t text[64] = {0};
  ::StringFromGUID2(guid, text, 64);
  return text;
}

std::wstring ClassKey() {
  return L"CLSID\\" + GuidText(kestrel::netcomp::kHttpExClass);
}

// Names the interface for registry and inventory tools. No proxy is registered: callers use the
// class inside their own apartment, as the module does.
std::wstring InterfaceKey() {
  return L"Interface\\" + GuidText(kestrel::netcomp::kHttpExInterface);
}

LONG SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LONG result = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &handle, nullptr);
  if (result != ERROR_SUCCESS) return result;
  result = ::RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(handle);
  return result;
}

// Removes the key with everything below it; a key that is already gone counts as removed.
LONG DeleteTree(const std::wstring& key) {
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  ::RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  HKEY handle = nullptr;
  const LONG result = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle);
  if (result == ERROR_SUCCESS) {
    ::RegCloseKey(handle);
    return ERROR_ACCESS_DENIED;
  }
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID class_id, REFIID iid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(class_id, kestrel::netcomp::kHttpExClass)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() {
  return g_server_references.load() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH] = {0};
  const DWORD length = ::GetModuleFileNameW(g_module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
  const std::wstring class_key = ClassKey();
  const std::wstring class_id = class_key.substr(6);
  const std::wstring prog_id = kestrel::netcomp::kHttpExProgId;
  const wchar_t* description = L"Morvane Network Component HTTPEX";
  const bool written =
      SetValue(class_key, nullptr, description) == ERROR_SUCCESS &&
      SetValue(class_key + L"\\InprocServer32", nullptr, path) == ERROR_SUCCESS &&
      SetValue(class_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment") == ERROR_SUCCESS &&
      SetValue(class_key + L"\\ProgID", nullptr, prog_id) == ERROR_SUCCESS &&
      SetValue(prog_id, nullptr, description) == ERROR_SUCCESS &&
      SetValue(prog_id + L"\\CLSID", nullptr, class_id) == ERROR_SUCCESS &&
      SetValue(InterfaceKey(), nullptr, L"IMvnHttpEx") == ERROR_SUCCESS;
  return written ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
  const bool removed = DeleteTree(ClassKey()) == ERROR_SUCCESS &&
                       DeleteTree(kestrel::netcomp::kHttpExProgId) == ERROR_SUCCESS &&
                       DeleteTree(InterfaceKey()) == ERROR_SUCCESS;
  return removed ? S_OK : SELFREG_E_CLASS;
}
