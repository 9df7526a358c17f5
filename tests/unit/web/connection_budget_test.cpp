#include "web/connection_budget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kestrel::web;

struct Step {
  const char* client;
  int attempts;
  int admitted;
};

// Each case opens its steps' connections in order against a fresh budget.
TEST(ConnectionBudgetTest, CapsPerAddressPerNetworkAndInTotalKeepRoomForNewcomers) {
  // A total of 64 keeps 8 slots for networks holding fewer than 8.
  const ConnectionLimits limits{64, 16, 20, 24};
  const struct {
    const char* name;
    ConnectionLimits limits;
    std::vector<Step> steps;
  } cases[] = {
      {"one address", limits, {{"192.0.2.1", 20, 16}}},
      {"two addresses of one /24", limits, {{"192.0.2.1", 16, 16}, {"192.0.2.2", 16, 4}}},
      {"a /32 network is the address",
       {64, 16, 20, 32},
       {{"192.0.2.1", 16, 16}, {"192.0.2.2", 16, 16}}},
      {"an IPv6 /64 is one network",
       limits,
       {{"2001:db8::1", 16, 16}, {"2001:db8::ffff:1", 16, 4}, {"2001:db8:0:1::1", 4, 4}}},
      {"a mapped IPv4 client is its IPv4 address",
       limits,
       {{"192.0.2.1", 10, 10}, {"::ffff:192.0.2.1", 10, 6}}},
      // Attackers at their caps fill all but the kept slots; newcomers still get in, up to a
      // few each, and the total holds.
      {"attackers at their caps leave room",
       limits,
       {{"198.51.100.1", 16, 16},
        {"198.51.100.2", 4, 4},
        {"203.0.113.1", 16, 16},
        {"203.0.113.2", 4, 4},
        {"192.0.2.1", 16, 16},
        {"192.0.2.2", 4, 0},
        {"10.0.0.1", 1, 1},
        {"10.0.1.1", 10, 7},
        {"10.0.2.1", 10, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectionBudget budget(c.limits);
    for (const Step& step : c.steps) {
      int admitted = 0;
      for (int i = 0; i < step.attempts; ++i) {
        const bool fits = budget.Fits(IpAddress::FromText(step.client));
        const bool admits = budget.Admit(IpAddress::FromText(step.client));
        EXPECT_EQ(fits, admits) << step.client;
        admitted += admits ? 1 : 0;
      }
      EXPECT_EQ(admitted, step.admitted) << step.client;
    }
  }
}

TEST(ConnectionBudgetTest, AClosedConnectionGivesItsSlotBack) {
  ConnectionBudget budget({8, 2, 4, 24});
  const IpAddress client = IpAddress::FromText("192.0.2.1");
  ASSERT_TRUE(budget.Admit(client));
  ASSERT_TRUE(budget.Admit(client));
  EXPECT_FALSE(budget.Admit(client));
  budget.Release(client);
  EXPECT_EQ(budget.Held(), 1u);
  EXPECT_TRUE(budget.Admit(client));
  EXPECT_EQ(budget.Kept(), 1u);
}

}  // namespace
