#include "programs/kestrel-exporter/worker_pool.h"

#include <algorithm>

namespace kestrel::exporter {

WorkerPool::WorkerPool(std::size_t threads) : limit_(std::max<std::size_t>(threads, 1)) {}

WorkerPool::~WorkerPool() {
  Stop(std::chrono::steady_clock::time_point::max());
}

void WorkerPool::Submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
    if (tasks_.size() > idle_threads_ && threads_.size() < limit_) {
      threads_.emplace_back([this] { Run(); });
    }
  }
  wake_.notify_one();
}

void WorkerPool::RaiseLimit(std::size_t threads) {
  std::lock_guard<std::mutex> lock(mutex_);
  limit_ = std::max(limit_, threads);
}

std::size_t WorkerPool::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

std::size_t WorkerPool::Queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

void WorkerPool::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_threads_;
    wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    --idle_threads_;
    if (tasks_.empty()) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    ++running_;
    lock.unlock();
    task();
    task = nullptr;  // what the task holds goes before the pool counts it as done
    lock.lock();
    --running_;
    idle_.notify_all();
  }
}

bool WorkerPool::Stop(std::chrono::steady_clock::time_point deadline) {
  std::deque<std::function<void()>> dropped;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return running_ == 0;
    stopping_ = true;
    dropped.swap(tasks_);
  }
  wake_.notify_all();
  dropped.clear();  // loads never begun: their devices' waiters see their own deadlines
  bool all_ended;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    all_ended = deadline == std::chrono::steady_clock::time_point::max()
                    ? (idle_.wait(lock, [this] { return running_ == 0; }), true)
                    : idle_.wait_until(lock, deadline, [this] { return running_ == 0; });
  }
  for (std::thread& thread : threads_) {
    if (all_ended) {
      thread.join();
    } else {
      thread.detach();
    }
  }
  threads_.clear();
  return all_ended;
}

}  // namespace kestrel::exporter
