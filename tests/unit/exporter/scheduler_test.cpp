#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "programs/kestrel-exporter/scheduler.h"

namespace {

using namespace kestrel::exporter;
using namespace std::chrono_literals;

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
  void WaitRunning(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return running >= count; });
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

struct Made {
  std::atomic<int> loaders{0};
};

LoaderFactory GatedFactory(Gate& gate, Made& made) {
  return [&gate, &made](const DeviceConfig& device, const AuthModule*) {
    ++made.loaders;
    return std::make_unique<GatedLoader>(gate, device.name);
  };
}

Config Devices(int count, const std::string& host_prefix = "h") {
  Config config;
  for (int i = 0; i < count; ++i) {
    DeviceConfig device;
    device.name = "d" + std::to_string(i);
    device.host = host_prefix + std::to_string(i);
    config.devices.push_back(device);
  }
  return config;
}

Clock::time_point In(std::chrono::milliseconds wait) {
  return Clock::now() + wait;
}

void AwaitWaiting(const Device& device, int probes) {
  while (device.Waiting() < probes) std::this_thread::sleep_for(1ms);
}

TEST(SchedulerTest, TwoProbesOfOneDeviceShareOneLoad) {
  Gate gate;
  Made made;
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(1));
  Scheduler scheduler(4);
  std::string error;
  const auto device = registry.Find("d0", error);
  auto first = std::async(std::launch::async, [&] { return scheduler.Probe(device, In(60s)); });
  gate.WaitRunning(1);
  auto second = std::async(std::launch::async, [&] { return scheduler.Probe(device, In(60s)); });
  AwaitWaiting(*device, 2);
  gate.Open();
  EXPECT_EQ(first.get().error, "d0 #1");
  // The second probe came while the load ran: it takes that load's result, not a load of its own.
  EXPECT_EQ(second.get().error, "d0 #1");
  EXPECT_EQ(gate.loads, 1);
}

TEST(SchedulerTest, AProbePastItsDeadlineAnswersAndALaterProbeJoinsTheSameLoad) {
  Gate gate;
  Made made;
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(1));
  Scheduler scheduler(2);
  std::string error;
  const auto device = registry.Find("d0", error);
  const LoadResult late = scheduler.Probe(device, In(20ms));
  EXPECT_FALSE(late.finished);
  EXPECT_NE(late.error.find("no result within"), std::string::npos);
  EXPECT_TRUE(device->Loading());
  auto next = std::async(std::launch::async, [&] { return scheduler.Probe(device, In(60s)); });
  AwaitWaiting(*device, 1);
  gate.Open();
  const LoadResult joined = next.get();
  EXPECT_TRUE(joined.finished);
  EXPECT_EQ(joined.error, "d0 #1");
  EXPECT_EQ(gate.loads, 1);
}

TEST(SchedulerTest, DevicesLoadInParallelAndOneDeviceNeverOverlaps) {
  constexpr int kDevices = 8;
  Gate gate;
  Made made;
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(kDevices));
  Scheduler scheduler(kDevices);
  std::vector<std::thread> probes;
  std::atomic<int> answered{0};
  for (int round = 0; round < 3; ++round) {
    for (const auto& device : registry.Devices()) {
      probes.emplace_back([&, device] {
        if (scheduler.Probe(device, In(60s)).finished) ++answered;
      });
    }
  }
  gate.WaitRunning(kDevices);  // every device loads at once: none waits for another
  gate.Open();
  for (auto& probe : probes) probe.join();
  EXPECT_EQ(answered, 3 * kDevices);
  EXPECT_EQ(gate.most_running, kDevices);
  EXPECT_EQ(gate.overlaps, 0);
}

TEST(SchedulerTest, TheWorkerPoolBoundsTheLoadsRunningAtOnce) {
  Gate gate;
  Made made;
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(6));
  Scheduler scheduler(2);
  for (const auto& device : registry.Devices()) scheduler.Start(device);
  gate.WaitRunning(2);
  std::this_thread::sleep_for(20ms);
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    EXPECT_EQ(gate.running, 2);
  }
  gate.Open();
  for (const auto& device : registry.Devices()) {
    EXPECT_TRUE(scheduler.Probe(device, In(60s)).finished);
  }
  EXPECT_EQ(gate.most_running, 2);
}

