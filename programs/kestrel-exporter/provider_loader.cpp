#include "programs/kestrel-exporter/provider_loader.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "host/device_trust.h"
#include "host/session.h"

namespace kestrel::exporter {

namespace {

// A device's answer is about 1 KB; one near the network component's cap makes the module and
// the document reading take some 60 MB, which glibc would keep in the arena of the worker that
// ran the load: with many workers, a hostile device would leave the process at gigabytes.
constexpr std::uintmax_t kTrimAfterBodyBytes = 256 * 1024;

// After a large body, the memory the load took goes back to the system, and so do its files: the
// documents folder is meant for tmpfs, which is memory too, and a body at the cap leaves some
// 10 MB of files there. A real device never comes near; its trace keeps what the load did. A load
// that was read back tells its size (the intermediate XML is larger than the body it was made
// of); only a failed one costs a look at the body's file.
void ReturnMemoryAfterALargeBody(const host::LoadView& view) {
  std::error_code error;
  const std::uintmax_t bytes =
      view.Ok() ? view.raw_xml_bytes : std::filesystem::file_size(view.files.Json(), error);
  if (error || bytes < kTrimAfterBodyBytes) return;
  const host::LoadFiles& files = view.files;
  for (const std::string& name : {files.Json(), files.RawXml(), files.config, files.data}) {
    std::filesystem::remove(name, error);
  }
  malloc_trim(0);
}

// A trace file as it stood: a load that left it as it was wrote none of its lines.
struct TraceMark {
  bool exists = false;
  ino_t inode = 0;
  off_t size = 0;

  static TraceMark Of(const std::string& path) {
    struct stat status {};
    TraceMark mark;
    if (::stat(path.c_str(), &status) != 0) return mark;
    mark.exists = true;
    mark.inode = status.st_ino;
    mark.size = status.st_size;
    return mark;
  }
  bool Grew(const TraceMark& before) const {
    return exists && (!before.exists || inode != before.inode || size != before.size);
  }
};

// Why a file takes no lines, as far as opening it for appending tells.
std::string WhyNotWritten(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return "it opens, but takes no bytes (is its file system full?)";
}

// An unlisted target's load yields the processor to configured devices' loads and to the server
// (a 1 MB document takes a core for a second or more): nice 10 on its thread, which Linux keeps
// per thread.
constexpr int kUnlistedNice = 10;

class ProviderLoader : public DeviceLoader {
 public:
  ProviderLoader(const host::LoadedModule& module, const DeviceConfig& device,
                 const AuthModule* auth, std::string trace_folder, std::string folder,
                 FolderWrites* writes)
      : trace_folder_(std::move(trace_folder)), folder_(std::move(folder)), writes_(writes) {
    for (const std::string* made : {&trace_folder_, &folder_}) {
      std::error_code error;
      std::filesystem::create_directories(*made, error);
      if (error) {
        problem_ = "cannot create the folder " + *made + ": " + error.message();
        problem_folder_ = made == &folder_ ? ExporterFolder::kDocuments : ExporterFolder::kState;
        return;
      }
    }
    problem_ =
        host::PlaceTrustFiles(trace_folder_, {device.tls.ca_path, device.tls.insecure_skip_verify});
    if (!problem_.empty()) return;
    session_ = std::make_unique<host::Session>(module);
    host::SessionSettings settings;
    settings.has_host = true;
    settings.host = device.host;
    settings.secure = device.secure;
    settings.port = device.port;
    if (auth != nullptr) {
      settings.user = auth->user;
      settings.password = auth->password;
    }
    settings.files = {folder_ + "/device.xml", folder_ + "/device-data.xml",
                      trace_folder_ + "/trace.log"};
    settings.guidance = false;
    session_->Apply(settings);
  }

  ~ProviderLoader() override {
    session_.reset();
    if (unlisted_) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      std::filesystem::remove_all(trace_folder_, ignored);
    }
  }

  // An unlisted target's: its folders go with it, and it loads at a lower priority.
  void MarkUnlisted() { unlisted_ = true; }

