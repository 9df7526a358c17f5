#include "common/mvn_base.h"

#include <atomic>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

namespace {

using kestrel::platform::LockGuard;

constexpr const char* kLogSection = "Log";
constexpr const char* kInitSection = "Init";
constexpr const char* kNextEntryKey = "NextEntry";

struct TimeOfDay {
  int hour;
  int minute;
  int second;
};

// The C library's conversion to local time consults the time zone under a lock, some 400 ns a
// call, and a load writes 14 stamped lines: each second's time of day is worked out once, for
// every thread. One word holds the second (upper bits) and its time of day in seconds (lower 17
// bits, room for a leap second), so a reader never sees the one without the other.
constexpr int kDayBits = 17;
std::atomic<uint64_t> g_time_of_day{~uint64_t{0}};
std::atomic<bool> g_cache_time_of_day{true};

TimeOfDay LocalTimeOfDay() {
  const std::time_t now = std::time(nullptr);
  const auto stamp = static_cast<uint64_t>(now);
  uint64_t cached = g_time_of_day.load(std::memory_order_relaxed);
  if ((cached >> kDayBits) != stamp || !g_cache_time_of_day.load(std::memory_order_relaxed)) {
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    const auto seconds =
        static_cast<uint64_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
    cached = (stamp << kDayBits) | seconds;
    g_time_of_day.store(cached, std::memory_order_relaxed);
  }
  const auto seconds = static_cast<int>(cached & ((uint64_t{1} << kDayBits) - 1));
  return TimeOfDay{seconds / 3600, seconds / 60 % 60, seconds % 60};
}

// True when format uses nothing beyond %s, %d, %u, %ld, %lu and %%, without flags, width or
// precision: all that the trace lines use.
bool IsSimpleFormat(const char* format) {
  for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
    ++p;
    if (*p == 'l') ++p;
    if (*p != 's' && *p != 'd' && *p != 'u' && !(*p == '%' && p[-1] == '%')) return false;
    ++p;
  }
  return true;
}

// vsnprintf for a simple format (see IsSimpleFormat): the same text, cut to size - 1 bytes and
// terminated, without the general machinery.
void FormatSimple(char* out, std::size_t size, const char* format, va_list args) {
  char* const end = out + size - 1;
  auto put = [&out, end](const char* text, std::size_t length) {
    const std::size_t room = static_cast<std::size_t>(end - out);
    if (length > room) length = room;
    std::memcpy(out, text, length);
    out += length;
  };
  char digits[24];
  for (const char* p = format; *p != '\0';) {
    const char* percent = std::strchr(p, '%');
    if (percent == nullptr) {
      put(p, std::strlen(p));
      break;
    }
    put(p, static_cast<std::size_t>(percent - p));
    p = percent + 1;
    const bool is_long = *p == 'l';
    if (is_long) ++p;
    const char conversion = *p++;
    std::to_chars_result converted{digits, std::errc()};
    if (conversion == 's') {
      const char* text = va_arg(args, const char*);
      if (text == nullptr) text = "(null)";
      put(text, std::strlen(text));
      continue;
    }
    if (conversion == '%') {
      put("%", 1);
      continue;
    }
    if (conversion == 'd') {
      converted = is_long ? std::to_chars(digits, digits + sizeof digits, va_arg(args, long))
                          : std::to_chars(digits, digits + sizeof digits, va_arg(args, int));
    } else {
      converted = is_long
                      ? std::to_chars(digits, digits + sizeof digits, va_arg(args, unsigned long))
                      : std::to_chars(digits, digits + sizeof digits, va_arg(args, unsigned));
    }
    put(digits, static_cast<std::size_t>(converted.ptr - digits));
  }
  *out = '\0';
}

// Empties the profile's "Log" section, retrying a busy file twice after 10 ms.
int32_t ClearLogSection(const char* profile_file) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) kestrel::platform::SleepMs(10);
    if (kestrel::platform::WriteProfileSection(kLogSection, nullptr, profile_file) != 0) return 1;
  }
  return 0;
}

int32_t WriteNextEntry(int32_t value, const char* profile_file) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return kestrel::platform::WriteProfileString(kInitSection, kNextEntryKey, text, profile_file);
}

// The trace file, appended to when it exists, else created. Unbuffered: a line is written with one
// call, and a stream buffer would be a heap block per line.
std::FILE* OpenTraceFile(const char* path) {
  std::FILE* file =
      kestrel::platform::OpenTextFile(path, CMvnBase::FileExists(path) == 1 ? "at" : "wt");
  if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

// line is the sink's line buffer, which has room for the line feed behind any line it holds. The
// line and its line feed go out in one write, without a stream at all.
void AppendTraceLine(const char* path, char* line, std::size_t length) {
  line[length] = '\n';
  kestrel::platform::WriteTextAtOnce(path, CMvnBase::FileExists(path) == 1 ? "at" : "wt", line,
                                     length + 1);
}

}  // namespace

