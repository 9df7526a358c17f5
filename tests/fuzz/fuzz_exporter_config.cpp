// Any bytes as the exporter's configuration file and as a probe's query string: either accepted
// or refused with a one-line message that says where, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/exporter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  kestrel::exporter::Config config;
  std::string error;
  auto passwords = [](const std::string& path, std::string& password) {
    password = "x";
    return path != "missing";
  };
  if (kestrel::exporter::ParseConfig(text, "fuzz.yml", passwords, config, error)) {
    for (const auto& device : config.devices) {
      if (!kestrel::exporter::IsValidDeviceName(device.name) ||
          !kestrel::exporter::IsValidHostText(device.host)) {
        std::abort();
      }
    }
  } else if (error.rfind("fuzz.yml:", 0) != 0 || error.size() <= 9 ||
             error.find('\n') != std::string::npos) {
    std::abort();
  }

  std::string target;
  if (!kestrel::exporter::ParseProbeQuery(text, target, error) ? error.empty() : target.empty()) {
    std::abort();
  }
  return 0;
}