  LoadResult Load() override {
    // Threads that load unlisted targets load nothing else: once lowered, they stay so.
    if (unlisted_) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kUnlistedNice);
    LoadResult load;
    load.finished = true;
    if (session_ == nullptr || !session_->Problem().empty()) {
      load.error = session_ == nullptr ? problem_ : session_->Problem();
      // A folder that cannot be made or trusted is the disk's; a provider that cannot be made is
      // the module's.
      load.failure_class =
          session_ == nullptr ? host::FailureClass::kWrite : host::FailureClass::kOther;
      load.finished_at = static_cast<double>(std::time(nullptr));
      if (session_ == nullptr && writes_ != nullptr) writes_->Refused(problem_folder_, problem_);
      return load;
    }
    const TraceMark before = TraceMark::Of(session_->Settings().files.trace);
    host::LoadView view = session_->Load();
    WatchWrites(before, view);
    ReturnMemoryAfterALargeBody(view);
    load.finished_at = static_cast<double>(std::time(nullptr));
    load.result = view.Ok() ? 0 : -1;
    load.error = view.read_error.empty() ? std::move(view.last_error) : std::move(view.read_error);
    load.failure_class = view.failure.failure_class;
    load.unreachable = load.result != 0 && host::IsUnreachable(load.failure_class);
    load.device = std::move(view.device);
    return load;
  }

 private:
  // Tells writes_ whether the load's trace and documents were written.
  void WatchWrites(const TraceMark& before, const host::LoadView& view) {
    if (writes_ == nullptr) return;
    const std::string& trace = view.files.trace;
    if (TraceMark::Of(trace).Grew(before)) {
      writes_->Written(ExporterFolder::kState);
    } else {
      writes_->Refused(ExporterFolder::kState,
                       "nothing was written into " + trace + ": " + WhyNotWritten(trace));
    }
    if (view.failure.failure_class == host::FailureClass::kWrite) {
      writes_->Refused(ExporterFolder::kDocuments,
                       view.files.config + " could not be written or read back");
    } else if (view.Ok()) {
      writes_->Written(ExporterFolder::kDocuments);
    }
  }

  std::string trace_folder_;  // the trace and the TLS trust the network component finds beside it
  std::string folder_;        // the documents and working files
  FolderWrites* const writes_;
  std::unique_ptr<host::Session> session_;
  std::string problem_;
  ExporterFolder problem_folder_ = ExporterFolder::kState;
  bool unlisted_ = false;
};

// FNV-1a: the same name on every run and build, unlike std::hash.
uint64_t Fnv1a(const std::string& text, uint64_t hash = 0xcbf29ce484222325u) {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  return hash;
}

// The files a provider's folders hold: its documents, the module's working files beside them, its
// trace (with what logrotate makes of it) and its TLS trust.
bool OurFileName(const std::string& name) {
  const host::LoadFiles files{"device.xml", "device-data.xml", "trace.log"};
  for (const std::string& ours : {files.config, files.data, files.Json(), files.RawXml()}) {
    if (name == ours) return true;
  }
  return name.rfind(files.trace, 0) == 0 || host::IsTrustFileName(name);
}

// An unlisted target's folder as DeviceFolder names them, holding only files it makes.
bool OfOurMaking(const std::filesystem::path& folder) {
  const std::string name = folder.filename().string();
  if (name.size() != 16 || name.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return false;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, error))) return false;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const auto type = it->symlink_status(error).type();
    const bool file =
        type == std::filesystem::file_type::regular || type == std::filesystem::file_type::symlink;
    if (!file || !OurFileName(it->path().filename().string())) return false;
  }
  return !error;
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
  for (const std::string* parent : {&folders.state, &folders.documents}) {
    const std::filesystem::path unlisted = *parent + "/.unlisted";
    std::error_code error;
    for (std::filesystem::directory_iterator it(unlisted, error), end; !error && it != end;
         it.increment(error)) {
      std::error_code ignored;
      if (OfOurMaking(it->path())) std::filesystem::remove_all(it->path(), ignored);
    }
    std::filesystem::remove(unlisted, error);  // only when nothing else is left in it
  }
}

LoaderFactory ModuleLoaderFactory(const host::LoadedModule& module, const ExporterFolders& folders,
                                  FolderWrites* writes) {
  auto instances = std::make_shared<std::atomic<uint64_t>>(0);
  return [module, folders, instances, writes](const DeviceConfig& device, const AuthModule* auth) {
    const uint64_t instance = device.unlisted ? ++*instances : 0;
    auto loader = std::make_unique<ProviderLoader>(
        module, device, auth, DeviceFolder(folders.state, device, instance),
        DeviceFolder(folders.documents, device, instance), writes);
    if (device.unlisted) loader->MarkUnlisted();
    return loader;
  };
}

}  // namespace kestrel::exporter
