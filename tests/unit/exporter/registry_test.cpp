#include "programs/kestrel-exporter/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "programs/kestrel-exporter/scheduler.h"
#include "tests/unit/exporter/fake_loaders.h"
#include "web/address.h"

namespace {

using namespace kestrel::exporter;
using namespace kestrel::exporter::testing;
using namespace std::chrono_literals;
namespace web = kestrel::web;

TEST(RegistryTest, AReloadKeepsUnchangedProvidersAndReplacesChangedOnes) {
  Gate gate;
  gate.open = true;
  std::atomic<int> made{0};
  Registry registry(GatedFactory(gate, made));
  Config config = Devices(3);
  config.auth_modules["s"] = AuthModule{"u", "f", "", "old", {}};
  config.devices[2].auth = "s";
  registry.Apply(config);
  EXPECT_EQ(made, 3);
  std::string error;
  const auto kept = registry.Find("d0", error);

  config.devices[0].labels = {{"room", "2"}};  // labels alone keep the provider
  config.devices[1].port = 8080;               // a new port needs a new one
  config.auth_modules["s"].password = "new";   // and so does a new password
  config.devices.push_back(DeviceConfig{"d3", "h3", "", false, 0, {}, false, {}});
  registry.Apply(config);
  EXPECT_EQ(made, 3 + 3);
  EXPECT_EQ(registry.Find("d0", error), kept);
  EXPECT_EQ(kept->Settings().labels, (Labels{{"room", "2"}}));
  // A device's trust files are written when its provider is made: new trust, new provider.
  config.devices[0].tls.ca_path = "ca.pem";
  registry.Apply(config);
  EXPECT_EQ(made, 3 + 3 + 1);
  EXPECT_NE(registry.Find("d0", error), kept);

  config.devices.erase(config.devices.begin());
  registry.Apply(config);
  EXPECT_EQ(registry.Find("d0", error), nullptr);
  EXPECT_NE(error.find("not a configured device"), std::string::npos);
}

TEST(RegistryTest, UnlistedTargetsOnlyWhenAllowedFromListedNetworksAndOnlyHostAndPort) {
  Gate gate;
  std::atomic<int> made{0};
  Registry registry(GatedFactory(gate, made));
  Config config = Devices(1);
  registry.Apply(config);
  const web::IpAddress local = web::IpAddress::FromText("127.0.0.1");
  std::string error;
  EXPECT_EQ(registry.Find("10.0.0.9", error, local), nullptr);
  config.allow_unlisted_targets = true;
  registry.Apply(config);
  EXPECT_EQ(registry.Find("10.0.0.9", error, local), nullptr);  // no network listed: nobody
  EXPECT_NE(error.find("not allowed from 127.0.0.1"), std::string::npos) << error;
  web::Network loopback;
  web::Network ten;
  ASSERT_TRUE(web::Network::Parse("127.0.0.0/8", loopback));
  ASSERT_TRUE(web::Network::Parse("10.0.0.0/8", ten));
  config.unlisted_targets_allowed_networks = {loopback};
  config.unlisted_targets_reachable_networks = {ten};
  registry.Apply(config);
  EXPECT_EQ(registry.Find("10.0.0.9", error, web::IpAddress::FromText("10.0.0.1")), nullptr);
  EXPECT_EQ(registry.Find("10.0.0.9", error), nullptr);  // a client the server could not name
  const auto unlisted = registry.Find("10.0.0.9:8080", error, local);
  ASSERT_NE(unlisted, nullptr) << error;
  EXPECT_TRUE(unlisted->Settings().unlisted);
  EXPECT_EQ(registry.Find("10.0.0.9:8080", error, local), unlisted);  // one provider per target
  EXPECT_EQ(registry.Find("10.0.0.9:80/d2", error, local), nullptr);
  EXPECT_NE(error.find("host[:port]"), std::string::npos);
  EXPECT_NE(registry.Find("d0", error, web::IpAddress::FromText("10.0.0.1")), nullptr);  // listed
  EXPECT_EQ(registry.Devices().size(), 1u);
}

TEST(RegistryTest, ANewProviderForTheSameFolderWaitsForTheOldOnesLoad) {
  Gate gate;
  std::atomic<int> made{0};
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Devices(1, "old"));
  Scheduler scheduler(4);
  std::string error;
  auto old_load = StartProbe(scheduler, registry.Find("d0", error), In(60s));
  ASSERT_TRUE(gate.AwaitRunning(1));
  registry.Apply(Devices(1, "new"));
  const auto replacement = registry.Find("d0", error);
  auto new_load = StartProbe(scheduler, replacement, In(60s));
  // A worker has taken the new provider's load, and it waits for the files the old one writes.
  ASSERT_TRUE(Eventually([&] { return scheduler.LoadsRunning() == 2; }));
  EXPECT_EQ(gate.Running(), 1);
  gate.Open();
  EXPECT_EQ(old_load.get().error, "d0 #1");
  EXPECT_EQ(new_load.get().error, "d0 #2");
  EXPECT_EQ(gate.most_running, 1);
}

