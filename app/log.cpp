#include "app/log.h"

#include <utility>

namespace kestrel::app {

Log::Log(std::string program, std::FILE* out, double repeat_seconds)
    : program_(std::move(program)), out_(out), repeat_seconds_(repeat_seconds) {}

// Under mutex_. Flushed at once: a line is for someone watching the journal now.
void Log::Write(const char* kind, const std::string& text) {
  std::fprintf(out_, "%s: %s%s\n", program_.c_str(), kind, text.c_str());
  std::fflush(out_);
}

void Log::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Write("", text);
}

void Log::Warning(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Write("warning: ", text);
}

void Log::Failed(const std::string& subject, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = Clock::now();
  const auto found = failing_.find(subject);
  if (found == failing_.end() || found->second.line != line) {
    Write("", line);
    failing_[subject] = Failing{line, now, 0};
  } else if (std::chrono::duration<double>(now - found->second.said).count() >= repeat_seconds_) {
    Write("", line + " (" + std::to_string(found->second.unsaid) +
                  " more failures since the last line)");
    found->second.said = now;
    found->second.unsaid = 0;
  } else {
    ++found->second.unsaid;
  }
}

void Log::Recovered(const std::string& subject, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = failing_.find(subject);
  if (found == failing_.end()) return;
  failing_.erase(found);
  Write("", line);
}

}  // namespace kestrel::app
