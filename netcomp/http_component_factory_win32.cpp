// The network component on Windows: the registered in-process COM class, wrapped so that the
// provider sees the same operations as on Linux.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <atomic>

#include "netcomp/component_factory.h"
#include "netcomp/win32/mvnetwork.h"

namespace kestrel::netcomp {

using platform::HttpComponent;
using platform::WChar;

namespace {

// The component takes BSTRs: a wide string without a length prefix is copied into one per call.
class ScopedBstr {
 public:
  explicit ScopedBstr(const WChar* text) : text_(::SysAllocString(text != nullptr ? text : L"")) {}
  ~ScopedBstr() { ::SysFreeString(text_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  BSTR get() const { return text_; }

 private:
  BSTR text_;
};

class ComHttpComponent final : public HttpComponent {
 public:
  explicit ComHttpComponent(IMvnHttpEx* component) : component_(component) {}

  void SetLogFile(const WChar* path) override {
    ScopedBstr text(path);
    component_->put_LogFile(text.get());
  }
  void SetUserName(const WChar* name) override {
    ScopedBstr text(name);
    component_->put_UserName(text.get());
  }
  void SetPassword(const WChar* password) override {
    ScopedBstr text(password);
    component_->put_Password(text.get());
  }
  void Get(const WChar* url, WChar** body) override {
    ScopedBstr text(url);
    BSTR answer = nullptr;
    component_->Get(text.get(), &answer);
    if (body != nullptr) {
      *body = answer;
    } else {
      ::SysFreeString(answer);
    }
  }
  // Status results of the property reads are not examined: the caller starts from -1.
  int32_t LastError() override {
    LONG code = -1;
    component_->get_LastError(&code);
    return code;
  }
  int32_t ResponseCode() override {
    LONG status = -1;
    component_->get_ResponseCode(&status);
    return status;
  }
  void Release() override {
    component_->Release();
    delete this;
  }

 private:
  ~ComHttpComponent() = default;
  IMvnHttpEx* component_;
};

std::atomic<HttpComponentFactory> g_factory{nullptr};

int32_t CreateRegisteredComponent(HttpComponent** component) {
  IMvnHttpEx* created = nullptr;
  const HRESULT result = ::CoCreateInstance(kHttpExClass, nullptr, CLSCTX_INPROC_SERVER,
                                            kHttpExInterface, reinterpret_cast<void**>(&created));
  if (FAILED(result)) return result;
  if (created == nullptr) return E_NOINTERFACE;
  try {
    *component = new ComHttpComponent(created);
  } catch (...) {
    created->Release();
    throw;
  }
  return S_OK;
}

}  // namespace

int32_t CreateHttpComponent(HttpComponent** component) {
  if (component == nullptr) return E_POINTER;
  *component = nullptr;
  const HttpComponentFactory factory = g_factory.load();
  return factory != nullptr ? factory(component) : CreateRegisteredComponent(component);
}

void SetHttpComponentFactoryForTesting(HttpComponentFactory factory) {
  g_factory.store(factory);
}

}  // namespace kestrel::netcomp
