// A device's own TLS trust, placed where the Linux network component looks for it: beside the
// trace file the host gives the device's provider.
#pragma once

#include <string>

namespace kestrel::host {

struct DeviceTrustFiles {
  std::string ca_path;  // the CA file to trust alone, absolute or relative to the working folder
  bool insecure_skip_verify = false;
};

// A link to the CA file (so a renewed file is read without a reload) and a marker that turns the
// check off, in folder; files a previous setting left are removed. Empty when all is in place,
// else why not.
std::string PlaceTrustFiles(const std::string& folder, const DeviceTrustFiles& trust);

// Whether a file of that name in such a folder is one PlaceTrustFiles makes.
bool IsTrustFileName(const std::string& name);

}  // namespace kestrel::host
