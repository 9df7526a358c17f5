#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tools/kestrel-exporter/scheduler.h"

namespace {

using namespace kestrel::exporter;
using namespace std::chrono_literals;

std::atomic<int64_t> g_now_seconds{0};

Clock::time_point FakeNow() {
  return Clock::time_point(std::chrono::seconds(g_now_seconds.load()));
}

Clock::time_point In(std::chrono::milliseconds wait) {
  return Clock::now() + wait;
}

// Answers from a script, one per load: 'u' unreachable, 'e' an error page, 'o' a good load.
class ScriptedLoader : public DeviceLoader {
 public:
  explicit ScriptedLoader(std::string script) : script_(std::move(script)) {}
  LoadResult Load() override {
    LoadResult result;
    const char step = script_.at(loads_++);
    result.result = step == 'o' ? 0 : -1;
    result.unreachable = step == 'u';
    result.error = std::string(1, step) + std::to_string(loads_);
    return result;
  }
  std::size_t loads_ = 0;

 private:
  std::string script_;
};

TEST(SchedulerTest, ADeviceThatTimesOutOrRefusesIsLeftAloneForADoublingWhile) {
  const struct {
    int64_t at;        // seconds on the fake clock
    const char* load;  // the load this probe runs, or "" when it answers the last result
    const char* seen;  // the error the probe answers
  } kSteps[] = {
      {0, "u", "u1"},   {10, "", "u1"},  {29, "", "u1"},    // the first 30 s
      {30, "u", "u2"},  {89, "", "u2"},                     // then 60 s
      {90, "u", "u3"},  {189, "", "u3"},                    // then the most, 100 s
      {190, "u", "u4"}, {289, "", "u4"},                    // and no more
      {290, "o", "o5"},                                     // a good load resets it
      {291, "u", "u6"}, {320, "", "u6"}, {321, "e", "e7"},  // an error page is an answer
      {322, "e", "e8"},
  };
  std::string script;
  for (const auto& step : kSteps) script += step.load;
  auto owned = std::make_unique<ScriptedLoader>(script);
  ScriptedLoader* loader = owned.get();
  DeviceConfig config{"d0", "h0", "", false, 0, {}, false};
  const auto device = std::make_shared<Device>(config, nullptr, std::move(owned));
  Scheduler scheduler(2, nullptr, &FakeNow);
  scheduler.SetBackoff(Backoff{30, 100});
  std::size_t loads = 0;
  for (const auto& step : kSteps) {
    g_now_seconds = step.at;
    const LoadResult result = scheduler.Probe(device, In(60s));
    loads += *step.load != 0 ? 1 : 0;
    EXPECT_EQ(loader->loads_, loads) << "at " << step.at;
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.error, step.seen) << "at " << step.at;
  }
}

TEST(SchedulerTest, NoBackoffWhenItIsTurnedOff) {
  auto owned = std::make_unique<ScriptedLoader>("uuu");
  ScriptedLoader* loader = owned.get();
  const auto device = std::make_shared<Device>(DeviceConfig{"d0", "h0", "", false, 0, {}, false},
                                               nullptr, std::move(owned));
  Scheduler scheduler(1, nullptr, &FakeNow);
  scheduler.SetBackoff(Backoff{0, 0});
  g_now_seconds = 0;
  for (int i = 0; i < 3; ++i) scheduler.Probe(device, In(60s));
  EXPECT_EQ(loader->loads_, 3u);
}

// Loads of devices whose host starts with "hang" block until the test ends them.
struct Hang {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int hanging = 0;
  int most_unlisted = 0;
  int unlisted = 0;
  std::atomic<int> destroyed{0};
};

class HangingLoader : public DeviceLoader {
 public:
  HangingLoader(Hang& hang, const DeviceConfig& config)
      : hang_(hang), hangs_(config.host.rfind("hang", 0) == 0), unlisted_(config.unlisted) {}
  ~HangingLoader() override { ++hang_.destroyed; }
  LoadResult Load() override {
    LoadResult result;
    result.result = 0;
    if (!hangs_) return result;
    std::unique_lock<std::mutex> lock(hang_.mutex);
    ++hang_.hanging;
    if (unlisted_) hang_.most_unlisted = std::max(hang_.most_unlisted, ++hang_.unlisted);
    hang_.changed.notify_all();
    hang_.changed.wait(lock, [&] { return hang_.released; });
    if (unlisted_) --hang_.unlisted;
    return result;
  }

