// The order in which login checks run, and what a network that spent its budget is told.
#include "web/login_gate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace kestrel::web;
using namespace std::chrono_literals;
using Verdict = LoginGate::Verdict;

// Records the order checks ran in; the first check holds the gate's thread until released, so
// that the others wait in line meanwhile.
class Recorder {
 public:
  LoginGate::Check Make(const std::string& name, bool fails = true) {
    LoginGate::Check check;
    check.run = [this, name, fails] {
      std::unique_lock<std::mutex> lock(mutex_);
      order_.push_back(name);
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
      return fails;
    };
    check.refuse = [this, name](int retry_after) {
      std::lock_guard<std::mutex> lock(mutex_);
      refused_.push_back(name + " " + std::to_string(retry_after));
    };
    return check;
  }
  void AwaitRuns(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, 30s, [&] { return order_.size() >= count; }));
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> Order() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }
  std::vector<std::string> Refused() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> order_;
  std::vector<std::string> refused_;
  bool released_ = false;
};

const IpAddress kA = IpAddress::FromText("192.0.2.0");
const IpAddress kB = IpAddress::FromText("198.51.100.0");
const IpAddress kC = IpAddress::FromText("203.0.113.0");
const IpAddress kD = IpAddress::FromText("203.0.114.0");

// The network that spent least goes first, then the one served longest ago: a newcomer waits
// for the running check only, and two floods take turns.
TEST(LoginGateTest, ChecksRunFromTheNetworkThatSpentLeast) {
  const struct {
    const char* name;
    std::vector<std::pair<IpAddress, std::string>> posts;  // after "hold" from kC
    std::vector<std::string> order;
  } cases[] = {
      {"a newcomer passes a flood",
       {{kA, "a1"}, {kA, "a2"}, {kA, "a3"}, {kA, "a4"}, {kB, "b1"}},
       {"hold", "b1", "a1", "a2", "a3", "a4"}},
      {"two floods take turns",
       {{kA, "a1"}, {kA, "a2"}, {kA, "a3"}, {kB, "b1"}, {kB, "b2"}, {kB, "b3"}},
       {"hold", "a1", "b1", "a2", "b2", "a3", "b3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder recorder;
    LoginGate gate(GateLimits{});
    const auto now = LoginGate::Clock::now();
    int retry = 0;
    ASSERT_EQ(gate.Post(kC, recorder.Make("hold"), now, retry), Verdict::kQueued);
    recorder.AwaitRuns(1);
    for (const auto& [network, name] : c.posts) {
      ASSERT_EQ(gate.Post(network, recorder.Make(name), now, retry), Verdict::kQueued) << name;
    }
    recorder.Release();
    recorder.AwaitRuns(c.order.size());
    EXPECT_EQ(recorder.Order(), c.order);
  }
}

TEST(LoginGateTest, ASpentNetworkIsToldWhenItHasATokenAgain) {
  Recorder recorder;
  recorder.Release();
  LoginGate gate(GateLimits{3, 60s, 1024});
  // Ahead of the gate thread's own clock, which then refills nothing.
  const auto now = LoginGate::Clock::now() + 1h;
  int retry = 0;
  const struct {
    const char* name;
    LoginGate::Clock::duration at;
    bool fails;
    Verdict verdict;
    int retry;  // when refused
  } steps[] = {
      {"first failure", 0s, true, Verdict::kQueued, 0},
      {"an accepted login gives its token back", 0s, false, Verdict::kQueued, 0},
      {"second failure", 0s, true, Verdict::kQueued, 0},
      {"third failure", 0s, true, Verdict::kQueued, 0},
      {"spent: a token every 20 s", 10s, true, Verdict::kSpent, 10},
      {"a token back", 20500ms, true, Verdict::kQueued, 0},
      {"spent again", 25500ms, true, Verdict::kSpent, 15},
  };
  std::size_t ran = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    retry = 0;
    const Verdict verdict =
        gate.Post(kA, recorder.Make(step.name, step.fails), now + step.at, retry);
    EXPECT_EQ(verdict, step.verdict);
    EXPECT_EQ(retry, step.retry);
    // A check of another network runs only once this one ended and its token is settled.
    if (verdict == Verdict::kQueued) {
      ASSERT_EQ(gate.Post(kD, recorder.Make("settle", false), now, retry), Verdict::kQueued);
      ran += 2;
      recorder.AwaitRuns(ran);
    }
  }
  // Another network has its own budget.
  EXPECT_EQ(gate.Post(kB, recorder.Make("b"), now + 26s, retry), Verdict::kQueued);
  gate.Stop();
  EXPECT_EQ(gate.Post(kB, recorder.Make("late"), now + 26s, retry), Verdict::kStopped);
}

// A full gate makes room for a network that spent less by dropping the latest check of the one
// that spent most (its token goes back); it never drops a network's own checks for it.
TEST(LoginGateTest, AFullGateDropsTheChecksOfTheNetworkThatSpentMost) {
  Recorder recorder;
  LoginGate gate(GateLimits{5, 60s, 3});
  const auto now = LoginGate::Clock::now() + 1h;
  int retry = 0;
  ASSERT_EQ(gate.Post(kC, recorder.Make("hold"), now, retry), Verdict::kQueued);
  recorder.AwaitRuns(1);
  const struct {
    IpAddress network;
    const char* name;
    Verdict verdict;
    std::vector<std::string> refused;  // so far, with their Retry-After
  } steps[] = {
      {kA, "a1", Verdict::kQueued, {}},     {kA, "a2", Verdict::kQueued, {}},
      {kA, "a3", Verdict::kQueued, {}},     {kB, "b1", Verdict::kQueued, {"a3 1"}},
      {kA, "a4", Verdict::kFull, {"a3 1"}}, {kD, "d1", Verdict::kQueued, {"a3 1", "a2 1"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(gate.Post(step.network, recorder.Make(step.name), now, retry), step.verdict);
    EXPECT_EQ(recorder.Refused(), step.refused);
  }
  recorder.Release();
  recorder.AwaitRuns(4);
  EXPECT_EQ(recorder.Order(), std::vector<std::string>({"hold", "a1", "b1", "d1"}));
}

}  // namespace
