// kestrel-host: the command-line stand-in for the host monitoring service. It loads the module,
// drives one provider through the exported table and shows what the module reports.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "provider/env_provider.h"

namespace {

constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: kestrel-host [--plugin PATH] --info\n"
               "  --plugin PATH   the module to load (default: libkestrel-probe.so beside this "
               "program)\n"
               "  --info          print the provider's identity and exit\n");
}

std::string DefaultModulePath() {
  char self[4096] = {0};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
  const std::size_t slash = path.rfind('/');
  path = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  return path + "/libkestrel-probe.so";
}

struct Module {
  void* handle = nullptr;
  CreatePluginInstanceFunction create = nullptr;
  DeletePluginInstanceFunction destroy = nullptr;
};

bool LoadModule(const std::string& path, Module& module) {
  module.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module.handle == nullptr) {
    std::fprintf(stderr, "kestrel-host: cannot load module %s: %s\n", path.c_str(), ::dlerror());
    return false;
  }
  module.create = reinterpret_cast<CreatePluginInstanceFunction>(
      ::dlsym(module.handle, "CreatePluginInstance"));
  module.destroy = reinterpret_cast<DeletePluginInstanceFunction>(
      ::dlsym(module.handle, "DeletePluginInstance"));
  if (module.create == nullptr || module.destroy == nullptr) {
    std::fprintf(stderr, "kestrel-host: module %s lacks the entry point %s\n", path.c_str(),
                 module.create == nullptr ? "CreatePluginInstance" : "DeletePluginInstance");
    return false;
  }
  return true;
}

std::string Read(IEnvProvider* provider, char* (IEnvProvider::*getter)(char*, uint32_t)) {
  char buffer[512] = {0};
  (provider->*getter)(buffer, sizeof buffer - 1);
  return buffer;
}

int PrintInfo(IEnvProvider* provider) {
  std::printf("provider name:        %s\n", Read(provider, &IEnvProvider::GetProviderName).c_str());
  std::printf("provider id:          %s\n", Read(provider, &IEnvProvider::GetProviderId).c_str());
  std::printf("default host:         %s\n", Read(provider, &IEnvProvider::GetDefaultHost).c_str());
  const uint32_t type_id = provider->GetDeviceTypeId();
  std::printf("device type id:       0x%05X (%u)\n", type_id, type_id);
  std::printf("supported protocols:  %u\n", provider->GetSupportedProtocols());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = DefaultModulePath();
  bool info = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--plugin" && i + 1 < argc) {
      plugin = argv[++i];
    } else if (arg == "--info") {
      info = true;
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kestrel-host: unknown or incomplete option '%s'\n", arg.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }

  Module module;
  if (!LoadModule(plugin, module)) return kExitUsage;
  IEnvProvider* provider = module.create();
  if (provider == nullptr) {
    std::fprintf(stderr, "kestrel-host: the module could not create a provider\n");
    return 1;
  }
  int status = 0;
  if (info) {
    status = PrintInfo(provider);
  } else {
    std::fprintf(stderr, "kestrel-host: loading a device is not available yet; use --info\n");
    status = kExitUsage;
  }
  module.destroy(provider);
  return status;
}
