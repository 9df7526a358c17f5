// What the broker holds of the exporter's devices, and the messages that keep it in step: the
// Home Assistant configurations, each device's availability and state, and the clearing of what
// went away. No thread and no broker: the publisher hands it the devices and what the broker
// said, and sends what it answers.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/metrics.h"
#include "programs/kestrel-exporter/mqtt/client.h"

namespace kestrel::exporter::mqtt {

struct DeviceReading {
  DeviceConfig config;
  std::shared_ptr<const LoadResult> last;  // null: not loaded yet
};

class Mirror {
 public:
  Mirror(const MqttConfig& config, std::string version)
      : config_(config), version_(std::move(version)) {}

  // Settings that change payloads but not the connection (switch classes, retain).
  void Configure(const MqttConfig& config) { config_ = config; }
  // The connection is (again) up: the broker may have lost everything, so all goes out again.
  void Connected(std::vector<Message>& out);
  // A message of a subscription: Home Assistant's announcement, or a retained configuration of
  // ours from an earlier run, cleared when its device or sensor is gone.
  void Received(const Message& message, const std::vector<DeviceReading>& devices,
                std::vector<Message>& out);
  // What changed since the last call: new loads, devices and sensors that came or went.
  void Sync(const std::vector<DeviceReading>& devices, std::vector<Message>& out);

 private:
  struct Tracked {
    // From the latest load that read the device: topic and payload of each configuration.
    std::map<std::string, std::string> configs;
    std::shared_ptr<const LoadResult> configs_from;
    // Retained configurations found before the device's first load in this run.
    std::set<std::string> stale;
    // What went out on this connection.
    std::map<std::string, std::string> sent_configs;
    std::shared_ptr<const LoadResult> sent_state;
    std::string sent_availability;
  };
  void TakeConfigs(const DeviceReading& reading, Tracked& tracked, std::vector<Message>& out);
  // Clears what the broker keeps of a device that left the configuration.
  void Forget(const std::string& device, const std::set<std::string>& configs,
              std::vector<Message>& out);

  MqttConfig config_;
  const std::string version_;
  std::map<std::string, Tracked> devices_;  // by configured name
  std::set<std::string> forgotten_;         // devices cleared on this connection
};

}  // namespace kestrel::exporter::mqtt