TEST(RegistryTest, AReloadKeepsUnchangedProvidersAndReplacesChangedOnes) {
  Gate gate;
  gate.open = true;
  Made made;
  Registry registry(GatedFactory(gate, made));
  Config config = Devices(3);
  config.auth_modules["s"] = AuthModule{"u", "f", "", "old", {}};
  config.devices[2].auth = "s";
  registry.Apply(config);
  EXPECT_EQ(made.loaders, 3);
  std::string error;
  const auto kept = registry.Find("d0", error);

  config.devices[0].labels = {{"room", "2"}};  // labels alone keep the provider
  config.devices[1].port = 8080;               // a new port needs a new one
  config.auth_modules["s"].password = "new";   // and so does a new password
  config.devices.push_back(DeviceConfig{"d3", "h3", "", false, 0, {}, false, {}});
  registry.Apply(config);
  EXPECT_EQ(made.loaders, 3 + 3);
  EXPECT_EQ(registry.Find("d0", error), kept);
  EXPECT_EQ(kept->Settings().labels, (Labels{{"room", "2"}}));
  // A device's trust files are written when its provider is made: new trust, new provider.
  config.devices[0].tls.ca_path = "ca.pem";
  registry.Apply(config);
  EXPECT_EQ(made.loaders, 3 + 3 + 1);
  EXPECT_NE(registry.Find("d0", error), kept);

  config.devices.erase(config.devices.begin());
  registry.Apply(config);
  EXPECT_EQ(registry.Find("d0", error), nullptr);
  EXPECT_NE(error.find("not a configured device"), std::string::npos);
}

TEST(RegistryTest, UnlistedTargetsOnlyWhenAllowedFromListedNetworksAndOnlyHostAndPort) {
  Gate gate;
  Made made;
  Registry registry(GatedFactory(gate, made));
  Config config = Devices(1);
  registry.Apply(config);
  const IpAddress local = IpAddress::FromText("127.0.0.1");
  std::string error;
  EXPECT_EQ(registry.Find("10.0.0.9", error, local), nullptr);
  config.allow_unlisted_targets = true;
  registry.Apply(config);
  EXPECT_EQ(registry.Find("10.0.0.9", error, local), nullptr);  // no network listed: nobody
  EXPECT_NE(error.find("not allowed from 127.0.0.1"), std::string::npos) << error;
  Network loopback;
  ASSERT_TRUE(Network::Parse("127.0.0.0/8", loopback));
  config.unlisted_targets_allowed_networks = {loopback};
  registry.Apply(config);
  EXPECT_EQ(registry.Find("10.0.0.9", error, IpAddress::FromText("10.0.0.1")), nullptr);
  EXPECT_EQ(registry.Find("10.0.0.9", error), nullptr);  // a client the server could not name
  const auto unlisted = registry.Find("10.0.0.9:8080", error, local);
  ASSERT_NE(unlisted, nullptr) << error;
  EXPECT_TRUE(unlisted->Settings().unlisted);
  EXPECT_EQ(registry.Find("10.0.0.9:8080", error, local), unlisted);  // one provider per target
  EXPECT_EQ(registry.Find("10.0.0.9:80/d2", error, local), nullptr);
  EXPECT_NE(error.find("host[:port]"), std::string::npos);
  EXPECT_NE(registry.Find("d0", error, IpAddress::FromText("10.0.0.1")), nullptr);  // listed
  EXPECT_EQ(registry.Devices().size(), 1u);
}

TEST(RegistryTest, ANewProviderForTheSameFolderWaitsForTheOldOnesLoad) {
  Gate gate;
  Made made;
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(1, "old"));
  Scheduler scheduler(4);
  std::string error;
  EXPECT_FALSE(scheduler.Probe(registry.Find("d0", error), In(1ms)).finished);
  gate.WaitRunning(1);
  registry.Apply(Devices(1, "new"));
  const auto replacement = registry.Find("d0", error);
  EXPECT_FALSE(scheduler.Probe(replacement, In(20ms)).finished);
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    EXPECT_EQ(gate.loads, 1);  // the new provider's load has not begun: the files are in use
  }
  gate.Open();
  EXPECT_TRUE(scheduler.Probe(replacement, In(60s)).finished);
  EXPECT_EQ(gate.most_running, 1);
}

// Reloads while probes run: the probes of kept devices go on, those of dropped devices finish
// on their old provider, and nothing is torn down under a running load.
TEST(RegistryTest, AReloadDuringProbes) {
  Gate gate;
  gate.open = true;
  Made made;
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(6));
  Scheduler scheduler(4);
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> probes;
  for (int t = 0; t < 4; ++t) {
    probes.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        std::string error;
        const auto device = registry.Find("d" + std::to_string((t + i) % 6), error);
        if (device != nullptr && scheduler.Probe(device, In(60s)).finished) ++answered;
      }
    });
  }
  for (int round = 0; round < 20; ++round) {
    registry.Apply(Devices(3 + round % 4, round % 2 == 0 ? "h" : "x"));
    std::this_thread::sleep_for(1ms);
  }
  stop = true;
  for (auto& probe : probes) probe.join();
  EXPECT_GT(answered, 0);
  EXPECT_EQ(gate.overlaps, 0);
}

}  // namespace
