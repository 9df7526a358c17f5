// Who loads which device when. A provider serves one call at a time, so loads of one device run
// one after the other; different devices load in parallel on a bounded pool of workers. A probe
// joins the load that is running instead of starting another, and stops waiting at its deadline
// while the load goes on: one device that hangs never holds up the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/deadline_timer.h"
#include "programs/kestrel-exporter/metrics.h"

namespace kestrel::exporter {

using Clock = std::chrono::steady_clock;

// One device's provider as the scheduler sees it; the real one drives the module, tests fake it.
class DeviceLoader {
 public:
  virtual ~DeviceLoader() = default;
  // One load (LoadDeviceData) and the documents it wrote; finished is always true.
  virtual LoadResult Load() = 0;
};

// Makes the loader of a device: its provider, its settings and its folder of the state directory.
using LoaderFactory =
    std::function<std::unique_ptr<DeviceLoader>(const DeviceConfig&, const AuthModule*)>;

// Threads taking tasks in order, started as tasks find none idle, up to a limit that may rise.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Submit(std::function<void()> task);
  void RaiseLimit(std::size_t threads);
  // Stops taking tasks; false when some were still running at the deadline (they are left to
  // end with the process).
  bool Stop(Clock::time_point deadline);

 private:
  void Run();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> tasks_;
  std::size_t running_ = 0;
  std::size_t idle_threads_ = 0;
  std::size_t limit_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// A probe that waits without a thread: answered once, by the load's end or by its deadline.
struct ProbeWait;

// Counts over the process's life, for /metrics.
struct LoadStatistics {
  static const std::vector<double>& Bounds();
  uint64_t loads = 0;
  uint64_t failures = 0;
  std::vector<uint64_t> buckets;  // cumulative, one per bound
  double sum_seconds = 0;
};

// One configured (or unlisted) device: its loader, its latest result, whether a load runs.
class Device {
 public:
  // files guards the device's folder of the state directory; a provider that replaces another
  // for the same folder shares it, so the old one's last load and the new one's first never
  // write the same files at once.
  Device(DeviceConfig config, const AuthModule* auth, std::unique_ptr<DeviceLoader> loader,
         std::shared_ptr<std::mutex> files = std::make_shared<std::mutex>());

  DeviceConfig Settings() const;
  void SetLabels(const Labels& labels);
  std::shared_ptr<const LoadResult> Last() const;
  bool Loading() const;
  // Probes waiting for the running load.
  int Waiting() const;
  // Loads counted by this device, and its duration histogram (for /metrics).
  LoadStatistics Statistics() const;
  // Whether the provider settings (not the labels) differ from config.
  bool SameProvider(const DeviceConfig& config, const AuthModule* auth) const;
  // Until when the device is left alone after timing out or refusing (a past time: not).
  Clock::time_point RetryAt() const;

 private:
  friend class Scheduler;
  friend class Registry;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  DeviceConfig config_;
  std::string user_;
  std::string password_;
  std::unique_ptr<DeviceLoader> loader_;
  const std::shared_ptr<std::mutex> files_;
  bool loading_ = false;
  uint64_t started_ = 0;    // loads begun
  uint64_t completed_ = 0;  // loads ended
  int waiting_ = 0;
  // Waits without a thread, each with the number of the load it waits for.
  std::vector<std::pair<uint64_t, std::shared_ptr<ProbeWait>>> watchers_;
  std::shared_ptr<const LoadResult> last_;
  LoadStatistics statistics_;
  double backoff_seconds_ = 0;  // 0: the last load reached the device
  Clock::time_point retry_at_{};
  Clock::time_point last_used_{};  // unlisted devices: the latest probe
};

// How long a device that timed out or refused is left alone: from initial, doubling with each
// such load up to most; 0 turns it off.
struct Backoff {
  double initial_seconds = 30;
  double most_seconds = 600;
};

class Scheduler {
 public:
  // on_load sees every ended load, on the worker that ran it.
  using LoadObserver = std::function<void(const DeviceConfig&, const LoadResult&)>;
  // Unlisted targets load on a quarter of workers of their own, so they can never take the
  // workers of configured devices.
  using Now = Clock::time_point (*)();
  explicit Scheduler(std::size_t workers, LoadObserver on_load = nullptr, Now now = &Clock::now)
      : on_load_(std::move(on_load)), now_(now), unlisted_pool_(workers / 4), pool_(workers) {}

