#include "programs/kestrel-exporter/exporter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <utility>
#include <vector>

#include "host/value_format.h"

namespace kestrel::exporter {

namespace {

// Time left for the answer to travel back once the probe stops waiting.
constexpr double kAnswerMargin = 0.5;

std::string UtcTime(double unix_seconds) {
  if (unix_seconds <= 0) return "never";
  return kestrel::host::Rfc3339Utc(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(unix_seconds))));
}

// What the status page shows of a text: no password of the configuration and no user:password@
// of a URL, whatever a device or the module put into an error text.
std::string WithoutCredentials(std::string text, const Config& config) {
  for (const auto& [name, auth] : config.auth_modules) {
    if (auth.password.empty()) continue;
    for (std::size_t at = text.find(auth.password); at != std::string::npos;
         at = text.find(auth.password, at + 3)) {
      text.replace(at, auth.password.size(), "***");
    }
  }
  for (std::size_t scheme = text.find("://"); scheme != std::string::npos;
       scheme = text.find("://", scheme + 3)) {
    const std::size_t start = scheme + 3;
    const std::size_t end = text.find_first_of("/?# \t\"'<>", start);
    const std::size_t at = text.rfind('@', end == std::string::npos ? text.size() : end);
    if (at != std::string::npos && at >= start) text.replace(start, at - start, "***");
  }
  return text;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A device that stays down is said once per series of failures (see app::Log), not per probe.
void LogLoad(app::Log& log, const std::string& device, const LoadResult& load) {
  if (load.result == 0) {
    log.Recovered(device, "device " + device + " answers again");
  } else {
    log.Failed(device, "device " + device + ": load failed: " + load.error);
  }
}

}  // namespace

bool ParseProbeQuery(const std::string& query, std::string& target, std::string& error) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!web::DecodeQuery(query, pairs)) {
    error = "the query string holds a broken percent escape";
    return false;
  }
  bool found = false;
  for (auto& [name, value] : pairs) {
    if (name != "target") continue;
    if (found) {
      error = "the query string names more than one target";
      return false;
    }
    found = true;
    target = std::move(value);
  }
  if (!found || target.empty()) {
    error = "the query string names no target (expected /probe?target=NAME)";
    return false;
  }
  return true;
}

double ProbeWaitSeconds(const std::string& scrape_timeout_header, double configured_timeout) {
  double announced = 0;
  const char* first = scrape_timeout_header.data();
  const char* last = first + scrape_timeout_header.size();
  const auto [end, ec] = std::from_chars(first, last, announced);
  if (first == last || ec != std::errc() || end != last || !std::isfinite(announced) ||
      announced <= 0) {
    return configured_timeout;
  }
  // A short scrape time-out keeps half of it for the way back rather than nothing.
  const double wait = announced > 2 * kAnswerMargin ? announced - kAnswerMargin : announced / 2;
  return std::min(wait, configured_timeout);
}

Exporter::Exporter(Options options, const Config& config, LoaderFactory factory, app::Log& log)
    : options_(std::move(options)),
      log_(log),
      registry_(std::move(factory)),
      scheduler_(options_.workers, [&log](const DeviceConfig& device, const LoadResult& load) {
        LogLoad(log, device.name, load);
      }) {
  registry_.Apply(config);
  Tune(config);
  last_reload_at_ = Now();
}

void Exporter::Tune(const Config& config) {
  scheduler_.SetBackoff(Backoff{config.backoff_seconds, config.backoff_max_seconds});
  scheduler_.EnsureWorkers(config.devices.size());
}

void Exporter::Probe(const std::string& query, const std::string& scrape_timeout_header,
                     web::Reply reply, const web::IpAddress& client) {
  std::string target;
  std::string error;
  if (!ParseProbeQuery(query, target, error)) {
    web::Response refused;
    refused.status = 400;
    refused.body = error + "\n";
    reply(std::move(refused));
    return;
  }
  // The scrape's time-out runs from now, the resolution of a target's name included.
  const double wait = ProbeWaitSeconds(scrape_timeout_header, registry_.TimeoutSeconds());
  const auto deadline = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(wait * 1e6));
  registry_.Find(target, client,
                 [this, deadline, reply = std::move(reply)](std::shared_ptr<Device> device,
                                                            const std::string& why) mutable {
                   if (device == nullptr) {
                     web::Response refused;
                     refused.status = 403;
                     refused.body = why + "\n";
                     reply(std::move(refused));
                     return;
                   }
                   ProbeFound(device, deadline, std::move(reply));
                 });
}

void Exporter::ProbeFound(const std::shared_ptr<Device>& device, Clock::time_point deadline,
                          web::Reply reply) {
  scheduler_.ProbeAsync(device, deadline,
                        [device, reply = std::move(reply)](const LoadResult& load) {
                          const DeviceConfig settings = device->Settings();
                          MetricSet set;
                          AddDeviceMetrics(set, settings.name, settings.labels, load);
                          AddThresholdMetrics(set, settings, load);
                          AddLoadAge(set, settings.name, settings.labels, load, Now());
                          web::Response response;
                          response.body = set.Text();
                          reply(std::move(response));
                        });
}

