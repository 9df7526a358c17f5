#include "app/files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kestrel::app {

namespace {

namespace fs = std::filesystem;

// Opens path for reading; a folder or a file that cannot be opened is refused with the reason.
bool Open(const std::string& path, fs::file_status& status, std::ifstream& in, std::string& why) {
  std::error_code failed;
  status = fs::status(path, failed);
  if (failed) {
    why = failed.message();
    return false;
  }
  if (fs::is_directory(status)) {
    why = "a folder, not a file";
    return false;
  }
  in.open(path, std::ios::binary);
  if (!in) {
    why = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& why) {
  fs::file_status status;
  std::ifstream in;
  if (!Open(path, status, in, why)) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    why = std::strerror(errno);
    return false;
  }
  return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error,
                      std::string& warning) {
  fs::file_status status;
  std::ifstream in;
  std::string why;
  if (!Open(path, status, in, why)) {
    error = fs::is_directory(status) ? path + " is " + why : path + ": " + why;
    return false;
  }
  std::getline(in, password);
  while (!password.empty() && (password.back() == '\r' || password.back() == '\n')) {
    password.pop_back();
  }
  if (password.empty()) {
    error = path + " is empty (the password is its first line)";
    return false;
  }
#if defined(_WIN32)
  // Windows files carry access lists, not these permission bits.
  (void)warning;
#else
  if ((status.permissions() & (fs::perms::group_read | fs::perms::others_read)) !=
      fs::perms::none) {
    warning = path + " can be read by other users; chmod 600 " + path;
  }
#endif
  return true;
}

}  // namespace kestrel::app
