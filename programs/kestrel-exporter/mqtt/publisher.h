// The exporter's devices on an MQTT broker, kept in step on a thread of its own: once a second
// it asks for the loads that are due, through the same poller as the probes (so within a
// device's min_interval it adds no load), and sends what changed. A broker that is down or
// refuses costs a metric and a log line, never a probe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "programs/kestrel-exporter/exporter.h"
#include "programs/kestrel-exporter/mqtt/client.h"
#include "programs/kestrel-exporter/mqtt/mirror.h"

namespace kestrel::exporter::mqtt {

// Where the publisher's readings come from.
struct Source {
  std::function<std::vector<DeviceReading>()> devices;  // the configured ones, in file order
  std::function<void(Clock::time_point now)> poll;      // starts the loads that are due
};

// The exporter's configured devices and poll schedule.
Source SourceOf(Exporter& exporter);

class Publisher {
 public:
  Publisher(ClientFactory factory, app::Log& log, std::string version,
            std::chrono::milliseconds turn = std::chrono::seconds(1));
  ~Publisher() { Stop(Clock::now() + std::chrono::seconds(2)); }

  // Starts the thread, with the configuration's mqtt section (none: it waits for one).
  void Start(Source source, const MqttConfig& config);
  // A reloaded configuration: connects, reconnects or disconnects as its mqtt section says.
  void Apply(const MqttConfig& config);
  // Says offline on the availability topic and leaves the broker, by deadline.
  void Stop(Clock::time_point deadline);
  // The connection's metrics, when there is an mqtt section.
  void AddMetrics(MetricSet& set) const;

 private:
  struct Event {
    uint64_t client;  // which client said it: one replaced since is not heard any more
    enum Kind { kConnected, kFailed, kReceived } kind;
    Problem problem;
    Message message;
  };
  void Run();
  void Reconfigure(const MqttConfig& config);
  void Handle(const Event& event, const std::vector<DeviceReading>& devices,
              std::vector<Message>& out);
  void Post(Event event);
  void StopClient(Clock::time_point deadline);

  const ClientFactory factory_;
  app::Log& log_;
  const std::string version_;
  const std::chrono::milliseconds turn_;
  Source source_;
  // The thread's own.
  std::unique_ptr<Client> client_;
  std::unique_ptr<Mirror> mirror_;
  MqttConfig config_;
  bool failing_ = false;
  // Shared with the client's thread, reloads and /metrics.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Event> events_;
  std::unique_ptr<MqttConfig> pending_;
  bool stopping_ = false;
  Clock::time_point deadline_{};
  uint64_t client_number_ = 0;
  bool enabled_ = false;
  bool connected_ = false;
  uint64_t failures_ = 0;
  uint64_t published_ = 0;
  Problem last_problem_;
  std::thread thread_;
};

}  // namespace kestrel::exporter::mqtt
