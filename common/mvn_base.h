// Root class of every library and model object: class name, trace file, lock and the trace sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mvn_string.h"
#include "platform/platform.h"

enum : uint32_t {
  TRACE_TO_FILE = 1,
  TRACE_TO_LOG = 2,
  TRACE_MULTILINE = 4,
};

// A list of strings in the platform's double-NUL-terminated form: the log ring's working copy.
struct MultiSzList {
  MultiSzList();
  ~MultiSzList();
  MultiSzList(const MultiSzList&) = delete;
  MultiSzList& operator=(const MultiSzList&) = delete;

  void Clear();
  void SetFromMultiSz(const char* source);
  void AppendString(const char* text);
  void AddEntry(const char* text, uint32_t number);
  void KeepLast(uint32_t count);
  uint32_t EntryCount() const;

  // Bytes of all entries, each with its NUL, not counting the final extra NUL.
  uint32_t length;
  char* buffer;
};

namespace kestrel {

// "[HH:MM:SS] " in local time, the stamp that begins every trace line, into out (kTimeStampLength
// bytes, no terminator). The time of day is worked out once a second for the whole process: the C
// library's conversion consults the time zone under a lock, for every line otherwise.
constexpr std::size_t kTimeStampLength = 11;
void WriteTimeStamp(char* out);
// Benchmarks compare stamps with and without that cache; false converts the time for every line.
void UseTimeOfDayCache(bool use);

}  // namespace kestrel

class CMvnBase {
 public:
  // class_name is kept, not copied: it names the object's class and is always a literal (a copy
  // passes on the original's). A string of its own would be most of a small object's size.
  explicit CMvnBase(const char* class_name)
      : trace_state_(nullptr), class_name_(class_name != nullptr ? class_name : "") {}
  // Inline: most objects never traced and have no sink state to free.
  virtual ~CMvnBase() {
    if (trace_state_ != nullptr) DeleteTraceState();
  }
  CMvnBase(const CMvnBase&) = delete;
  CMvnBase& operator=(const CMvnBase&) = delete;

  // Non-zero when the two are to be treated as the same list item. The base answers 0.
  virtual int32_t IsEqual(const CMvnBase* other) const;
  virtual int32_t Reserved1() { return 0; }
  virtual int32_t Reserved2() { return 0; }
  // A new heap object of the same class carrying a copy of this one's state.
  virtual CMvnBase* Clone() const;

  void Trace(uint32_t flags, const char* format, ...) KESTREL_PRINTF(3, 4);
  void SetTraceFile(const char* path);
  CMvnString& GetTraceFile(CMvnString& out);
  void SetLogProfileFile(const char* path);
  const char* ClassName() const { return class_name_; }

  // Appends one line to the assertion log when condition is 0; the program goes on.
  static void Assert(int32_t condition, const char* source_file, int32_t line);
  // 1 when path names an existing entry that is not a directory.
  static int32_t FileExists(const char* path);

  static constexpr uint32_t kLineBufferSize = 16385;
  static constexpr uint32_t kRingEntries = 100;
  static constexpr std::size_t kRingMessageLimit = 1023;

 private:
  // The sink's settings, made on first use: most library objects (a parsed JSON
  // document makes thousands) never trace, and carrying this state would triple their size.
  struct TraceState {
    TraceState() = default;
    TraceState(const TraceState&) = delete;
    TraceState& operator=(const TraceState&) = delete;

    CMvnString trace_file;
    CMvnString log_profile_file;
    MultiSzList log_ring;
  };

  // Callers hold the lock.
  TraceState& State();
  void DeleteTraceState();
  // section: room for the profile's section, kLineBufferSize bytes.
  void WriteLogRing(TraceState& state, const CMvnString& message, char* section);

  TraceState* trace_state_;
  kestrel::platform::Lock lock_;
  const char* class_name_;
};
