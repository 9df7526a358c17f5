#include "programs/kestrel-exporter/mqtt/mirror.h"

#include "programs/kestrel-exporter/mqtt/discovery.h"
#include "programs/kestrel-exporter/mqtt/state.h"

namespace kestrel::exporter::mqtt {

namespace {

// An empty retained message takes the retained one off the broker (and Home Assistant drops the
// entity of a configuration cleared so).
Message Cleared(const std::string& topic) {
  return {topic, std::string(), true};
}

const DeviceReading* Find(const std::vector<DeviceReading>& devices, const std::string& name) {
  for (const DeviceReading& reading : devices) {
    if (reading.config.name == name) return &reading;
  }
  return nullptr;
}

}  // namespace

void Mirror::Connected(std::vector<Message>& out) {
  for (auto& [name, tracked] : devices_) {
    tracked.sent_configs.clear();
    tracked.sent_state = nullptr;
    tracked.sent_availability.clear();
    // The broker hands the retained ones over again.
    tracked.stale.clear();
  }
  forgotten_.clear();
  out.push_back({ExporterAvailabilityTopic(config_), "online", true});
}

void Mirror::Received(const Message& message, const std::vector<DeviceReading>& devices,
                      std::vector<Message>& out) {
  if (message.topic == HomeAssistantStatusTopic(config_)) {
    // A retained announcement is an old one: everything went out at connect anyway.
    if (message.retain || message.payload != "online") return;
    for (auto& [name, tracked] : devices_) {
      tracked.sent_configs.clear();
      tracked.sent_state = nullptr;
      tracked.sent_availability.clear();
    }
    return;
  }
  // Only retained ones tell what an earlier run left; live ones are our own, echoed back.
  if (!message.retain || message.payload.empty() || !IsDiscoveryTopic(config_, message.topic)) {
    return;
  }
  const std::string device = DeviceOfStateTopic(config_, StateTopicOf(message.payload));
  if (device.empty()) return;
  // A device renamed in the file keeps its unique ids and so its topics: the old name's retained
  // configuration is replaced by the new one's already.
  bool wanted = false;
  for (const auto& [name, tracked] : devices_)
    wanted = wanted || tracked.configs.count(message.topic);
  if (Find(devices, device) == nullptr) {
    Forget(device, wanted ? std::set<std::string>() : std::set<std::string>{message.topic}, out);
    return;
  }
  if (wanted) return;
  Tracked& tracked = devices_[device];
  if (tracked.configs_from == nullptr) {
    tracked.stale.insert(message.topic);
  } else if (tracked.configs.count(message.topic) == 0) {
    out.push_back(Cleared(message.topic));
  }
}

void Mirror::Forget(const std::string& device, const std::set<std::string>& configs,
                    std::vector<Message>& out) {
  for (const std::string& topic : configs) out.push_back(Cleared(topic));
  if (!forgotten_.insert(device).second) return;
  const DeviceTopics topics = TopicsOf(config_, device);
  out.push_back(Cleared(topics.state));
  out.push_back(Cleared(topics.availability));
}

void Mirror::TakeConfigs(const DeviceReading& reading, Tracked& tracked,
                         std::vector<Message>& out) {
  std::map<std::string, std::string> wanted;
  for (DiscoveryConfig& config :
       DiscoveryConfigs(config_, reading.config, reading.last->device, version_)) {
    wanted.emplace(std::move(config.topic), std::move(config.payload));
  }
  // A sensor that went away takes its entity with it.
  for (const auto& [topic, payload] : tracked.configs) {
    if (wanted.count(topic) == 0) {
      out.push_back(Cleared(topic));
      tracked.sent_configs.erase(topic);
    }
  }
  for (const std::string& topic : tracked.stale) {
    if (wanted.count(topic) == 0 && tracked.configs.count(topic) == 0) {
      out.push_back(Cleared(topic));
    }
  }
  tracked.stale.clear();
  tracked.configs.swap(wanted);
  tracked.configs_from = reading.last;
}

void Mirror::Sync(const std::vector<DeviceReading>& devices, std::vector<Message>& out) {
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (Find(devices, it->first) != nullptr) {
      ++it;
      continue;
    }
    std::set<std::string> configs;
    for (const auto& [topic, payload] : it->second.configs) configs.insert(topic);
    configs.insert(it->second.stale.begin(), it->second.stale.end());
    Forget(it->first, configs, out);
    it = devices_.erase(it);
  }
  for (const DeviceReading& reading : devices) {
    Tracked& tracked = devices_[reading.config.name];
    const LoadResult* last = reading.last.get();
    const bool read = last != nullptr && last->finished && last->result == 0;
    if (config_.home_assistant && read && tracked.configs_from != reading.last) {
      TakeConfigs(reading, tracked, out);
    }
    for (const auto& [topic, payload] : tracked.configs) {
      std::string& sent = tracked.sent_configs[topic];
      if (sent == payload) continue;
      out.push_back({topic, payload, config_.retain_discovery});
      sent = payload;
    }
    const DeviceTopics topics = TopicsOf(config_, reading.config.name);
    const std::string availability = Availability(last);
    if (tracked.sent_availability != availability) {
      out.push_back({topics.availability, availability, true});
      tracked.sent_availability = availability;
    }
    if (last != nullptr && tracked.sent_state != reading.last) {
      out.push_back({topics.state, StatePayload(reading.config.name, *last), true});
      tracked.sent_state = reading.last;
    }
  }
}

}  // namespace kestrel::exporter::mqtt
