#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "programs/kestrel-exporter/scheduler.h"

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
  DeviceConfig config{"d0", "h0", "", false, 0, {}, false, {}};
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

// Counts the loaders that went: an unlisted target's folder goes with its loader.
struct CountingLoader : DeviceLoader {
  explicit CountingLoader(std::atomic<int>& gone) : gone_(gone) {}
  ~CountingLoader() override { ++gone_; }
  LoadResult Load() override { return LoadResult(); }
  std::atomic<int>& gone_;
};

Config Unlisted() {
  Config config;
  config.devices.push_back(DeviceConfig{"d0", "h0", "", false, 0, {}, false, {}});
  config.allow_unlisted_targets = true;
  config.unlisted_targets_allowed_networks.resize(1);
  Network::Parse("127.0.0.0/8", config.unlisted_targets_allowed_networks[0]);
  return config;
}

TEST(RegistryTest, UnlistedTargetsGoWhenIdleAndOnReload) {
  std::atomic<int> gone{0};
  const LoaderFactory factory = [&gone](const DeviceConfig&, const AuthModule*) {
    return std::make_unique<CountingLoader>(gone);
  };
  const IpAddress client = IpAddress::FromText("127.0.0.1");
  std::string error;
  Registry kept(factory, std::chrono::hours(1));
  kept.Apply(Unlisted());
  const auto first = kept.Find("10.0.0.9", error, client);
  EXPECT_EQ(kept.Find("10.0.0.9", error, client), first);
  kept.Apply(Unlisted());  // the defaults they were made with may have changed
  EXPECT_EQ(kept.UnlistedCount(), 0u);
  EXPECT_NE(kept.Find("10.0.0.9", error, client), first);

  Registry idle(factory, std::chrono::seconds(0));
  idle.Apply(Unlisted());
  const int before = gone;
  ASSERT_NE(idle.Find("10.0.0.9", error, client), nullptr);
  ASSERT_NE(idle.Find("d0", error, client), nullptr);  // any probe looks for idle ones
  EXPECT_EQ(idle.UnlistedCount(), 0u);
  EXPECT_EQ(gone, before + 1);
}

}  // namespace
