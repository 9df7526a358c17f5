// Small helpers shared by the test programs: a scratch folder and whole-file reads.
#pragma once

#if defined(_WIN32)
#include <process.h>

#include <atomic>
#include <chrono>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kestrel::testing {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
 public:
  TempDir() {
#if defined(_WIN32)
    // No mkdtemp in the Windows C runtime: a name from the process id, a counter and the clock,
    // taken only when create_directory made it.
    static std::atomic<unsigned> counter{0};
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
      path_ = base / ("kestrel-test-" + std::to_string(::_getpid()) + "-" +
                      std::to_string(counter++) + "-" + std::to_string(stamp % 1000000));
      std::error_code error;
      if (std::filesystem::create_directory(path_, error)) break;
    }
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    path_ = made != nullptr ? made : pattern;
#endif
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const {
    return path_;
  }
  std::string File(const std::string& name) const {
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

inline std::string FixturePath(const std::string& relative) {
  return std::string(KESTREL_FIXTURES_DIR) + "/" + relative;
}

}  // namespace kestrel::testing
