#include "programs/kestrel-exporter/deadline_timer.h"

namespace kestrel::exporter {

DeadlineTimer::DeadlineTimer() : thread_([this] { Run(); }) {}

DeadlineTimer::~DeadlineTimer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // What the dropped tasks hold goes here, on the owner's thread, after the timer's has ended.
  tasks_.clear();
}

void DeadlineTimer::At(Clock::time_point deadline, std::function<void()> task) {
  bool earliest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    const auto added = tasks_.emplace(deadline, std::move(task));
    earliest = added == tasks_.begin();
  }
  if (earliest) wake_.notify_one();
}

void DeadlineTimer::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (tasks_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const auto first = tasks_.begin();
    if (first->first > Clock::now()) {
      wake_.wait_until(lock, first->first);
      continue;
    }
    std::function<void()> task = std::move(first->second);
    tasks_.erase(first);
    lock.unlock();
    task();
    task = nullptr;  // what it holds is released outside the lock too
    lock.lock();
  }
}

}  // namespace kestrel::exporter
