#include "tools/kestrel-exporter/provider_loader.h"

#include <libxml/parser.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>

#include "host/device_view.h"
#include "host/provider_text.h"
#include "host/value_format.h"
#include "netcomp/curl_component.h"
#include "tools/kestrel-exporter/load_error.h"
#include "tools/kestrel-exporter/readings.h"

namespace kestrel::exporter {

namespace {

// The device's TLS trust, as the network component looks for it beside the device's trace: a
// link to the configured CA file (so a renewed file is read without a reload) and a marker that
// turns the check off. Files a previous configuration left are removed. Empty when all is in
// place, else why not.
std::string PlaceTrustFiles(const std::string& folder, const TlsConfig& tls) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path link = fs::path(folder) / netcomp::kTrustCaFileName;
  if (tls.ca_path.empty()) {
    fs::remove(link, error);
  } else {
    const fs::path target = fs::absolute(tls.ca_path, error);
    // Made aside and renamed over the old one, so a load never sees no link at all.
    const fs::path made = fs::path(folder) / (std::string(netcomp::kTrustCaFileName) + ".new");
    fs::remove(made, error);
    fs::create_symlink(target, made, error);
    if (!error) fs::rename(made, link, error);
  }
  if (error) return "cannot link the CA file into " + folder + ": " + error.message();
  const fs::path marker = fs::path(folder) / netcomp::kTrustInsecureFileName;
  if (!tls.insecure_skip_verify) {
    fs::remove(marker, error);
  } else if (!std::ofstream(marker)) {
    return "cannot write " + marker.string();
  }
  return error ? "cannot remove " + marker.string() + ": " + error.message() : std::string();
}

class ProviderLoader : public DeviceLoader {
 public:
  ProviderLoader(const host::LoadedModule& module, const DeviceConfig& device,
                 const AuthModule* auth, std::string folder)
      : destroy_(module.destroy), folder_(std::move(folder)) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
      problem_ = "cannot create the folder " + folder_ + ": " + error.message();
      problem_class_ = "write";
      return;
    }
    problem_ = PlaceTrustFiles(folder_, device.tls);
    if (!problem_.empty()) {
      problem_class_ = "write";
      return;
    }
    provider_ = module.create();
    if (provider_ == nullptr) {
      problem_ = "the module could not create a provider";
      return;
    }
    provider_->SetTracingFile((folder_ + "/trace.log").c_str());
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
  }

  LoadResult Load() override {
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

 private:
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
  std::string folder_;
  IEnvProvider* provider_ = nullptr;
  std::string problem_;
  const char* problem_class_ = nullptr;
};

}  // namespace

std::string DeviceFolder(const std::string& state_dir, const DeviceConfig& device) {
  if (!device.unlisted) return state_dir + "/" + device.name;
  // Host texts carry ':' and '/', which folder names should not; the hash keeps apart hosts that
  // differ only there. A leading dot is something no configured name starts with.
  std::string name;
  for (const char c : device.host) {
    name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
  }
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>()(device.host));
  return state_dir + "/.unlisted/" + name + "-" + hash;
}

LoaderFactory ModuleLoaderFactory(const host::LoadedModule& module, const std::string& state_dir) {
  // Documents are read on many threads at once; the parser's global state must exist before.
  xmlInitParser();
  return [module, state_dir](const DeviceConfig& device, const AuthModule* auth) {
    return std::make_unique<ProviderLoader>(module, device, auth, DeviceFolder(state_dir, device));
  };
}

}  // namespace kestrel::exporter
