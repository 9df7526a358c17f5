// A program's one sink for the lines it writes about itself: each line carries the program's
// name, lines of several threads never mix, and a subject that keeps failing the same way (a
// device that stays down) does not flood the log or the journal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace kestrel::app {

class Log {
 public:
  // repeat_seconds: how often a failure that does not change is said again.
  explicit Log(std::string program, std::FILE* out = stderr, double repeat_seconds = 300);

  // "PROGRAM: text"
  void Line(const std::string& text);
  // "PROGRAM: warning: text"
  void Warning(const std::string& text);

  // subject failed, line says how. Said at the first failure of a series and whenever line
  // changes; an unchanged line at most once every repeat interval, with the number of failures
  // not said since.
  void Failed(const std::string& subject, const std::string& line);
  // subject works: line is said only when subject was failing, and ends its series.
  void Recovered(const std::string& subject, const std::string& line);

 private:
  using Clock = std::chrono::steady_clock;
  struct Failing {
    std::string line;
    Clock::time_point said;
    uint64_t unsaid = 0;
  };
  void Write(const char* kind, const std::string& text);

  const std::string program_;
  std::FILE* const out_;
  const double repeat_seconds_;
  std::mutex mutex_;
  std::map<std::string, Failing> failing_;
};

}  // namespace kestrel::app