 private:
  Hang& hang_;
  bool hangs_;
  bool unlisted_;
};

struct Released {
  Hang& hang;
  ~Released() {
    std::lock_guard<std::mutex> lock(hang.mutex);
    hang.released = true;
    hang.changed.notify_all();
  }
};

LoaderFactory HangingFactory(Hang& hang) {
  return [&hang](const DeviceConfig& config, const AuthModule*) {
    return std::make_unique<HangingLoader>(hang, config);
  };
}

Config Site(int hanging, int healthy) {
  Config config;
  for (int i = 0; i < hanging + healthy; ++i) {
    const std::string host = (i < hanging ? "hang" : "ok") + std::to_string(i);
    config.devices.push_back(DeviceConfig{"d" + std::to_string(i), host, "", false, 0, {}, false});
  }
  config.allow_unlisted_targets = true;
  Network anywhere;
  Network::Parse("0.0.0.0/0", anywhere);
  config.unlisted_targets_allowed_networks = {anywhere};
  return config;
}

// Hundreds of hanging unlisted targets and configured devices: the healthy configured ones
// still load, because unlisted targets have workers of their own and every configured device
// can have one.
TEST(SchedulerTest, HangingDevicesAndUnlistedTargetsLeaveWorkersForHealthyDevices) {
  constexpr int kHanging = 300;
  constexpr int kUnlisted = 200;
  Hang hang;
  Registry registry(HangingFactory(hang));
  const Config config = Site(kHanging, 2);
  registry.Apply(config);
  Scheduler scheduler(8);
  Released released{hang};
  scheduler.EnsureWorkers(config.devices.size());
  const IpAddress client = IpAddress::FromText("127.0.0.1");
  std::string error;
  for (int i = 0; i < kUnlisted; ++i) {
    const auto device = registry.Find("hang-u" + std::to_string(i) + ":80", error, client);
    ASSERT_NE(device, nullptr) << error;
    scheduler.Start(device);
  }
  for (const auto& device : registry.Devices()) scheduler.Start(device);
  {
    std::unique_lock<std::mutex> lock(hang.mutex);
    hang.changed.wait(lock, [&] { return hang.hanging == kHanging + 2; });
  }
  for (const char* healthy : {"d300", "d301"}) {
    const LoadResult result = scheduler.Probe(registry.Find(healthy, error), In(60s));
    EXPECT_TRUE(result.finished) << healthy;
    EXPECT_EQ(result.result, 0);
  }
  std::lock_guard<std::mutex> lock(hang.mutex);
  EXPECT_EQ(hang.most_unlisted, 2);  // a quarter of the 8 workers
}

TEST(RegistryTest, UnlistedTargetsGoWhenIdleAndOnReload) {
  Hang hang;
  hang.released = true;
  const IpAddress client = IpAddress::FromText("127.0.0.1");
  std::string error;
  {
    Registry kept(HangingFactory(hang), std::chrono::hours(1));
    kept.Apply(Site(0, 1));
    const auto first = kept.Find("10.0.0.9", error, client);
    EXPECT_EQ(kept.Find("10.0.0.9", error, client), first);
    EXPECT_EQ(kept.UnlistedCount(), 1u);
    kept.Apply(Site(0, 1));  // the defaults they were made with may have changed
    EXPECT_EQ(kept.UnlistedCount(), 0u);
    EXPECT_NE(kept.Find("10.0.0.9", error, client), first);
  }
  const int before = hang.destroyed;
  Registry idle(HangingFactory(hang), std::chrono::seconds(0));
  idle.Apply(Site(0, 1));
  ASSERT_NE(idle.Find("10.0.0.9", error, client), nullptr);
  ASSERT_NE(idle.Find("d0", error, client), nullptr);  // any probe looks for idle ones
  EXPECT_EQ(idle.UnlistedCount(), 0u);
  EXPECT_EQ(hang.destroyed, before + 1);  // its loader (and with it its folder) is gone
}

}  // namespace
