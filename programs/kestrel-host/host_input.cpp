#include "programs/kestrel-host/host_input.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/session.h"

namespace kestrel::host {

namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return text;
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         Lower(text.substr(text.size() - suffix.size())) == Lower(suffix);
}

// Where the port of an authority starts (after its ':'), or npos. A bare IPv6 literal has none.
std::size_t PortStart(const std::string& authority) {
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos || close + 1 >= authority.size()) return std::string::npos;
    return authority[close + 1] == ':' ? close + 2 : std::string::npos;
  }
  const std::size_t colon = authority.find(':');
  return colon != std::string::npos && authority.find(':', colon + 1) == std::string::npos
             ? colon + 1
             : std::string::npos;
}

bool WritableByUs(const std::string& path) {
#if defined(_WIN32)
  return ::_access(path.c_str(), 2) == 0;
#else
  return ::access(path.c_str(), W_OK) == 0;
#endif
}

// Opens path for reading; a folder or a file that cannot be opened is refused with the reason.
bool OpenFileForReading(const std::string& path, fs::file_status& status, std::ifstream& in,
                        std::string& error) {
  std::error_code failed;
  status = fs::status(path, failed);
  if (failed) {
    error = path + ": " + failed.message();
    return false;
  }
  if (fs::is_directory(status)) {
    error = path + " is a folder, not a file";
    return false;
  }
  in.open(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool ParseDeviceAddress(const std::string& text, DeviceAddress& address, std::string& error) {
  address = DeviceAddress();
  std::string rest = text;
  const std::size_t scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) {
    const std::string scheme = Lower(rest.substr(0, scheme_end));
    if (scheme != "http" && scheme != "https") {
      error = "'" + text + "': the device speaks http:// or https://, not " + scheme + "://";
      return false;
    }
    address.scheme_given = true;
    address.secure = scheme == "https";
    rest.erase(0, scheme_end + 3);
  }
  const std::size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string authority = rest.substr(0, authority_end);
  std::string path = rest.substr(authority_end);
  if (authority.find('@') != std::string::npos) {
    // Not echoed: the text holds a password.
    error =
        "a user name or password in the host text would show in the process list and in files; "
        "give --user NAME and --password-file FILE instead";
    return false;
  }
  if (address.scheme_given && authority.empty()) {
    error = "'" + text + "' names no host";
    return false;
  }
  if (path.find_first_of("?#") != std::string::npos) {
    error = "'" + text + "': the module asks for " + kStatusDocumentPath +
            " itself; a query or fragment cannot follow the host";
    return false;
  }
  // A pasted status URL names the document the module adds itself.
  if (EndsWithNoCase(path, kStatusDocumentPath))
    path.resize(path.size() - std::strlen(kStatusDocumentPath));
  while (!path.empty() && path.back() == '/') path.pop_back();

  const std::size_t port_start = PortStart(authority);
  if (port_start != std::string::npos) {
    const std::string port = authority.substr(port_start);
    const bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    const long number = digits ? std::strtol(port.c_str(), nullptr, 10) : 0;
    if (number < 1 || number > 65535) {
      error = "'" + text + "': port " + port + " is not in 1..65535";
      return false;
    }
    address.names_port = true;
  }
  address.host = authority + path;
  return true;
}

bool PrepareOutputFile(const std::string& path, std::string& error) {
  const fs::path file(path);
  const fs::path folder = file.parent_path();
  std::error_code failed;
  if (!folder.empty() && !fs::is_directory(folder, failed)) {
    fs::create_directories(folder, failed);
    if (failed) {
      error = "cannot create the folder " + folder.string() + ": " + failed.message();
      return false;
    }
  }
  const fs::file_status status = fs::status(file, failed);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) {
      error = "cannot write " + path + ": it is a folder";
      return false;
    }
    if (!WritableByUs(path)) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  const std::string where = folder.empty() ? "." : folder.string();
  if (!WritableByUs(where)) {
    error = "cannot write " + path + ": " + std::strerror(errno) + " (folder " + where + ")";
    return false;
  }
  return true;
}

bool CheckReadableFile(const std::string& path, std::string& error) {
  fs::file_status status;
  std::ifstream in;
  return OpenFileForReading(path, status, in, error);
}

}  // namespace kestrel::host
