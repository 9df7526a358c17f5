#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "programs/kestrel-exporter/mqtt/discovery.h"
#include "programs/kestrel-exporter/mqtt/mirror.h"
#include "tests/unit/exporter/mqtt_views.h"

namespace {

using namespace kestrel::exporter;
using namespace kestrel::exporter::mqtt;
using namespace kestrel::exporter::testing;
using Said = std::vector<std::string>;

// A message in a word or three: "config 1_humidity", "clear state room-1", "room-1 online".
std::string Summary(const Message& m) {
  const std::string& t = m.topic;
  const std::string tail = t.substr(t.rfind('/') + 1);
  const std::string level = t.substr(0, t.size() - tail.size() - 1);
  const std::string parent = level.substr(level.rfind('/') + 1);
  std::string what;
  if (tail == "config") {
    what = "config " + parent.substr(parent.find('_') + 1);
  } else if (tail == "state") {
    what = "state " + parent;
  } else {
    what = (parent == "node" ? "exporter" : parent) + (m.payload.empty() ? "" : " " + m.payload);
  }
  if (!m.retain) what += " (not retained)";
  return m.payload.empty() ? "clear " + what : what;
}

class MqttMirrorTest : public ::testing::Test {
 protected:
  Said Sync() {
    std::vector<Message> out;
    mirror_.Sync(devices_, out);
    return Summaries(out);
  }
  Said Connect() {
    std::vector<Message> out;
    mirror_.Connected(out);
    mirror_.Sync(devices_, out);
    return Summaries(out);
  }
  Said Receive(const std::string& topic, const std::string& payload, bool retain) {
    std::vector<Message> out;
    mirror_.Received({topic, payload, retain}, devices_, out);
    return Summaries(out);
  }
  static Said Summaries(const std::vector<Message>& out) {
    Said said;
    for (const Message& m : out) said.push_back(Summary(m));
    return said;
  }
  // A configuration an earlier run left for a device of this name.
  static std::string LeftBehind(const char* device, const char* object, std::string& payload) {
    const auto configs = DiscoveryConfigs(BrokerSettings(), Configured(device), view_, "0.9");
    for (const auto& c : configs) {
      if (c.topic.find(object) != std::string::npos) {
        payload = c.payload;
        return c.topic;
      }
    }
    return std::string();
  }

  static inline const kestrel::host::DeviceView view_ = RoomAlert(
      {Port("0", "Internal", {Sensor("10", "1001", "C", "20")}),
       Port("1", "Rack", {Sensor("10", "1001", "C", "21"), Sensor("20", "2001", "%", "40")})});
  Mirror mirror_{BrokerSettings(), "1.0"};
  std::vector<DeviceReading> devices_ = {{Configured("room-1"), nullptr}};
};

TEST_F(MqttMirrorTest, KeepsTheBrokerInStepWithTheLoads) {
  // Before its first load a device is not available: the broker's retained state is old.
  EXPECT_EQ(Connect(), (Said{"exporter online", "room-1 offline"}));
  devices_[0].last = Loaded(view_);
  EXPECT_EQ(Sync(), (Said{"config 0_temperature", "config 1_humidity", "config 1_temperature",
                          "room-1 online", "state room-1"}));
  EXPECT_EQ(Sync(), Said{});
  devices_[0].last = Loaded(view_, 1.8e9 + 30);
  EXPECT_EQ(Sync(), Said{"state room-1"});
  // A failed load keeps the entities, which its availability makes unavailable.
  devices_[0].last = Failed("refused");
  EXPECT_EQ(Sync(), (Said{"room-1 offline", "state room-1"}));
  auto fewer = view_;
  fewer.interfaces[1].sensors.pop_back();
  devices_[0].last = Loaded(fewer);
  // The port's other sensor, alone now, is named after the port alone.
  EXPECT_EQ(Sync(), (Said{"clear config 1_humidity", "config 1_temperature", "room-1 online",
                          "state room-1"}));
  // Home Assistant started: its configurations and the states again; an old announcement, no.
  EXPECT_EQ(Receive("homeassistant/status", "online", true), Said{});
  EXPECT_EQ(Receive("homeassistant/status", "online", false), Said{});
  EXPECT_EQ(Sync(), (Said{"config 0_temperature", "config 1_temperature", "room-1 online",
                          "state room-1"}));
  // Reconnected: everything, the broker may have lost it.
  EXPECT_EQ(Connect(), (Said{"exporter online", "config 0_temperature", "config 1_temperature",
                             "room-1 online", "state room-1"}));
  devices_.clear();
  EXPECT_EQ(Sync(), (Said{"clear config 0_temperature", "clear config 1_temperature",
                          "clear state room-1", "clear room-1"}));
}

TEST_F(MqttMirrorTest, ClearsWhatAnEarlierRunLeftForDevicesAndSensorsNowGone) {
  std::string gone_device, gone_sensor, kept;
  const std::string gone_device_topic = LeftBehind("old-room", "0_temperature", gone_device);
  const std::string gone_sensor_topic = LeftBehind("room-1", "1_humidity", gone_sensor);
  const std::string kept_topic = LeftBehind("room-1", "0_temperature", kept);
  Connect();
  EXPECT_EQ(Receive(gone_device_topic, gone_device, true),
            (Said{"clear config 0_temperature", "clear state old-room", "clear old-room"}));
  // Our own configurations echoed back live are no news.
  EXPECT_EQ(Receive(gone_device_topic, gone_device, false), Said{});
  // Whether a sensor of a configured device is gone shows at its first load.
  EXPECT_EQ(Receive(gone_sensor_topic, gone_sensor, true), Said{});
  EXPECT_EQ(Receive(kept_topic, kept, true), Said{});
  auto fewer = view_;
  fewer.interfaces[1].sensors.pop_back();
  devices_[0].last = Loaded(fewer);
  EXPECT_EQ(Sync(), (Said{"clear config 1_humidity", "config 0_temperature", "config 1_temperature",
                          "room-1 online", "state room-1"}));
  EXPECT_EQ(Receive(gone_sensor_topic, gone_sensor, true), Said{"clear config 1_humidity"});
  // Renamed in the file: the new name took over the same entities, which stay.
  std::string renamed;
  const std::string renamed_topic = LeftBehind("room-0", "0_temperature", renamed);
  EXPECT_EQ(Receive(renamed_topic, renamed, true), (Said{"clear state room-0", "clear room-0"}));
}

TEST_F(MqttMirrorTest, WithoutHomeAssistantOnlyThePlainTopics) {
  MqttConfig plain = BrokerSettings();
  plain.home_assistant = false;
  mirror_.Configure(plain);
  devices_[0].last = Loaded(view_);
  EXPECT_EQ(Connect(), (Said{"exporter online", "room-1 online", "state room-1"}));
}

}  // namespace
