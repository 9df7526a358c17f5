#include "programs/kestrel-exporter/scheduler.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>

namespace kestrel::exporter {

namespace {

// Unlisted targets each keep a provider; past this many, new ones are refused rather than let a
// caller grow the process without end.
constexpr std::size_t kMostUnlisted = 1000;

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

WorkerPool::WorkerPool(std::size_t threads) : limit_(std::max<std::size_t>(threads, 1)) {}

WorkerPool::~WorkerPool() {
  Stop(Clock::time_point::max());
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

bool WorkerPool::Stop(Clock::time_point deadline) {
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
    all_ended = deadline == Clock::time_point::max()
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

const std::vector<double>& LoadStatistics::Bounds() {
  static const std::vector<double> kBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                              0.5,   1,    2.5,   5,    10,  30};
  return kBounds;
}

Device::Device(DeviceConfig config, const AuthModule* auth, std::unique_ptr<DeviceLoader> loader,
               std::shared_ptr<std::mutex> files)
    : config_(std::move(config)), loader_(std::move(loader)), files_(std::move(files)) {
  if (auth != nullptr) {
    user_ = auth->user;
    password_ = auth->password;
  }
  statistics_.buckets.assign(LoadStatistics::Bounds().size(), 0);
}

DeviceConfig Device::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

void Device::SetLabels(const Labels& labels) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.labels = labels;
}

std::shared_ptr<const LoadResult> Device::Last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

bool Device::Loading() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loading_;
}

int Device::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

LoadStatistics Device::Statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statistics_;
}

Clock::time_point Device::RetryAt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return retry_at_;
}

bool Device::SameProvider(const DeviceConfig& config, const AuthModule* auth) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string user = auth != nullptr ? auth->user : std::string();
  const std::string password = auth != nullptr ? auth->password : std::string();
  return config.host == config_.host && config.secure == config_.secure &&
         config.port == config_.port && user == user_ && password == password_ &&
         config.tls == config_.tls;
}

uint64_t Scheduler::BeginLocked(const std::shared_ptr<Device>& device) {
  if (device->loading_) return device->started_;
  // A device that timed out or refused would only take a worker to do it again: its last
  // result stands until the back-off ends.
  if (device->last_ != nullptr && now_() < device->retry_at_) return device->completed_;
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
    device->last_ = shared;
    device->completed_ = number;
    device->loading_ = false;
    for (auto& [awaited, wait] : device->watchers_) {
      if (awaited > number || !wait->Claim()) continue;
      --device->waiting_;
      answered.push_back(std::move(wait));
    }
    device->watchers_.clear();
  }
  device->done_.notify_all();
  for (const auto& wait : answered) wait->done(*shared);
}

LoadResult Scheduler::Probe(const std::shared_ptr<Device>& device, Clock::time_point deadline) {
  const auto began = Clock::now();
  std::unique_lock<std::mutex> lock(device->mutex_);
  const uint64_t number = BeginLocked(device);
  ++device->waiting_;
  const bool ended =
      device->done_.wait_until(lock, deadline, [&] { return device->completed_ >= number; });
  --device->waiting_;
  if (ended) return *device->last_;
  return NotWithin(began);
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

void Registry::Apply(const Config& config) {
  std::vector<std::shared_ptr<Device>> devices;
  std::map<std::string, std::shared_ptr<Device>> by_name;
  std::vector<std::shared_ptr<Device>> retired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = folders_.begin(); it != folders_.end();) {
      it = it->second.expired() ? folders_.erase(it) : std::next(it);
    }
    for (const DeviceConfig& wanted : config.devices) {
      const AuthModule* auth = wanted.auth.empty() ? nullptr : config.FindAuth(wanted.auth);
      std::shared_ptr<Device> device;
      const auto old = by_name_.find(wanted.name);
      if (old != by_name_.end() && old->second->SameProvider(wanted, auth)) {
        device = old->second;
        device->SetLabels(wanted.labels);
      } else {
        device = std::make_shared<Device>(wanted, auth, factory_(wanted, auth),
                                          FolderGuard(wanted.name));
      }
      devices.push_back(device);
      by_name.emplace(wanted.name, device);
    }
    config_ = config;
    retired.swap(devices_);
    devices_.swap(devices);
    by_name_.swap(by_name);
    for (auto& entry : unlisted_) retired.push_back(std::move(entry.second));
    unlisted_.clear();
  }
  // Providers that left the configuration go when their last load ends, outside the lock.
  retired.clear();
}

std::shared_ptr<Device> Registry::Find(const std::string& target, std::string& error,
                                       const IpAddress& client) {
  std::vector<std::shared_ptr<Device>> idle;  // let go of after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = Clock::now();
  TakeIdleUnlisted(now, idle);
  const auto found = by_name_.find(target);
  if (found != by_name_.end()) return found->second;
  if (!config_.allow_unlisted_targets) {
    error = "target is not a configured device (allow_unlisted_targets is off)";
    return nullptr;
  }
  if (!config_.MayAskForUnlisted(client)) {
    error = "target is not a configured device, and unlisted targets are not allowed from " +
            client.Text() + " (unlisted_targets_allowed_networks)";
    return nullptr;
  }
  if (!IsHostAndPort(target)) {
    error =
        "target is neither a configured device nor host[:port] (no user, path, query or "
        "fragment)";
    return nullptr;
  }
  std::shared_ptr<Device> device;
  const auto unlisted = unlisted_.find(target);
  if (unlisted != unlisted_.end()) {
    device = unlisted->second;
  } else if (unlisted_.size() >= kMostUnlisted) {
    error = "too many unlisted targets; list the device in the configuration";
    return nullptr;
  } else {
    const DeviceConfig config = config_.UnlistedDevice(target);
    device = std::make_shared<Device>(config, nullptr, factory_(config, nullptr),
                                      FolderGuard(std::string(1, '\0') + target));
    unlisted_.emplace(target, device);
  }
  std::lock_guard<std::mutex> device_lock(device->mutex_);
  device->last_used_ = now;
  return device;
}

void Registry::TakeIdleUnlisted(Clock::time_point now, std::vector<std::shared_ptr<Device>>& idle) {
  if (now < next_sweep_) return;
  next_sweep_ = now + std::min<Clock::duration>(unlisted_idle_, std::chrono::seconds(10));
  for (auto it = unlisted_.begin(); it != unlisted_.end();) {
    bool unused;
    {
      std::lock_guard<std::mutex> device_lock(it->second->mutex_);
      unused = !it->second->loading_ && now - it->second->last_used_ >= unlisted_idle_;
    }
    if (unused) {
      idle.push_back(std::move(it->second));
      it = unlisted_.erase(it);
    } else {
      ++it;
    }
  }
}

std::size_t Registry::UnlistedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unlisted_.size();
}

std::shared_ptr<std::mutex> Registry::FolderGuard(const std::string& key) {
  std::shared_ptr<std::mutex> guard = folders_[key].lock();
  if (guard == nullptr) {
    guard = std::make_shared<std::mutex>();
    folders_[key] = guard;
  }
  return guard;
}

std::vector<std::shared_ptr<Device>> Registry::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

Config Registry::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

double Registry::TimeoutSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.timeout_seconds;
}

double Registry::PollIntervalSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.poll_interval_seconds;
}

}  // namespace kestrel::exporter
