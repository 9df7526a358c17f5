// The exporter's endpoints as plain functions of their inputs, so they are tested without a
// socket; main hands them to the HTTP server.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/log.h"
#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/folder_writes.h"
#include "programs/kestrel-exporter/registry.h"
#include "programs/kestrel-exporter/scheduler.h"
#include "web/address.h"
#include "web/http.h"

namespace kestrel::exporter {

// The target of a probe's query string ("target=NAME", percent-encoded, once); error otherwise.
bool ParseProbeQuery(const std::string& query, std::string& target, std::string& error);

// How long a probe may wait: the scrape time-out Prometheus announces less a margin for the
// answer's way back, never longer than the configured timeout.
double ProbeWaitSeconds(const std::string& scrape_timeout_header, double configured_timeout);

class Exporter {
 public:
  struct Options {
    std::string config_path;
    std::string version;
    bool poll = false;
    std::size_t workers = 128;
    const FolderWrites* writes = nullptr;  // whether the folders take the loads' files
  };
  // log: events (start, reloads, a device's failures and recovery), one line each.
  Exporter(Options options, const Config& config, LoaderFactory factory, app::Log& log);

  // Answers a probe through reply, exactly once: at once when the query or the target is
  // refused, else when the load ends or the scrape time-out passes, on whichever thread that
  // happens. Never blocks, so a waiting probe holds no thread. client: the peer's address, which
  // unlisted targets depend on.
  void Probe(const std::string& query, const std::string& scrape_timeout_header, web::Reply reply,
             const web::IpAddress& client = web::IpAddress());
  web::Response Metrics();
  web::Response StatusPage();
  // Rereads the configuration file; a bad one leaves the running configuration in place.
  // also: what else the reload takes up (the web configuration), run once the file proved good;
  // its failure fails the reload as a bad file does, and nothing of the file is applied.
  bool Reload(const std::function<bool(std::string& error)>& also = {});
  // Starts the loads that are due (with --poll); called about once a second.
  void PollDue(Clock::time_point now);
  bool Stop(Clock::time_point deadline) {
    const bool resolved = registry_.Stop(deadline);
    return scheduler_.Stop(deadline) && resolved;
  }
  // The port the server listens on, which unlisted targets may not point back at.
  void ListeningOn(int port) { registry_.SetOwnPort(static_cast<uint16_t>(port)); }
  // Families of other parts of the program (the MQTT publisher) for /metrics; set before the
  // server starts.
  void AddToMetrics(std::function<void(MetricSet&)> more) { more_metrics_ = std::move(more); }
  Config Current() const { return registry_.Current(); }
  // Configured devices, in file order.
  std::vector<std::shared_ptr<Device>> Devices() const { return registry_.Devices(); }

 private:
  // The rest of a probe, once its target is found.
  void ProbeFound(const std::shared_ptr<Device>& device, Clock::time_point deadline,
                  web::Reply reply);
  // What the scheduler takes from a configuration: back-off and worker count.
  void Tune(const Config& config);
  Options options_;
  app::Log& log_;
  Registry registry_;
  Scheduler scheduler_;
  std::mutex poll_mutex_;
  std::map<std::string, Clock::time_point> next_poll_;
  std::atomic<bool> last_reload_ok_{true};
  std::atomic<double> last_reload_at_{0};
  std::function<void(MetricSet&)> more_metrics_;
};

}  // namespace kestrel::exporter
