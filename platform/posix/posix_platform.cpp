// Lock, files, time, COM strings and the COM apartment on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace kestrel::platform {

// ------------------------------------------------------------------ lock

namespace {

// Every library object has a lock and most never take it (a parsed JSON document makes thousands),
// so the mutex is made on first use. Two threads racing to make it agree on one.
std::recursive_mutex* MutexOf(void*& impl) {
  void* current = __atomic_load_n(&impl, __ATOMIC_ACQUIRE);
  if (current != nullptr) return static_cast<std::recursive_mutex*>(current);
  auto* made = new std::recursive_mutex;
  void* expected = nullptr;
  if (__atomic_compare_exchange_n(&impl, &expected, static_cast<void*>(made), false,
                                  __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    return made;
  }
  delete made;
  return static_cast<std::recursive_mutex*>(expected);
}

}  // namespace

Lock::Lock() : impl_(nullptr) {}
Lock::~Lock() {
  delete static_cast<std::recursive_mutex*>(impl_);
}
void Lock::Enter() {
  MutexOf(impl_)->lock();
}
void Lock::Leave() {
  MutexOf(impl_)->unlock();
}

// ------------------------------------------------------------------ files

int32_t FileExistsNotDirectory(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  struct stat info {};
  if (::stat(path, &info) != 0) return 0;
  return S_ISDIR(info.st_mode) ? 0 : 1;
}

namespace {

// A stdio stream over a file descriptor that writes every LF as CR LF, as the Windows C runtime's
// text mode does, so that files reach the disk with the same bytes on both targets.
ssize_t TextModeWrite(void* cookie, const char* data, size_t size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
  char chunk[8192];
  size_t used = 0;
  auto flush = [&]() -> bool {
    size_t done = 0;
    while (done < used) {
      const ssize_t n = ::write(fd, chunk + done, used - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += static_cast<size_t>(n);
    }
    used = 0;
    return true;
  };
  // Runs between line feeds are copied whole; most of a device document is such runs.
  const char* at = data;
  const char* const end = data + size;
  while (at < end) {
    const auto* feed =
        static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    const char* run_end = feed != nullptr ? feed : end;
    while (at < run_end) {
      if (used == sizeof chunk && !flush()) return -1;
      const size_t n = std::min(static_cast<size_t>(run_end - at), sizeof chunk - used);
      std::memcpy(chunk + used, at, n);
      used += n;
      at += n;
    }
    if (feed == nullptr) break;
    if (used + 2 > sizeof chunk && !flush()) return -1;
    chunk[used++] = '\r';
    chunk[used++] = '\n';
    ++at;
  }
  if (!flush()) return -1;
  return static_cast<ssize_t>(size);
}

int TextModeClose(void* cookie) {
  return ::close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

}  // namespace

namespace {

// The descriptor behind OpenTextFile and WriteTextAtOnce, or -1.
int OpenTextDescriptor(const char* path, const char* mode) {
  if (path == nullptr || *path == '\0' || mode == nullptr) return -1;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  if (mode[0] == 'w') {
    flags |= O_TRUNC;
  } else if (mode[0] == 'a') {
    flags |= O_APPEND;
  } else {
    return -1;
  }
  return ::open(path, flags, 0666);
}

}  // namespace

std::FILE* OpenTextFile(const char* path, const char* mode) {
  const int fd = OpenTextDescriptor(path, mode);
  if (fd < 0) return nullptr;
  cookie_io_functions_t functions{};
  functions.write = TextModeWrite;
  functions.close = TextModeClose;
  std::FILE* file =
      ::fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", functions);
  if (file == nullptr) ::close(fd);
  return file;
}

int32_t WriteTextAtOnce(const char* path, const char* mode, const char* data, std::size_t size) {
  const int fd = OpenTextDescriptor(path, mode);
  if (fd < 0) return -1;
  void* cookie = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
  if (data != nullptr && size > 0) TextModeWrite(cookie, data, size);
  TextModeClose(cookie);
  return 0;
}

uint32_t ExecutableFileName(char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const ssize_t n = ::readlink("/proc/self/exe", buffer, size - 1);
  const uint32_t length = n > 0 ? static_cast<uint32_t>(n) : 0;
  buffer[length] = '\0';
  return length;
}

const char* AssertionLogPath() {
  return "/var/tmp/mvdebug/assert.txt";
}

// ------------------------------------------------------------------ time

namespace {

uint32_t RealTickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealSleep(uint32_t milliseconds) {
  struct timespec wait {};
  wait.tv_sec = milliseconds / 1000;
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

std::atomic<TickFunction> g_tick{nullptr};
std::atomic<SleepFunction> g_sleep{nullptr};

}  // namespace

uint32_t TickCount() {
  const TickFunction tick = g_tick.load();
  return tick != nullptr ? tick() : RealTickCount();
}

void SleepMs(uint32_t milliseconds) {
  const SleepFunction sleep = g_sleep.load();
  if (sleep != nullptr) {
    sleep(milliseconds);
  } else {
    RealSleep(milliseconds);
  }
}

void SetClockForTesting(TickFunction tick, SleepFunction sleep) {
  g_tick.store(tick);
  g_sleep.store(sleep);
}

// ------------------------------------------------------------------ COM strings and apartment

std::size_t WideLength(const WChar* text) {
  if (text == nullptr) return 0;
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

WChar* AllocWideString(const WChar* text, std::size_t length) {
  auto* copy = static_cast<WChar*>(std::malloc((length + 1) * sizeof(WChar)));
  if (copy == nullptr) return nullptr;
  if (text != nullptr && length > 0) std::memcpy(copy, text, length * sizeof(WChar));
  copy[length] = 0;
  return copy;
}

void FreeWideString(WChar* text) {
  std::free(text);
}

// Linux has no apartments: set-up always succeeds and there is nothing to undo.
int32_t ComInitialize() {
  return 0;
}
int32_t ComInitializeMultithreaded() {
  return 0;
}
void ComUninitialize() {}

}  // namespace kestrel::platform
