#include "programs/kestrel-exporter/provider_loader.h"

#include <libxml/parser.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>

#include "host/device_trust.h"
#include "host/device_view.h"
#include "host/provider_text.h"
#include "host/value_format.h"
#include "programs/kestrel-exporter/load_error.h"
#include "programs/kestrel-exporter/readings.h"

namespace kestrel::exporter {

namespace {

// A device's answer is about 1 KB; one near the network component's cap makes the module and
// the document reading take some 60 MB, which glibc would keep in the arena of the worker that
// ran the load: with many workers, a hostile device would leave the process at gigabytes.
constexpr std::uintmax_t kTrimAfterBodyBytes = 256 * 1024;

// The files a load leaves in its documents folder, the body first.
constexpr const char* kLoadFiles[] = {"device.json", "device.raw.xml", "device.xml",
                                      "device-data.xml"};

// After a large body, the memory the load took goes back to the system, and so do its files: the
// documents folder is meant for tmpfs, which is memory too, and a body at the cap leaves some
// 10 MB of files there. A real device never comes near; its trace keeps what the load did.
void ReturnMemoryAfterALargeBody(const std::string& folder) {
  std::error_code error;
  const std::uintmax_t bytes = std::filesystem::file_size(folder + "/" + kLoadFiles[0], error);
  if (error || bytes < kTrimAfterBodyBytes) return;
  for (const char* name : kLoadFiles) std::filesystem::remove(folder + "/" + name, error);
  malloc_trim(0);
}

class ProviderLoader : public DeviceLoader {
 public:
  ProviderLoader(const host::LoadedModule& module, const DeviceConfig& device,
                 const AuthModule* auth, std::string trace_folder, std::string folder)
      : destroy_(module.destroy),
        trace_folder_(std::move(trace_folder)),
        folder_(std::move(folder)) {
    for (const std::string* made : {&trace_folder_, &folder_}) {
      std::error_code error;
      std::filesystem::create_directories(*made, error);
      if (error) {
        problem_ = "cannot create the folder " + *made + ": " + error.message();
        problem_class_ = "write";
        return;
      }
    }
    problem_ =
        host::PlaceTrustFiles(trace_folder_, {device.tls.ca_path, device.tls.insecure_skip_verify});
    if (!problem_.empty()) {
      problem_class_ = "write";
      return;
    }
    provider_ = module.create();
    if (provider_ == nullptr) {
      problem_ = "the module could not create a provider";
      return;
    }
    provider_->SetTracingFile((trace_folder_ + "/trace.log").c_str());
    provider_->SetConfigWorkingFile((folder_ + "/device.xml").c_str());
    provider_->SetDataFile((folder_ + "/device-data.xml").c_str());
    provider_->SetHost(device.host.c_str());
    provider_->SetHttpSecure(device.secure ? 1 : 0);
    if (device.port != 0) provider_->SetHttpPort(device.port);
    if (auth != nullptr) {
      provider_->SetAccount(auth->user.c_str());
      provider_->SetPassword(auth->password.c_str());
    }
  }

  ~ProviderLoader() override {
    if (provider_ != nullptr) destroy_(provider_);
    if (remove_folder_) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      std::filesystem::remove_all(trace_folder_, ignored);
    }
  }

  void RemoveFolderAtEnd() { remove_folder_ = true; }

  LoadResult Load() override {
    LoadResult load = LoadDocuments();
    ReturnMemoryAfterALargeBody(folder_);
    return load;
  }

 private:
  LoadResult LoadDocuments() {
    LoadResult load;
    load.finished = true;
    if (provider_ == nullptr) {
      load.error = problem_;
      load.error_class = problem_class_;
      load.finished_at = static_cast<double>(std::time(nullptr));
      return load;
    }
    load.result = provider_->LoadDeviceData();
    load.finished_at = static_cast<double>(std::time(nullptr));
    load.error =
        host::Windows1252ToUtf8(host::ReadProviderText(provider_, &IEnvProvider::GetLastErrorText));
    if (load.result != 0) {
      load.unreachable = IsUnreachableError(load.error);
      load.error_class = RefinedClass(load.error);
      return load;
    }
    host::DeviceView data;
    std::string error;
    if (!host::ReadDeviceDocument(folder_ + "/device.xml", load.device, error) ||
        !host::ReadDeviceDocument(folder_ + "/device-data.xml", data, error)) {
      load.result = -1;
      load.error = error;
      load.error_class = "write";
      return load;
    }
    host::MergeDataForm(data, load.device);
    MarkReadings(folder_ + "/device.raw.xml", load.device);
    return load;
  }

  // The module says the same when a device lists no sensor and when its document cannot be
  // saved; the configuration document it wrote just before tells them apart.
  const char* RefinedClass(const std::string& error) const {
    if (std::string(ErrorClassOfText(error)) != "no_sensors") return nullptr;
    host::DeviceView written;
    std::string ignored;
    const bool empty = host::ReadDeviceDocument(folder_ + "/device.xml", written, ignored) &&
                       written.interfaces.empty();
    return empty ? nullptr : "write";
  }

  DeletePluginInstanceFunction destroy_;
  std::string trace_folder_;  // the trace and the TLS trust the network component finds beside it
  std::string folder_;        // the documents and working files
  IEnvProvider* provider_ = nullptr;
  std::string problem_;
  bool remove_folder_ = false;
  const char* problem_class_ = nullptr;
};

// FNV-1a: the same name on every run and build, unlike std::hash.
uint64_t Fnv1a(const std::string& text, uint64_t hash = 0xcbf29ce484222325u) {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  return hash;
}

}  // namespace

std::string DeviceFolder(const std::string& parent, const DeviceConfig& device, uint64_t instance) {
  if (!device.unlisted) return parent + "/" + device.name;
  // A leading dot is something no configured name starts with.
  char name[40];
  std::snprintf(
      name, sizeof name, "%016llx",
      static_cast<unsigned long long>(Fnv1a(device.host + '\0' + std::to_string(instance))));
  return parent + "/.unlisted/" + name;
}

void RemoveUnlistedFolders(const ExporterFolders& folders) {
  std::error_code ignored;
  std::filesystem::remove_all(folders.state + "/.unlisted", ignored);
  std::filesystem::remove_all(folders.documents + "/.unlisted", ignored);
}

bool IsUnreachableError(const std::string& error) {
  // The network component's texts for a time-out (10060) and a refusal (10061).
  return error.find("did not properly respond after a period of time") != std::string::npos ||
         error.find("actively refused") != std::string::npos;
}

LoaderFactory ModuleLoaderFactory(const host::LoadedModule& module,
                                  const ExporterFolders& folders) {
  // Documents are read on many threads at once; the parser's global state must exist before.
  xmlInitParser();
  auto instances = std::make_shared<std::atomic<uint64_t>>(0);
  return [module, folders, instances](const DeviceConfig& device, const AuthModule* auth) {
    const uint64_t instance = device.unlisted ? ++*instances : 0;
    auto loader = std::make_unique<ProviderLoader>(
        module, device, auth, DeviceFolder(folders.state, device, instance),
        DeviceFolder(folders.documents, device, instance));
    if (device.unlisted) loader->RemoveFolderAtEnd();
    return loader;
  };
}

}  // namespace kestrel::exporter
