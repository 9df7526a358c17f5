#include <windows.h>

#include "host/module_loader.h"

namespace kestrel::host {

std::string DefaultModulePath() {
  char self[MAX_PATH] = {0};
  const DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path = n > 0 && n < MAX_PATH ? std::string(self, n) : std::string();
  const std::size_t slash = path.find_last_of("\\/");
  path = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  return path + "\\kestrel-probe.dll";
}

bool LoadModule(const std::string& path, LoadedModule& module, std::string& error) {
  module = LoadedModule{};
  HMODULE handle = ::LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    error = "cannot load module " + path + ": Windows error " + std::to_string(::GetLastError());
    return false;
  }
  auto create = reinterpret_cast<CreatePluginInstanceFunction>(
      reinterpret_cast<void*>(::GetProcAddress(handle, "CreatePluginInstance")));
  auto destroy = reinterpret_cast<DeletePluginInstanceFunction>(
      reinterpret_cast<void*>(::GetProcAddress(handle, "DeletePluginInstance")));
  if (!AdoptEntryPoints(handle, create, destroy, path, module, error)) {
    ::FreeLibrary(handle);
    return false;
  }
  return true;
}

void UnloadModule(LoadedModule& module) {
  if (module.handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(module.handle));
  module = LoadedModule{};
}

}  // namespace kestrel::host
