// Probes that wait without a thread: answered exactly once, by the load or by the deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "programs/kestrel-exporter/deadline_timer.h"
#include "programs/kestrel-exporter/scheduler.h"

namespace {

using namespace kestrel::exporter;
using namespace std::chrono_literals;

// A load that ends when the test releases it.
class HeldLoader : public DeviceLoader {
 public:
  LoadResult Load() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++loads_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    LoadResult result;
    result.result = 0;
    result.error = "load " + std::to_string(loads_);
    return result;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  void AwaitLoads(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return loads_ >= count; });
  }
  int Loads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return loads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  int loads_ = 0;
};

// The answers a set of probes got, counted per probe.
struct Answers {
  explicit Answers(int probes) : finished(probes, 0), waited(probes, 0) {}
  Scheduler::ProbeDone For(int probe) {
    return [this, probe](const LoadResult& load) {
      std::lock_guard<std::mutex> lock(mutex);
      ++(load.finished ? finished : waited)[probe];
      if (!load.finished) {
        EXPECT_NE(load.error.find("no result within"), std::string::npos);
      }
      ++total;
      changed.notify_all();
    };
  }
  void AwaitTotal(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return total >= count; }));
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> finished;
  std::vector<int> waited;
  int total = 0;
};

TEST(SchedulerAsyncTest, EachProbeIsAnsweredOnceByTheLoadOrByItsDeadline) {
  const struct {
    const char* name;
    int short_probes;  // deadline before the load ends
    int long_probes;   // deadline long after
  } kCases[] = {
      {"the load ends first", 0, 1},
      {"the deadline comes first", 1, 0},
      {"many probes on one load, mixed deadlines", 40, 40},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto loader = std::make_unique<HeldLoader>();
    HeldLoader& held = *loader;
    DeviceConfig config;
    config.name = "d";
    auto device = std::make_shared<Device>(config, nullptr, std::move(loader));
    Scheduler scheduler(2);
    const int probes = c.short_probes + c.long_probes;
    Answers answers(probes);
    std::vector<std::thread> callers;
    for (int i = 0; i < probes; ++i) {
      callers.emplace_back([&, i] {
        const auto wait = i < c.short_probes ? 20ms : 60s;
        scheduler.ProbeAsync(device, Clock::now() + wait, answers.For(i));
      });
    }
    for (auto& caller : callers) caller.join();  // none of them waits for the load
    answers.AwaitTotal(c.short_probes);
    held.Release();
    answers.AwaitTotal(probes);
    // The worker that ended the load has ended too: an answer it owed twice would be in.
    ASSERT_TRUE(scheduler.Stop(Clock::time_point::max()));
    std::lock_guard<std::mutex> lock(answers.mutex);
    EXPECT_EQ(answers.total, probes);
    for (int i = 0; i < probes; ++i) {
      EXPECT_EQ(answers.waited[i], i < c.short_probes ? 1 : 0) << i;
      EXPECT_EQ(answers.finished[i], i < c.short_probes ? 0 : 1) << i;
    }
    EXPECT_EQ(held.Loads(), 1);
    EXPECT_EQ(device->Waiting(), 0);
    EXPECT_FALSE(device->Loading());
  }
}

TEST(SchedulerAsyncTest, AProbeAfterALoadEndedStartsTheNextOne) {
  auto loader = std::make_unique<HeldLoader>();
  HeldLoader& held = *loader;
  auto device = std::make_shared<Device>(DeviceConfig{}, nullptr, std::move(loader));
  Scheduler scheduler(1);
  held.Release();
  Answers answers(2);
  scheduler.ProbeAsync(device, Clock::now() + 60s, answers.For(0));
  answers.AwaitTotal(1);
  scheduler.ProbeAsync(device, Clock::now() + 60s, answers.For(1));
  answers.AwaitTotal(2);
  EXPECT_EQ(held.Loads(), 2);
  EXPECT_EQ(answers.finished, (std::vector<int>{1, 1}));
}

TEST(DeadlineTimerTest, RunsTasksInDeadlineOrderAndDropsThoseNotDueAtTheEnd) {
  std::mutex mutex;
  std::condition_variable ran_all;
  std::vector<int> order;
  std::atomic<bool> late_ran{false};
  {
    DeadlineTimer timer;
    const auto now = DeadlineTimer::Clock::now();
    for (const int ms : {40, 10, 30, 0, 20}) {
      timer.At(now + std::chrono::milliseconds(ms), [&, ms] {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(ms);
        ran_all.notify_all();
      });
    }
    timer.At(now + 1h, [&] { late_ran = true; });
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(ran_all.wait_for(lock, 30s, [&] { return order.size() == 5; }));
  }
  EXPECT_EQ(order, (std::vector<int>{0, 10, 20, 30, 40}));
  EXPECT_FALSE(late_ran);
}

}  // namespace
