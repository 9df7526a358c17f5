// One device as the exporter keeps it: its provider behind a narrow seam, its latest result and
// the loads and probes under way.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "programs/kestrel-exporter/config.h"
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

// What a device keeps of a load once the probes that waited for it have it. An unlisted target
// keeps no readings: a later probe of it loads anew, and one during its back-off answers a failure,
// which has none; a thousand targets would otherwise each hold the largest document they sent.
std::shared_ptr<const LoadResult> KeptResult(const DeviceConfig& config,
                                             std::shared_ptr<const LoadResult> load);

// One configured (or unlisted) device: its loader, its latest result, whether a load runs.
class Device {
 public:
  // files guards the device's folder of the state directory; a provider that replaces another
  // for the same folder shares it, so the old one's last load and the new one's first never
  // write the same files at once.
  Device(DeviceConfig config, const AuthModule* auth, std::unique_ptr<DeviceLoader> loader,
         std::shared_ptr<std::mutex> files = std::make_shared<std::mutex>());

  DeviceConfig Settings() const;
  // Takes what a reload may change without a new provider: labels, limits and min_interval.
  void Retune(const DeviceConfig& config);
  std::shared_ptr<const LoadResult> Last() const;
  bool Loading() const;
  // Probes waiting for the running load.
  int Waiting() const;
  // Loads counted by this device, and its duration histogram (for /metrics).
  LoadStatistics Statistics() const;
  // Whether config (its labels aside) asks for the provider this device has.
  bool SameProvider(const DeviceConfig& config, const AuthModule* auth) const;
  // Until when the device is left alone after timing out or refusing (a past time: not).
  Clock::time_point RetryAt() const;

 private:
  friend class Scheduler;
  friend class Registry;
  mutable std::mutex mutex_;
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
  Clock::time_point loaded_at_{};  // when last_ ended
  Clock::time_point last_used_{};  // unlisted devices: the latest probe
};

}  // namespace kestrel::exporter
