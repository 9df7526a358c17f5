#include "programs/kestrel-exporter/mqtt/publisher.h"

#include "programs/kestrel-exporter/mqtt/discovery.h"
#include "programs/kestrel-exporter/mqtt/state.h"

namespace kestrel::exporter::mqtt {

namespace {

// How long a replaced connection may take to say offline and leave.
constexpr auto kLeaveTime = std::chrono::seconds(2);

std::vector<std::string> Subscriptions(const MqttConfig& config) {
  if (!config.home_assistant) return {};
  std::vector<std::string> topics = DiscoverySubscriptions(config);
  topics.push_back(HomeAssistantStatusTopic(config));
  return topics;
}

Message Offline(const MqttConfig& config) {
  return {ExporterAvailabilityTopic(config), "offline", true};
}

}  // namespace

Source SourceOf(Exporter& exporter) {
  Source source;
  source.devices = [&exporter] {
    std::vector<DeviceReading> readings;
    for (const auto& device : exporter.Devices()) {
      readings.push_back({device->Settings(), device->Last()});
    }
    return readings;
  };
  source.poll = [&exporter](Clock::time_point now) { exporter.PollDue(now); };
  return source;
}

Publisher::Publisher(ClientFactory factory, app::Log& log, std::string version,
                     std::chrono::milliseconds turn)
    : factory_(std::move(factory)), log_(log), version_(std::move(version)), turn_(turn) {}

void Publisher::Start(Source source, const MqttConfig& config) {
  source_ = std::move(source);
  Apply(config);
  thread_ = std::thread([this] { Run(); });
}

void Publisher::Apply(const MqttConfig& config) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = std::make_unique<MqttConfig>(config);
  }
  wake_.notify_all();
}

void Publisher::Stop(Clock::time_point deadline) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    deadline_ = deadline;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Publisher::Post(Event event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.client != client_number_) return;
    events_.push_back(std::move(event));
  }
  wake_.notify_all();
}

void Publisher::StopClient(Clock::time_point deadline) {
  if (client_ == nullptr) return;
  client_->Stop(Offline(config_), deadline);
  client_.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  ++client_number_;
  events_.clear();
  connected_ = false;
}

void Publisher::Reconfigure(const MqttConfig& config) {
  if (client_ != nullptr && config.SameConnection(config_)) {
    config_ = config;
    mirror_->Configure(config);
    return;
  }
  StopClient(Clock::now() + kLeaveTime);
  config_ = config;
  uint64_t number = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = config.enabled;
    last_problem_ = Problem();
    number = client_number_;
  }
  if (!config.enabled) return;
  mirror_ = std::make_unique<Mirror>(config, version_);
  Client::Events events;
  events.connected = [this, number] { Post({number, Event::kConnected, {}, {}}); };
  events.failed = [this, number](const Problem& p) { Post({number, Event::kFailed, p, {}}); };
  events.received = [this, number](const Message& m) { Post({number, Event::kReceived, {}, m}); };
  client_ = factory_(config, Offline(config), Subscriptions(config), std::move(events));
}

void Publisher::Handle(const Event& event, const std::vector<DeviceReading>& devices,
                       std::vector<Message>& out) {
  switch (event.kind) {
    case Event::kConnected: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
        last_problem_ = Problem();
      }
      const std::string line = "mqtt: connected to " + config_.broker +
                               (config_.user.empty() ? "" : " as " + config_.user) +
                               ", publishing under " + config_.topic_prefix + "/" + config_.node_id;
      if (failing_) {
        log_.Recovered("mqtt", line);
      } else {
        log_.Line(line);
      }
      failing_ = false;
      mirror_->Connected(out);
      break;
    }
    case Event::kFailed: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        ++failures_;
        last_problem_ = event.problem;
      }
      failing_ = true;
      log_.Failed("mqtt", "mqtt: " + config_.broker + ": " + event.problem.text +
                              " (trying again; the readings wait)");
      break;
    }
    case Event::kReceived:
      mirror_->Received(event.message, devices, out);
      break;
  }
}

void Publisher::Run() {
  std::vector<Event> events;
  std::vector<Message> out;
  while (true) {
    std::unique_ptr<MqttConfig> pending;
    bool stopping = false;
    Clock::time_point deadline;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, turn_,
                     [this] { return stopping_ || pending_ != nullptr || !events_.empty(); });
      stopping = stopping_;
      deadline = deadline_;
      pending.swap(pending_);
      events.swap(events_);
    }
    if (stopping) {
      StopClient(deadline);
      return;
    }
    if (pending != nullptr) Reconfigure(*pending);
    if (client_ == nullptr) continue;
    const std::vector<DeviceReading> devices = source_.devices();
    out.clear();
    for (const Event& event : events) Handle(event, devices, out);
    events.clear();
    bool connected = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected = connected_;
    }
    // Loads are asked for only while they can be published: with the broker away, the devices
    // are left to the probes.
    if (connected) {
      source_.poll(Clock::now());
      mirror_->Sync(devices, out);
    }
    for (Message& message : out) client_->Publish(std::move(message));
    std::lock_guard<std::mutex> lock(mutex_);
    published_ += out.size();
  }
}

void Publisher::AddMetrics(MetricSet& set) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!enabled_) return;
  set.Add("roomalert_exporter_mqtt_connected", "gauge",
          "1 while the exporter is connected to its MQTT broker.", {}, connected_ ? 1 : 0);
  set.Add("roomalert_exporter_mqtt_connection_failures_total", "counter",
          "Connection tries that failed, and connections to the MQTT broker that ended.", {},
          static_cast<double>(failures_));
  set.Add("roomalert_exporter_mqtt_messages_published_total", "counter",
          "Messages handed to the MQTT broker.", {}, static_cast<double>(published_));
  if (!connected_ && !last_problem_.kind.empty()) {
    set.Add("roomalert_exporter_mqtt_last_error_info", "gauge",
            "Why the exporter is not connected to its MQTT broker: a fixed class and the reason.",
            {{"class", last_problem_.kind}, {"error", last_problem_.text}}, 1);
  }
}

}  // namespace kestrel::exporter::mqtt
