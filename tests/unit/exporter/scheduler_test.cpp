#include "programs/kestrel-exporter/scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "programs/kestrel-exporter/registry.h"
#include "programs/kestrel-exporter/worker_pool.h"
#include "tests/unit/exporter/fake_loaders.h"

namespace {

using namespace kestrel::exporter;
using namespace kestrel::exporter::testing;
using namespace std::chrono_literals;

TEST(SchedulerTest, TwoProbesOfOneDeviceShareOneLoad) {
  Gate gate;
  std::atomic<int> made{0};
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(1));
  Scheduler scheduler(4);
  std::string error;
  const auto device = registry.Find("d0", error);
  auto first = StartProbe(scheduler, device, In(60s));
  ASSERT_TRUE(gate.AwaitRunning(1));
  auto second = StartProbe(scheduler, device, In(60s));
  EXPECT_EQ(device->Waiting(), 2);
  gate.Open();
  EXPECT_EQ(first.get().error, "d0 #1");
  // The second probe came while the load ran: it takes that load's result, not a load of its own.
  EXPECT_EQ(second.get().error, "d0 #1");
  EXPECT_EQ(gate.loads, 1);
}

TEST(SchedulerTest, AProbePastItsDeadlineAnswersAndALaterProbeJoinsTheSameLoad) {
  Gate gate;
  std::atomic<int> made{0};
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(1));
  Scheduler scheduler(2);
  std::string error;
  const auto device = registry.Find("d0", error);
  const LoadResult late = AwaitProbe(scheduler, device, In(20ms));
  EXPECT_FALSE(late.finished);
  EXPECT_NE(late.error.find("no result within"), std::string::npos);
  EXPECT_TRUE(device->Loading());
  auto next = StartProbe(scheduler, device, In(60s));
  gate.Open();
  const LoadResult joined = next.get();
  EXPECT_TRUE(joined.finished);
  EXPECT_EQ(joined.error, "d0 #1");
  EXPECT_EQ(gate.loads, 1);
}

TEST(SchedulerTest, DevicesLoadInParallelAndOneDeviceNeverOverlaps) {
  constexpr int kDevices = 8;
  Gate gate;
  std::atomic<int> made{0};
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(kDevices));
  Scheduler scheduler(kDevices);
  std::vector<std::future<LoadResult>> probes;
  for (int round = 0; round < 3; ++round) {
    for (const auto& device : registry.Devices()) {
      probes.push_back(StartProbe(scheduler, device, In(60s)));
    }
  }
  ASSERT_TRUE(gate.AwaitRunning(kDevices));  // every device loads at once: none waits for another
  gate.Open();
  for (auto& probe : probes) EXPECT_TRUE(probe.get().finished);
  EXPECT_EQ(gate.most_running, kDevices);
  EXPECT_EQ(gate.overlaps, 0);
}

TEST(WorkerPoolTest, NeverRunsMoreTasksThanItsLimit) {
  constexpr int kTasks = 6;
  Gate gate;
  std::vector<std::unique_ptr<GatedLoader>> loaders;
  WorkerPool pool(2);
  for (int i = 0; i < kTasks; ++i) {
    loaders.push_back(std::make_unique<GatedLoader>(gate, "t"));
    pool.Submit([loader = loaders.back().get()] { loader->Load(); });
  }
  ASSERT_TRUE(gate.AwaitRunning(2));
  // Both threads hold a task that cannot end: the others wait in the queue, none on a thread.
  EXPECT_EQ(pool.Running(), 2u);
  EXPECT_EQ(pool.Queued(), static_cast<std::size_t>(kTasks - 2));
  gate.Open();
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(gate.mutex);
    return gate.loads == kTasks && gate.running == 0;
  }));
  EXPECT_EQ(gate.most_running, 2);
}

}  // namespace