web::Response Exporter::Metrics() {
  MetricSet set;
  const auto devices = registry_.Devices();
  set.Add("roomalert_exporter_build_info", "gauge",
          "Version, source revision and compiler of the exporter.",
          BuildInfoLabels(options_.version), 1);
  set.Add("roomalert_exporter_devices", "gauge", "Devices in the configuration.", {},
          static_cast<double>(devices.size()));
  set.Add("roomalert_exporter_config_last_reload_successful", "gauge",
          "1 when the last reading of the configuration file succeeded.", {},
          last_reload_ok_ ? 1 : 0);
  set.Add("roomalert_exporter_config_last_reload_success_timestamp_seconds", "gauge",
          "When the configuration was last read successfully, since the Unix epoch.", {},
          last_reload_at_);
  LoadStatistics all;
  all.buckets.assign(LoadStatistics::Bounds().size(), 0);
  for (const auto& device : devices) {
    const LoadStatistics s = device->Statistics();
    const Labels labels = {{"device", device->Settings().name}};
    set.Add("roomalert_exporter_loads_total", "counter", "Loads run, per device.", labels,
            static_cast<double>(s.loads));
    set.Add("roomalert_exporter_load_failures_total", "counter", "Loads that failed, per device.",
            labels, static_cast<double>(s.failures));
    all.loads += s.loads;
    all.sum_seconds += s.sum_seconds;
    for (std::size_t i = 0; i < all.buckets.size(); ++i) all.buckets[i] += s.buckets[i];
  }
  std::vector<uint64_t> counts = all.buckets;
  counts.push_back(all.loads);
  set.AddHistogram("roomalert_exporter_load_duration_seconds",
                   "How long loads of configured devices took.", {}, LoadStatistics::Bounds(),
                   counts, all.sum_seconds);
  if (more_metrics_) more_metrics_(set);
  AddProcessMetrics(set);
  if (options_.writes != nullptr) {
    AddWriteErrors(set, options_.writes->Errors(ExporterFolder::kState),
                   options_.writes->Errors(ExporterFolder::kDocuments));
  }
  if (options_.poll) {
    for (const auto& device : devices) {
      const auto last = device->Last();
      if (last == nullptr) continue;
      const DeviceConfig settings = device->Settings();
      AddDeviceMetrics(set, settings.name, settings.labels, *last);
      AddThresholdMetrics(set, settings, *last);
      AddLoadAge(set, settings.name, settings.labels, *last, Now());
    }
  }
  web::Response response;
  response.body = set.Text();
  return response;
}

web::Response Exporter::StatusPage() {
  std::string rows;
  const Config config = registry_.Current();
  for (const auto& device : registry_.Devices()) {
    DeviceConfig settings = device->Settings();
    settings.host = WithoutCredentials(settings.host, config);
    const auto last = device->Last();
    std::string result = "not loaded yet";
    std::string error;
    if (last != nullptr) {
      result = last->result == 0 ? "ok" : "failed";
      if (last->result != 0) error = WithoutCredentials(last->error, config);
    }
    if (device->Loading()) result += " (loading)";
    const auto retry_in = device->RetryAt() - Clock::now();
    if (retry_in > Clock::duration::zero()) {
      result += " (next load in " +
                std::to_string(std::chrono::ceil<std::chrono::seconds>(retry_in).count()) + " s)";
    }
    const std::string link = "/probe?target=" + web::QueryEscape(settings.name);
    rows += "<tr><td>" + kestrel::host::MarkupEscape(settings.name) + "</td><td>" +
            kestrel::host::MarkupEscape(settings.host) + "</td><td>" +
            kestrel::host::MarkupEscape(result) + "</td><td>" + kestrel::host::MarkupEscape(error) +
            "</td><td>" +
            kestrel::host::MarkupEscape(UtcTime(last != nullptr ? last->finished_at : 0)) +
            "</td><td><a href=\"" + kestrel::host::MarkupEscape(link) + "\">probe</a></td></tr>\n";
  }
  web::Response response;
  response.content_type = "text/html; charset=utf-8";
  response.body =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>kestrel-exporter</title>"
      "</head>\n<body><h1>kestrel-exporter " +
      kestrel::host::MarkupEscape(options_.version) +
      "</h1>\n<p><a href=\"/metrics\">metrics</a> &middot; <a href=\"/-/healthy\">healthy</a> "
      "&middot; <a href=\"/-/ready\">ready</a></p>\n"
      "<table border=\"1\" cellpadding=\"4\">\n<tr><th>device</th><th>host</th><th>last "
      "result</th><th>last error</th><th>last load</th><th></th></tr>\n" +
      rows + "</table>\n</body></html>\n";
  return response;
}

bool Exporter::Reload(const std::function<bool(std::string& error)>& also) {
  Config config;
  std::string error;
  if (!LoadConfigFile(options_.config_path, config, error) || (also && !also(error))) {
    last_reload_ok_ = false;
    log_.Line("reload failed, the previous configuration stays in use: " + error);
    return false;
  }
  const Config old = registry_.Current();
  if (config.listen_address != old.listen_address || config.listen_port != old.listen_port) {
    log_.Line("reload: a new listen address takes effect only at the next start");
  }
  registry_.Apply(config);
  Tune(config);
  last_reload_ok_ = true;
  last_reload_at_ = Now();
  log_.Line("reload ok: " + std::to_string(config.devices.size()) + " devices");
  return true;
}

void Exporter::PollDue(Clock::time_point now) {
  const auto interval =
      std::chrono::microseconds(static_cast<int64_t>(registry_.PollIntervalSeconds() * 1e6));
  std::lock_guard<std::mutex> lock(poll_mutex_);
  std::map<std::string, Clock::time_point> next;
  for (const auto& device : registry_.Devices()) {
    const std::string name = device->Settings().name;
    const auto found = next_poll_.find(name);
    if (found != next_poll_.end() && found->second > now) {
      next.emplace(name, found->second);
      continue;
    }
    scheduler_.Start(device);
    next.emplace(name, now + interval);
  }
  next_poll_.swap(next);
}

}  // namespace kestrel::exporter
