// Loading the provider module and finding its two entry points. One implementation per platform
// (dlopen here, LoadLibrary on Windows); the host itself is the same on both.
#pragma once

#include <string>

#include "provider/env_provider.h"

namespace kestrel::host {

struct LoadedModule {
  void* handle = nullptr;
  CreatePluginInstanceFunction create = nullptr;
  DeletePluginInstanceFunction destroy = nullptr;
};

// The module beside this program, else where the package installs it (../lib/kestrel-probe);
// the one beside it when neither exists, so the error names the usual place.
std::string DefaultModulePath();

// Loads the module and resolves both entry points; on failure error says why and nothing stays
// loaded.
bool LoadModule(const std::string& path, LoadedModule& module, std::string& error);

void UnloadModule(LoadedModule& module);

// Fills module from a loaded handle and its two resolved entry points; false, with error saying
// which one is missing, when either is (the caller then unloads the handle).
inline bool AdoptEntryPoints(void* handle, CreatePluginInstanceFunction create,
                             DeletePluginInstanceFunction destroy, const std::string& path,
                             LoadedModule& module, std::string& error) {
  if (create == nullptr || destroy == nullptr) {
    error = "module " + path + " lacks the entry point " +
            (create == nullptr ? "CreatePluginInstance" : "DeletePluginInstance");
    return false;
  }
  module.handle = handle;
  module.create = create;
  module.destroy = destroy;
  return true;
}

}  // namespace kestrel::host
