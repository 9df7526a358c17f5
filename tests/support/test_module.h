// Loads a built module the way a host does (dlopen on Linux, LoadLibrary on Windows) and resolves
// its exports by name.
#pragma once

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kestrel::testing {

class LoadedModule {
 public:
  explicit LoadedModule(const char* path) {
#if defined(_WIN32)
    handle_ = ::LoadLibraryA(path);
    if (handle_ == nullptr)
      error_ = "LoadLibrary failed, error " + std::to_string(::GetLastError());
#else
    handle_ = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) error_ = ::dlerror();
#endif
  }
  ~LoadedModule() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    ::FreeLibrary(handle_);
#else
    ::dlclose(handle_);
#endif
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool loaded() const {
    return handle_ != nullptr;
  }
  const std::string& error() const {
    return error_;
  }

  template <typename Function>
  Function Symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(handle_, name)));
#else
    return reinterpret_cast<Function>(::dlsym(handle_, name));
#endif
  }

 private:
#if defined(_WIN32)
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
  std::string error_;
};

}  // namespace kestrel::testing
