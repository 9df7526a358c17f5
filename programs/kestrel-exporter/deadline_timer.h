// One thread that runs tasks at their deadlines, so waiting for many things at once costs no
// thread per wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace kestrel::exporter {

class DeadlineTimer {
 public:
  using Clock = std::chrono::steady_clock;

  DeadlineTimer();
  // Tasks not yet due are dropped, never run.
  ~DeadlineTimer();
  DeadlineTimer(const DeadlineTimer&) = delete;
  DeadlineTimer& operator=(const DeadlineTimer&) = delete;

  // Runs task on the timer's thread at deadline (at once when it has passed). Tasks must be
  // short: the next one waits for them.
  void At(Clock::time_point deadline, std::function<void()> task);

 private:
  void Run();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace kestrel::exporter
