// What kestrel-host checks before it loads the module: the device address and the files it will
// read and write. Each check answers false with a message that names the problem.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::host {

// --host taken apart: operators paste URLs ("https://dev:8443/") where a host text is expected.
struct DeviceAddress {
  std::string host;  // what the module gets: "dev:8443", "10.0.0.5", "sim:8380/d2"
  bool scheme_given = false;
  bool secure = false;      // from the scheme, when one was given
  bool names_port = false;  // the host text carries a port
};

bool ParseDeviceAddress(const std::string& text, DeviceAddress& address, std::string& error);

// Creates the folder of path when missing and makes sure path itself can be written, without
// creating or changing it.
bool PrepareOutputFile(const std::string& path, std::string& error);

// A file that can be opened for reading (a CA certificate file).
bool CheckReadableFile(const std::string& path, std::string& error);

}  // namespace kestrel::host
