#include "programs/kestrel-exporter/scheduler.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>

namespace kestrel::exporter {

namespace {

LoadResult NotWithin(Clock::time_point began) {
  LoadResult waiting;
  char reason[128];
  std::snprintf(reason, sizeof reason,
                "no result within %.1f s; the load goes on and a later probe takes its result",
                std::chrono::duration<double>(Clock::now() - began).count());
  waiting.error = reason;
  return waiting;
}

}  // namespace

struct ProbeWait {
  // The load's end and the deadline race for the answer; the first to claim it gives it.
  bool Claim() { return !answered.exchange(true); }
  std::atomic<bool> answered{false};
  Clock::time_point began;
  Scheduler::ProbeDone done;
};

uint64_t Scheduler::BeginLocked(const std::shared_ptr<Device>& device) {
  if (device->loading_) return device->started_;
  if (device->last_ != nullptr) {
    const auto now = now_();
    // A device that timed out or refused would only take a worker to do it again: its last
    // result stands until the back-off ends.
    if (now < device->retry_at_) return device->completed_;
    // One moment of a single-tasking device is loaded once, whoever asks.
    const auto fresh_for = std::chrono::duration<double>(device->config_.min_interval_seconds);
    if (now - device->loaded_at_ < fresh_for) return device->completed_;
  }
  device->loading_ = true;
  const uint64_t number = ++device->started_;
  WorkerPool& pool = device->config_.unlisted ? unlisted_pool_ : pool_;
  pool.Submit([this, device, number] { Run(device, number); });
  return number;
}

void Scheduler::SetBackoff(const Backoff& backoff) {
  std::lock_guard<std::mutex> lock(backoff_mutex_);
  backoff_ = backoff;
}

void Scheduler::Run(const std::shared_ptr<Device>& device, uint64_t number) {
  // Only this task touches the loader until it marks the load ended, so no lock is held while
  // the device answers.
  std::unique_lock<std::mutex> files(*device->files_);
  const auto started = Clock::now();
  LoadResult result = device->loader_->Load();
  files.unlock();
  result.finished = true;
  result.duration_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  // To the millisecond: those who share the load are told its age.
  result.finished_at =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  auto shared = std::make_shared<const LoadResult>(std::move(result));
  if (on_load_) on_load_(device->Settings(), *shared);
  Backoff backoff;
  {
    std::lock_guard<std::mutex> lock(backoff_mutex_);
    backoff = backoff_;
  }
  std::vector<std::shared_ptr<ProbeWait>> answered;
  {
    std::lock_guard<std::mutex> lock(device->mutex_);
    // Any answer, even an error page, shows the device is there: only silence backs off.
    if (shared->unreachable && backoff.initial_seconds > 0) {
      device->backoff_seconds_ =
          device->backoff_seconds_ == 0
              ? backoff.initial_seconds
              : std::min(device->backoff_seconds_ * 2,
                         std::max(backoff.most_seconds, backoff.initial_seconds));
      device->retry_at_ =
          now_() + std::chrono::microseconds(static_cast<int64_t>(device->backoff_seconds_ * 1e6));
    } else {
      device->backoff_seconds_ = 0;
      device->retry_at_ = Clock::time_point();
    }
    LoadStatistics& s = device->statistics_;
    ++s.loads;
    if (shared->result != 0) ++s.failures;
    s.sum_seconds += shared->duration_seconds;
    const auto& bounds = LoadStatistics::Bounds();
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      if (shared->duration_seconds <= bounds[i]) ++s.buckets[i];
    }
    device->last_ = KeptResult(device->config_, shared);
    device->loaded_at_ = now_();
    device->completed_ = number;
    device->loading_ = false;
    for (auto& [awaited, wait] : device->watchers_) {
      if (awaited > number || !wait->Claim()) continue;
      --device->waiting_;
      answered.push_back(std::move(wait));
    }
    device->watchers_.clear();
  }
  for (const auto& wait : answered) wait->done(*shared);
}

void Scheduler::ProbeAsync(const std::shared_ptr<Device>& device, Clock::time_point deadline,
                           ProbeDone done) {
  auto wait = std::make_shared<ProbeWait>();
  wait->began = Clock::now();
  wait->done = std::move(done);
  std::shared_ptr<const LoadResult> ready;
  {
    std::lock_guard<std::mutex> lock(device->mutex_);
    const uint64_t number = BeginLocked(device);
    if (device->completed_ >= number) {
      ready = device->last_;
    } else {
      device->watchers_.emplace_back(number, wait);
      ++device->waiting_;
    }
  }
  if (ready != nullptr) {
    wait->answered = true;
    wait->done(*ready);
    return;
  }
  timer_.At(deadline, [device, wait] {
    if (!wait->Claim()) return;
    {
      std::lock_guard<std::mutex> lock(device->mutex_);
      --device->waiting_;
      auto& watchers = device->watchers_;
      watchers.erase(std::remove_if(watchers.begin(), watchers.end(),
                                    [&](const auto& entry) { return entry.second == wait; }),
                     watchers.end());
    }
    wait->done(NotWithin(wait->began));
  });
}

void Scheduler::Start(const std::shared_ptr<Device>& device) {
  std::lock_guard<std::mutex> lock(device->mutex_);
  BeginLocked(device);
}

}  // namespace kestrel::exporter