  // Starts a load unless one runs and waits for that load until deadline. A result that
  // is not finished says how long the probe waited.
  LoadResult Probe(const std::shared_ptr<Device>& device, Clock::time_point deadline);
  using ProbeDone = std::function<void(const LoadResult&)>;
  // As Probe, but returns at once: done gets the result on the worker that ended the load, or
  // the waiting result at deadline on the timer's thread, whichever comes first, exactly once
  // (at once, on this thread, when there is nothing to wait for).
  void ProbeAsync(const std::shared_ptr<Device>& device, Clock::time_point deadline,
                  ProbeDone done);
  // Starts a load unless one runs; does not wait (background polling).
  void Start(const std::shared_ptr<Device>& device);
  bool Stop(Clock::time_point deadline) {
    const bool unlisted_ended = unlisted_pool_.Stop(deadline);
    return pool_.Stop(deadline) && unlisted_ended;
  }
  // Enough workers that every configured device can load at once: a device that hangs then
  // holds only its own worker, never another device's.
  void EnsureWorkers(std::size_t configured_devices) { pool_.RaiseLimit(configured_devices); }
  void SetBackoff(const Backoff& backoff);

 private:
  // Under the device's lock: the number of the load to wait for.
  uint64_t BeginLocked(const std::shared_ptr<Device>& device);
  void Run(const std::shared_ptr<Device>& device, uint64_t number);
  LoadObserver on_load_;
  const Now now_;  // the back-off's clock
  mutable std::mutex backoff_mutex_;
  Backoff backoff_;
  DeadlineTimer timer_;
  // last: their threads end before what they use
  WorkerPool unlisted_pool_;
  WorkerPool pool_;
};

// The configured devices by name, with the providers that survive reloads.
class Registry {
 public:
  // An unlisted target not probed for unlisted_idle is dropped, and its folder with it.
  explicit Registry(LoaderFactory factory,
                    std::chrono::seconds unlisted_idle = std::chrono::minutes(10))
      : factory_(std::move(factory)), unlisted_idle_(unlisted_idle) {}

  // Takes a new configuration: a device whose host, port, scheme, credentials and TLS trust are
  // unchanged keeps its provider (and its latest result); the others get new ones. Unlisted
  // devices are dropped, since the defaults they were made with may have changed.
  void Apply(const Config& config);
  // The device a probe names. Unlisted targets are made on first use when the configuration
  // allows them and the client's network is listed; error says why a target is refused.
  std::shared_ptr<Device> Find(const std::string& target, std::string& error,
                               const IpAddress& client = IpAddress());
  std::size_t UnlistedCount() const;
  // Configured devices, in file order.
  std::vector<std::shared_ptr<Device>> Devices() const;
  Config Current() const;
  // What every probe and poll needs, without copying the whole configuration.
  double TimeoutSeconds() const;
  double PollIntervalSeconds() const;

 private:
  // Under the lock: takes out unlisted devices nobody probed for a while (checked now and
  // then), for the caller to let go of outside the lock.
  void TakeIdleUnlisted(Clock::time_point now, std::vector<std::shared_ptr<Device>>& idle);
  LoaderFactory factory_;
  const std::chrono::seconds unlisted_idle_;
  Clock::time_point next_sweep_{};
  mutable std::mutex mutex_;
  Config config_;
  std::vector<std::shared_ptr<Device>> devices_;
  std::map<std::string, std::shared_ptr<Device>> by_name_;
  std::map<std::string, std::shared_ptr<Device>> unlisted_;
  // The folder guards of devices that may still load: by name, or NUL + host for unlisted ones.
  std::map<std::string, std::weak_ptr<std::mutex>> folders_;
  std::shared_ptr<std::mutex> FolderGuard(const std::string& key);
};

}  // namespace kestrel::exporter
