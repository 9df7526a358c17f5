#include "host/device_trust.h"

#include <filesystem>
#include <fstream>

#include "netcomp/trust_files.h"

namespace kestrel::host {

std::string PlaceTrustFiles(const std::string& folder, const DeviceTrustFiles& trust) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path link = fs::path(folder) / netcomp::kTrustCaFileName;
  if (trust.ca_path.empty()) {
    fs::remove(link, error);
  } else {
    const fs::path target = fs::absolute(trust.ca_path, error);
    // Made aside and renamed over the old one, so a load never sees no link at all.
    const fs::path made = fs::path(folder) / (std::string(netcomp::kTrustCaFileName) + ".new");
    fs::remove(made, error);
    fs::create_symlink(target, made, error);
    if (!error) fs::rename(made, link, error);
  }
  if (error) return "cannot link the CA file into " + folder + ": " + error.message();
  const fs::path marker = fs::path(folder) / netcomp::kTrustInsecureFileName;
  if (!trust.insecure_skip_verify) {
    fs::remove(marker, error);
  } else if (!std::ofstream(marker)) {
    return "cannot write " + marker.string();
  }
  return error ? "cannot remove " + marker.string() + ": " + error.message() : std::string();
}

bool IsTrustFileName(const std::string& name) {
  const std::string ca = netcomp::kTrustCaFileName;
  return name == ca || name == ca + ".new" || name == netcomp::kTrustInsecureFileName;
}

}  // namespace kestrel::host
