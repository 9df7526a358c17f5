#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "programs/kestrel-exporter/scheduler.h"
#include "tests/unit/exporter/fake_loaders.h"

namespace {

using namespace kestrel::exporter;
using namespace kestrel::exporter::testing;
using namespace std::chrono_literals;

std::atomic<int64_t> g_now_seconds{0};

Clock::time_point FakeNow() {
  return Clock::time_point(std::chrono::seconds(g_now_seconds.load()));
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

struct Step {
  int64_t at;        // seconds on the fake clock
  const char* load;  // the load this probe runs, or "" when it answers the last result
  const char* seen;  // the error the probe answers
};

template <std::size_t N>
void ExpectSteps(const Step (&steps)[N], double min_interval) {
  std::string script;
  for (const auto& step : steps) script += step.load;
  auto owned = std::make_unique<ScriptedLoader>(script);
  ScriptedLoader* loader = owned.get();
  DeviceConfig config{"d0", "h0", "", false, 0, {}, false, {}};
  config.min_interval_seconds = min_interval;
  const auto device = std::make_shared<Device>(config, nullptr, std::move(owned));
  Scheduler scheduler(2, nullptr, &FakeNow);
  scheduler.SetBackoff(Backoff{30, 100});
  std::size_t loads = 0;
  for (const auto& step : steps) {
    g_now_seconds = step.at;
    const LoadResult result = AwaitProbe(scheduler, device, In(60s));
    loads += *step.load != 0 ? 1 : 0;
    EXPECT_EQ(loader->loads_, loads) << "at " << step.at;
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.error, step.seen) << "at " << step.at;
  }
}

TEST(SchedulerTest, ADeviceThatTimesOutOrRefusesIsLeftAloneForADoublingWhile) {
  const Step kSteps[] = {
      {0, "u", "u1"},   {10, "", "u1"},  {29, "", "u1"},    // the first 30 s
      {30, "u", "u2"},  {89, "", "u2"},                     // then 60 s
      {90, "u", "u3"},  {189, "", "u3"},                    // then the most, 100 s
      {190, "u", "u4"}, {289, "", "u4"},                    // and no more
      {290, "o", "o5"},                                     // a good load resets it
      {291, "u", "u6"}, {320, "", "u6"}, {321, "e", "e7"},  // an error page is an answer
      {322, "e", "e8"},
  };
  ExpectSteps(kSteps, 0);
}

// Two scrapers and a publisher within a device's min_interval make one load between them.
TEST(SchedulerTest, WhoeverAsksWithinTheMinimumIntervalSharesTheLastLoad) {
  const Step kSteps[] = {
      {0, "o", "o1"},  {4, "", "o1"},   {4, "", "o1"},  // shared, however many ask
      {5, "e", "e2"},  {9, "", "e2"},                   // a failed load is shared too
      {10, "u", "u3"}, {15, "", "u3"},                  // the back-off outlasts the interval
      {40, "o", "o4"}, {45, "o", "o5"},
  };
  ExpectSteps(kSteps, 5);
}

}  // namespace
