#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/module_loader.h"

namespace kestrel::host {

std::string DefaultModulePath() {
  char self[4096] = {0};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
  const std::size_t slash = path.rfind('/');
  path = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  // A build folder holds the module beside the programs; the package puts the programs in
  // /usr/bin and the module in /usr/lib/kestrel-probe, out of the linker's search path.
  const std::string beside = path + "/libkestrel-probe.so";
  const std::string installed = path + "/../lib/kestrel-probe/libkestrel-probe.so";
  struct stat info {};
  if (::stat(beside.c_str(), &info) != 0 && ::stat(installed.c_str(), &info) == 0) {
    return installed;
  }
  return beside;
}

bool LoadModule(const std::string& path, LoadedModule& module, std::string& error) {
  module = LoadedModule{};
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    error = "cannot load module " + path + ": " + (reason != nullptr ? reason : "unknown error");
    return false;
  }
  auto create =
      reinterpret_cast<CreatePluginInstanceFunction>(::dlsym(handle, "CreatePluginInstance"));
  auto destroy =
      reinterpret_cast<DeletePluginInstanceFunction>(::dlsym(handle, "DeletePluginInstance"));
  if (!AdoptEntryPoints(handle, create, destroy, path, module, error)) {
    ::dlclose(handle);
    return false;
  }
  return true;
}

void UnloadModule(LoadedModule& module) {
  if (module.handle != nullptr) ::dlclose(module.handle);
  module = LoadedModule{};
}

}  // namespace kestrel::host
