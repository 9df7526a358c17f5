// Loaders that stand in for the module in the scheduler's and registry's tests, and a probe
// waited for as a caller with a thread to spare would (the scheduler itself never blocks).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/device.h"
#include "programs/kestrel-exporter/scheduler.h"

namespace kestrel::exporter::testing {

// Loads that end when the test opens the gate; counts how many run, at once and in total.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int running = 0;
  int most_running = 0;
  int loads = 0;
  int overlaps = 0;  // a load that began while another of the same device ran

  void Open() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  bool AwaitRunning(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return running >= count; });
  }
  int Running() {
    std::lock_guard<std::mutex> lock(mutex);
    return running;
  }
};

class GatedLoader : public DeviceLoader {
 public:
  GatedLoader(Gate& gate, std::string name) : gate_(gate), name_(std::move(name)) {}
  LoadResult Load() override {
    std::unique_lock<std::mutex> lock(gate_.mutex);
    if (busy_) ++gate_.overlaps;
    busy_ = true;
    const int number = ++gate_.loads;
    gate_.most_running = std::max(gate_.most_running, ++gate_.running);
    gate_.changed.notify_all();
    gate_.changed.wait(lock, [&] { return gate_.open; });
    --gate_.running;
    busy_ = false;
    LoadResult result;
    result.result = 0;
    result.error = name_ + " #" + std::to_string(number);
    return result;
  }

 private:
  Gate& gate_;
  std::string name_;
  bool busy_ = false;  // under the gate's lock
};

inline LoaderFactory GatedFactory(Gate& gate, std::atomic<int>& made) {
  return [&gate, &made](const DeviceConfig& device, const AuthModule*) {
    ++made;
    return std::make_unique<GatedLoader>(gate, device.name);
  };
}

// Devices d0, d1, ... on hosts PREFIX0, PREFIX1, ...
inline Config Devices(int count, const std::string& host_prefix = "h") {
  Config config;
  for (int i = 0; i < count; ++i) {
    DeviceConfig device;
    device.name = "d" + std::to_string(i);
    device.host = host_prefix + std::to_string(i);
    config.devices.push_back(device);
  }
  return config;
}

inline Clock::time_point In(std::chrono::milliseconds wait) {
  return Clock::now() + wait;
}

inline std::future<LoadResult> StartProbe(Scheduler& scheduler,
                                          const std::shared_ptr<Device>& device,
                                          Clock::time_point deadline) {
  auto answer = std::make_shared<std::promise<LoadResult>>();
  std::future<LoadResult> answered = answer->get_future();
  scheduler.ProbeAsync(device, deadline,
                       [answer](const LoadResult& load) { answer->set_value(load); });
  return answered;
}

inline LoadResult AwaitProbe(Scheduler& scheduler, const std::shared_ptr<Device>& device,
                             Clock::time_point deadline) {
  return StartProbe(scheduler, device, deadline).get();
}

// Waits until condition holds, or fails after 30 s.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kestrel::exporter::testing