// ------------------------------------------------------------------ MultiSzList

namespace {
// Every object carries a log ring, and almost none ever fills it: an empty one shares this block
// instead of allocating its own. It is never written.
char kNoEntries[2] = {'\0', '\0'};
}  // namespace

MultiSzList::MultiSzList() : length(0), buffer(kNoEntries) {}

MultiSzList::~MultiSzList() {
  if (buffer != kNoEntries) std::free(buffer);
}

void MultiSzList::Clear() {
  if (buffer != kNoEntries) std::free(buffer);
  buffer = kNoEntries;
  length = 0;
}

void MultiSzList::SetFromMultiSz(const char* source) {
  Clear();
  if (source == nullptr || *source == '\0') return;
  const char* end = source;
  while (*end != '\0') end += std::strlen(end) + 1;
  const uint32_t bytes = static_cast<uint32_t>(end - source);
  char* block = static_cast<char*>(std::malloc(bytes + 1));
  if (block == nullptr) return;
  std::memcpy(block, source, bytes);
  block[bytes] = '\0';
  buffer = block;
  length = bytes;
}

void MultiSzList::AppendString(const char* text) {
  if (text == nullptr || *text == '\0') return;
  const uint32_t add = static_cast<uint32_t>(std::strlen(text)) + 1;
  char* block =
      static_cast<char*>(std::realloc(buffer != kNoEntries ? buffer : nullptr, length + add + 1));
  if (block == nullptr) return;
  buffer = block;
  std::memcpy(buffer + length, text, add);
  length += add;
  buffer[length] = '\0';
}

void MultiSzList::AddEntry(const char* text, uint32_t number) {
  CMvnString entry;
  entry.Format("%08lX|", static_cast<unsigned long>(number));
  entry.Append(text);
  AppendString(entry.Text());
}

uint32_t MultiSzList::EntryCount() const {
  uint32_t count = 0;
  for (const char* p = buffer; *p != '\0'; p += std::strlen(p) + 1) ++count;
  return count;
}

void MultiSzList::KeepLast(uint32_t count) {
  uint32_t total = EntryCount();
  if (total <= count) return;
  const char* keep = buffer;
  for (; total > count; --total) keep += std::strlen(keep) + 1;
  const uint32_t dropped = static_cast<uint32_t>(keep - buffer);
  std::memmove(buffer, keep, length - dropped + 1);
  length -= dropped;
}

// ------------------------------------------------------------------ time stamp

void kestrel::UseTimeOfDayCache(bool use) {
  g_cache_time_of_day = use;
}

void kestrel::WriteTimeStamp(char* out) {
  const TimeOfDay local = LocalTimeOfDay();
  // The fields always have two digits, and a printf per line costs more than the rest of the line.
  const int fields[] = {local.hour, local.minute, local.second};
  char* at = out;
  *at++ = '[';
  for (int field : fields) {
    *at++ = static_cast<char>('0' + field / 10 % 10);
    *at++ = static_cast<char>('0' + field % 10);
    *at++ = ':';
  }
  at[-1] = ']';
  *at = ' ';
}

// ------------------------------------------------------------------ CMvnBase

void CMvnBase::DeleteTraceState() {
  delete trace_state_;
}

CMvnBase::TraceState& CMvnBase::State() {
  if (trace_state_ == nullptr) trace_state_ = new TraceState();
  return *trace_state_;
}

int32_t CMvnBase::IsEqual(const CMvnBase* /*other*/) const {
  return 0;
}

CMvnBase* CMvnBase::Clone() const {
  return new CMvnBase("");
}

void CMvnBase::SetTraceFile(const char* path) {
  LockGuard guard(lock_);
  if (trace_state_ == nullptr && (path == nullptr || *path == '\0')) return;
  State().trace_file.Assign(path);
}

CMvnString& CMvnBase::GetTraceFile(CMvnString& out) {
  LockGuard guard(lock_);
  if (trace_state_ == nullptr) return out.Assign("");
  if (&out != &trace_state_->trace_file) out.Assign(trace_state_->trace_file);
  return out;
}

void CMvnBase::SetLogProfileFile(const char* path) {
  LockGuard guard(lock_);
  if (trace_state_ == nullptr && (path == nullptr || *path == '\0')) return;
  State().log_profile_file.Assign(path);
}

