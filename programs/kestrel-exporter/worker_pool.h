// Threads taking tasks in order, started as tasks find none idle, up to a limit that may rise.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::exporter {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Submit(std::function<void()> task);
  void RaiseLimit(std::size_t threads);
  // Tasks taken by a thread and not yet ended, and tasks waiting for one.
  std::size_t Running() const;
  std::size_t Queued() const;
  // Stops taking tasks; false when some were still running at the deadline (they are left to
  // end with the process).
  bool Stop(std::chrono::steady_clock::time_point deadline);

 private:
  void Run();
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> tasks_;
  std::size_t running_ = 0;
  std::size_t idle_threads_ = 0;
  std::size_t limit_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace kestrel::exporter
