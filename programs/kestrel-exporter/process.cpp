#include "programs/kestrel-exporter/process.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kestrel::exporter {

namespace {

// The program's own: the listening socket, standard streams, the module, libcurl's resolver.
constexpr std::size_t kBaseDescriptors = 64;
// Each configured device keeps its connection between loads.
constexpr std::size_t kDescriptorsPerDevice = 1;
// A load in progress (one per worker at most) opens the trace or a document beside it.
constexpr std::size_t kDescriptorsPerLoad = 2;
// Connections of scrapers and browsers the HTTP server is meant to hold at once, the fewest it
// is left with however short the limit, and the most it takes however high.
constexpr std::size_t kClientDescriptors = 1024;
constexpr std::size_t kFewestClients = 64;
constexpr std::size_t kMostClients = 100000;

std::string ReadHolder(int fd) {
  char text[32] = {0};
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  std::string pid(text, got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) return "unknown";
  return pid;
}

// The lock of one folder; what: "state" or "documents", as the folder's option is named.
int LockFolder(const std::string& folder, const char* what, std::string& error) {
  const std::string path = folder + "/.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    error = why == EWOULDBLOCK
                ? std::string("the ") + what + " directory " + folder +
                      " is in use by another kestrel-exporter (PID " + ReadHolder(fd) +
                      "); give each exporter its own --" + what + "-dir"
                : "cannot lock " + path + ": " + std::strerror(why);
    ::close(fd);
    return -1;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds without the PID; a second exporter then names it "unknown".
    error.clear();
  }
  return fd;
}

}  // namespace

bool LockFolders(const std::string& state, const std::string& documents, std::string& error) {
  if (LockFolder(state, "state", error) < 0) return false;
  std::error_code ignored;
  // Two locks of one file would shut each other out, even in one process.
  if (std::filesystem::equivalent(state, documents, ignored)) return true;
  return LockFolder(documents, "documents", error) >= 0;
}

std::size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(-1)
                                         : static_cast<std::size_t>(limit.rlim_cur);
}

void BoundMemoryArenas() {
  if (std::getenv("MALLOC_ARENA_MAX") != nullptr) return;
  const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  mallopt(M_ARENA_MAX, static_cast<int>(std::max(2L, std::min(cores, 64L))));
}

DescriptorPlan PlanDescriptors(std::size_t limit, std::size_t devices, std::size_t workers) {
  DescriptorPlan plan;
  const std::size_t reserved =
      kBaseDescriptors + kDescriptorsPerDevice * devices + kDescriptorsPerLoad * workers;
  plan.needed = reserved + kClientDescriptors;
  plan.connections = limit > reserved ? limit - reserved : 0;
  plan.connections = std::max(kFewestClients, std::min(plan.connections, kMostClients));
  return plan;
}

}  // namespace kestrel::exporter