void CMvnBase::Trace(uint32_t flags, const char* format, ...) {
  LockGuard guard(lock_);
  if (trace_state_ == nullptr) return;
  TraceState& state = *trace_state_;
  if (state.trace_file.IsEmpty() && state.log_profile_file.IsEmpty()) return;
  if (flags == 0 || format == nullptr || *format == '\0') return;
  // On the stack: a buffer kept by every object that traces would be 16 KB of every provider's
  // memory between its loads, for a line that lives as long as this call.
  char line[kLineBufferSize];

  kestrel::WriteTimeStamp(line);
  const int stamp = static_cast<int>(kestrel::kTimeStampLength);
  va_list args;
  va_start(args, format);
  // A message longer than the buffer is cut at its end rather than refused.
  int produced = 0;
  if (IsSimpleFormat(format)) {
    FormatSimple(line + stamp, kLineBufferSize - static_cast<std::size_t>(stamp), format, args);
  } else {
    produced = std::vsnprintf(line + stamp, kLineBufferSize - static_cast<std::size_t>(stamp),
                              format, args);
  }
  va_end(args);

  const char* trace_file = state.trace_file.Text();
  const bool to_file = *trace_file != '\0' && (flags & (TRACE_TO_FILE | TRACE_MULTILINE)) != 0;
  const bool to_log = !state.log_profile_file.IsEmpty() && (flags & TRACE_TO_LOG) != 0;
  if (to_file && !to_log && (flags & TRACE_MULTILINE) == 0 && produced >= 0) {
    // The usual line: one line already, but for the line break at its end. It goes to the file
    // straight from the line buffer.
    std::size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
    if (std::memchr(line, '\r', length) == nullptr && std::memchr(line, '\n', length) == nullptr) {
      AppendTraceLine(trace_file, line, length);
      return;
    }
  }

  CMvnString message(line);
  if ((flags & TRACE_MULTILINE) != 0) {
    message.ReplaceAll("\r\n", "\n");
  } else {
    std::size_t length = message.Length();
    while (length > 0 &&
           (message.Text()[length - 1] == '\r' || message.Text()[length - 1] == '\n')) {
      --length;
    }
    message.Assign(message.Text(), length);
    message.ReplaceAll("\r\n", " <CRLF> ").ReplaceAll("\r", " <CR> ").ReplaceAll("\n", " <LF> ");
  }

  std::FILE* file = nullptr;
  if (to_file) {
    file = OpenTraceFile(trace_file);
    if (file != nullptr) std::fprintf(file, "%s\n", message.Text());
  }
  if (to_log) WriteLogRing(state, message, line);
  if (file != nullptr) std::fclose(file);
}

void CMvnBase::WriteLogRing(TraceState& state, const CMvnString& message, char* section) {
  CMvnString entry(message);
  if (entry.Length() > kRingMessageLimit) {
    entry.Assign(entry.Text(), kRingMessageLimit - 3);
    entry.Append("...");
  }
  const char* profile = state.log_profile_file.Text();
  section[0] = '\0';
  section[1] = '\0';
  kestrel::platform::ReadProfileSection(kLogSection, section, kLineBufferSize - 1, profile);
  const uint32_t counter =
      kestrel::platform::ReadProfileUInt(kInitSection, kNextEntryKey, 0, profile);

  state.log_ring.SetFromMultiSz(section);
  state.log_ring.AddEntry(entry.Text(), counter);
  state.log_ring.KeepLast(kRingEntries);
  ClearLogSection(profile);
  kestrel::platform::WriteProfileSection(kLogSection, state.log_ring.buffer, profile);
  WriteNextEntry(static_cast<int32_t>(counter + 1), profile);
}

void CMvnBase::Assert(int32_t condition, const char* source_file, int32_t line) {
  if (condition != 0) return;
  char path[256] = {0};
  kestrel::platform::ExecutableFileName(path, sizeof path);
  // The module name is what follows the last separator; on Linux that is a slash.
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  const TimeOfDay local = LocalTimeOfDay();
  CMvnString text;
  text.Format("[%02d:%02d:%02d] MORVANE ASSERTION FAILURE, MODULE: [%s], FILE: [%s]; LINE: %ld",
              local.hour, local.minute, local.second, name,
              source_file != nullptr ? source_file : "", static_cast<long>(line));
  std::FILE* file = kestrel::platform::OpenTextFile(kestrel::platform::AssertionLogPath(), "at");
  if (file == nullptr) return;
  std::fprintf(file, "%s\n", text.Text());
  std::fclose(file);
}

int32_t CMvnBase::FileExists(const char* path) {
  return kestrel::platform::FileExistsNotDirectory(path);
}