// Reloads while probes run: the probes of kept devices go on, those of dropped devices finish
// on their old provider, and nothing is torn down under a running load.
TEST(RegistryTest, AReloadDuringProbes) {
  Gate gate;
  gate.open = true;
  std::atomic<int> made{0};
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
        if (device != nullptr && AwaitProbe(scheduler, device, In(60s)).finished) ++answered;
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

// Counts the loaders that went: an unlisted target's folder goes with its loader.
struct CountingLoader : DeviceLoader {
  explicit CountingLoader(std::atomic<int>& gone) : gone_(gone) {}
  ~CountingLoader() override { ++gone_; }
  LoadResult Load() override { return LoadResult(); }
  std::atomic<int>& gone_;
};

Config Unlisted(std::size_t per_client = 100) {
  Config config;
  config.devices.push_back(DeviceConfig{"d0", "h0", "", false, 0, {}, false, {}});
  config.allow_unlisted_targets = true;
  config.unlisted_targets_allowed_networks.resize(1);
  web::Network::Parse("127.0.0.0/8", config.unlisted_targets_allowed_networks[0]);
  config.unlisted_targets_reachable_networks.resize(2);
  web::Network::Parse("10.0.0.0/8", config.unlisted_targets_reachable_networks[0]);
  web::Network::Parse("127.0.0.0/8", config.unlisted_targets_reachable_networks[1]);
  config.unlisted_targets_per_client = per_client;
  return config;
}

TEST(RegistryTest, UnlistedTargetsGoWhenIdleAndOnReload) {
  std::atomic<int> gone{0};
  const LoaderFactory factory = [&gone](const DeviceConfig&, const AuthModule*) {
    return std::make_unique<CountingLoader>(gone);
  };
  const web::IpAddress client = web::IpAddress::FromText("127.0.0.1");
  std::string error;
  Registry kept(factory, std::chrono::hours(1));
  kept.Apply(Unlisted());
  const auto first = kept.Find("10.0.0.9", error, client);
  EXPECT_EQ(kept.Find("10.0.0.9", error, client), first);
  kept.Apply(Unlisted());  // the defaults they were made with may have changed
  EXPECT_EQ(kept.UnlistedCount(), 0u);
  EXPECT_NE(kept.Find("10.0.0.9", error, client), first);

  Registry idle(factory, std::chrono::seconds(0));
  idle.Apply(Unlisted(1));
  const int before = gone;
  ASSERT_NE(idle.Find("10.0.0.9", error, client), nullptr);
  ASSERT_NE(idle.Find("d0", error, client), nullptr);  // any probe looks for idle ones
  EXPECT_EQ(idle.UnlistedCount(), 0u);
  EXPECT_EQ(gone, before + 1);
  // A target gone idle leaves its client's share.
  EXPECT_NE(idle.Find("10.0.0.10", error, client), nullptr) << error;
}

// Unlisted targets are named by address and port, and refused before their provider (and so any
// connection) is made. In order: a client's share runs out on its third target.
TEST(RegistryTest, UnlistedTargetsByAddressWithinReachAndShare) {
  const struct {
    const char* target;
    const char* client;
    const char* answer;  // the device's name, or part of the reason it is refused
    int made;            // providers of unlisted targets made so far
  } kCases[] = {
      {"10.0.0.9", "127.0.0.1", "10.0.0.9:80", 1},
      {"10.0.0.9:80", "127.0.0.1", "10.0.0.9:80", 1},
      {"167772169", "127.0.0.1", "10.0.0.9:80", 1},
      {"0xa.9:80", "127.0.0.1", "10.0.0.9:80", 1},
      {"[::ffff:10.0.0.9]", "127.0.0.1", "10.0.0.9:80", 1},
      {"10.0.0.9:8080", "127.0.0.1", "10.0.0.9:8080", 2},
      {"169.254.169.254", "127.0.0.1", "link-local", 2},
      {"[::ffff:169.254.169.254]", "127.0.0.1", "link-local", 2},
      {"192.168.1.1", "127.0.0.1", "in no network", 2},
      {"localhost:9876", "127.0.0.1", "this exporter itself", 2},
      {"10.0.0.10", "127.0.0.1", "unlisted_targets_per_client", 2},
      {"10.0.0.9", "127.0.0.1", "10.0.0.9:80", 2},  // its own targets stay its own
      {"10.0.0.10", "127.0.0.2", "10.0.0.10:80", 3},
  };
  Gate gate;
  std::atomic<int> made{0};
  Registry registry(GatedFactory(gate, made));
  registry.Apply(Unlisted(2));
  registry.SetOwnPort(9876);
  const int configured = made;
  for (const auto& c : kCases) {
    std::string error;
    const auto device = registry.Find(c.target, error, web::IpAddress::FromText(c.client));
    const std::string answer = device != nullptr ? device->Settings().name : error;
    EXPECT_NE(answer.find(c.answer), std::string::npos) << c.target << ": " << answer;
    EXPECT_EQ(made - configured, c.made) << c.target;
  }
}

}  // namespace
