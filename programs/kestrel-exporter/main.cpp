// kestrel-exporter: the Linux host service. It hosts the module for every configured Room Alert and
// answers Prometheus: /probe?target=NAME loads one device now, /metrics tells about the exporter
// (and, with --poll, every device's latest reading), / lists the devices.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "app/listen_address.h"
#include "app/log.h"
#include "app/signals.h"
#include "host/module_loader.h"
#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/discovery.h"
#include "programs/kestrel-exporter/exporter.h"
#include "programs/kestrel-exporter/exporter_options.h"
#include "programs/kestrel-exporter/mqtt/publisher.h"
#include "programs/kestrel-exporter/process.h"
#include "programs/kestrel-exporter/provider_loader.h"
#include "web/endpoint.h"
#include "web/http.h"
#include "web/web_config.h"

namespace kestrel::exporter {

namespace {

using web::Endpoint;
using web::HttpLimits;
using web::LoadWebConfigFile;
using web::Reply;
using web::Request;
using web::Response;
using web::WebConfig;

// Loads still running at shutdown get this long to end before the process leaves them.
constexpr auto kShutdownGrace = std::chrono::seconds(5);
// How long --check-config waits for the broker to take the login.
constexpr double kBrokerCheckSeconds = 5;

// Both files, read and checked as at start (checking: for --check-config); false with the
// reason printed.
bool LoadFiles(const std::string& config_path, const Options& o, bool checking, Config& config,
               WebConfig& web, app::Log& log) {
  std::string error;
  bool good = LoadConfigFile(config_path, config, error, checking);
  if (good && !o.web_config_file.empty()) good = LoadWebConfigFile(o.web_config_file, web, error);
  if (!good) log.Line(error);
  return good;
}

// What only a connection shows (a host that does not resolve, a refused port or login, a CA that
// does not sign the broker's certificate), tried once with the file's settings.
int CheckBroker(const MqttConfig& mqtt, app::Log& log) {
  const mqtt::Problem problem = mqtt::TryBroker(mqtt, kBrokerCheckSeconds);
  if (!problem.kind.empty()) {
    log.Line("mqtt: cannot use " + mqtt.broker + " (" + problem.kind + "): " + problem.text);
    return kExitFailure;
  }
  std::printf("%s: ok, connected%s\n", mqtt.broker.c_str(),
              mqtt.user.empty() ? "" : (" as " + mqtt.user).c_str());
  return 0;
}

int CheckConfig(const Options& o, app::Log& log) {
  Config config;
  WebConfig web;
  if (!LoadFiles(o.check_config, o, true, config, web, log)) return kExitUsage;
  std::printf("%s: ok, %zu devices\n", o.check_config.c_str(), config.devices.size());
  for (const std::string& note : config.unread_credentials) std::printf("  %s\n", note.c_str());
  if (!o.web_config_file.empty()) {
    std::printf("%s: ok, %s, %zu users\n", o.web_config_file.c_str(), web.tls ? "HTTPS" : "HTTP",
                web.basic_auth_users.size());
  }
  return config.mqtt.enabled && config.unread_credentials.empty() ? CheckBroker(config.mqtt, log)
                                                                  : 0;
}

// systemd names several folders separated by ':' when the unit asks for several.
std::string FromSystemd(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == 0) return std::string();
  const std::string text = value;
  return text.substr(0, text.find(':'));
}

ExporterFolders Folders(const Options& o) {
  ExporterFolders folders{o.state_dir, o.documents_dir};
  if (folders.state.empty()) folders.state = FromSystemd("STATE_DIRECTORY");
  if (folders.state.empty()) folders.state = "kestrel-state";
  if (folders.documents.empty()) folders.documents = FromSystemd("RUNTIME_DIRECTORY");
  if (folders.documents.empty()) folders.documents = folders.state;
  return folders;
}

// The front door's limits from the command line, within the connections the descriptor plan
// leaves.
HttpLimits ServerLimits(std::size_t connections, const ServerOptions& s, app::Log& log) {
  HttpLimits limits;
  limits.threads = std::clamp(std::thread::hardware_concurrency(), 2U, 8U);
  auto& budget = limits.connections;
  budget.total = connections;
  if (s.max_connections > 0) {
    const auto asked = static_cast<std::size_t>(s.max_connections);
    if (asked > connections) {
      log.Line("--web.max-connections " + std::to_string(asked) +
               " is more than the open-file limit leaves: " + std::to_string(connections) +
               " client connections are served at once");
    }
    budget.total = std::min(asked, connections);
  }
  budget.per_address = std::min(static_cast<std::size_t>(s.per_address), budget.total);
  budget.per_prefix = std::min(static_cast<std::size_t>(s.per_prefix), budget.total);
  budget.ipv4_prefix = static_cast<int>(s.ipv4_prefix);
  limits.request_timeout = std::chrono::milliseconds(DurationMilliseconds(s.request_timeout));
  limits.handshake_timeout = std::chrono::milliseconds(DurationMilliseconds(s.handshake_timeout));
  return limits;
}

web::LoginLimits LoginLimits(const ServerOptions& s) {
  web::LoginLimits limits;
  limits.gate.failures = static_cast<std::size_t>(s.login_failures);
  limits.ipv4_prefix = static_cast<int>(s.ipv4_prefix);
  return limits;
}

Response Text(const char* text) {
  Response response;
  response.content_type = "text/plain; charset=utf-8";
  response.body = text;
  return response;
}

// The state and documents folders, created, for this process alone (the locks last until exit),
// without what unlisted targets of an earlier run left, and every descriptor the system allows,
// shared out in plan. The exit status when that cannot be had, else 0.
int ClaimStateAndDescriptors(const ExporterFolders& folders, const Config& config,
                             std::size_t workers, DescriptorPlan& plan, app::Log& log) {
  for (const std::string* folder : {&folders.state, &folders.documents}) {
    std::error_code folder_error;
    std::filesystem::create_directories(*folder, folder_error);
    if (folder_error) {
      log.Line(std::string("cannot create the ") +
               (folder == &folders.state ? "state" : "documents") + " directory " + *folder + ": " +
               folder_error.message());
      return kExitFailure;
    }
  }
  std::string error;
  if (!LockFolders(folders.state, folders.documents, error)) {
    log.Line(error);
    return kExitUsage;
  }
  RemoveUnlistedFolders(folders);
  const std::size_t allowed = RaiseDescriptorLimit();
  // Unlisted targets load on a quarter of the workers more.
  plan = PlanDescriptors(allowed, config.devices.size(), workers + workers / 4);
  if (plan.needed > allowed) {
    log.Line(std::to_string(config.devices.size()) + " devices and " + std::to_string(workers) +
             " workers need about " + std::to_string(plan.needed) +
             " open files with room for 1024 clients, but the limit is " + std::to_string(allowed) +
             ": at most " + std::to_string(plan.connections) +
             " client connections are served at once, and loads past the limit fail as if the "
             "devices refused; raise the hard limit (LimitNOFILE= in the unit, ulimit -Hn)");
  }
  return 0;
}

web::Router Routes(Exporter& exporter) {
  web::Router routes;
  routes.Handle("/probe", [&](const Request& request, Reply reply) {
    // Only the headers of the answer would go back: not worth a load.
    if (request.method == "HEAD") return reply(Response());
    const std::string* timeout = request.Header("X-Prometheus-Scrape-Timeout-Seconds");
    exporter.Probe(request.query, timeout != nullptr ? *timeout : std::string(), std::move(reply),
                   request.client);
  });
  routes.Handle("/metrics", [&](const Request&, Reply reply) { reply(exporter.Metrics()); });
  routes.Handle("/", [&](const Request&, Reply reply) { reply(exporter.StatusPage()); });
  routes.Handle("/sd",
                [&](const Request&, Reply reply) { reply(DiscoveryTargets(exporter.Current())); });
  routes.Handle("/-/healthy", [](const Request&, Reply reply) { reply(Text("Healthy.\n")); });
  routes.Handle("/-/ready", [](const Request&, Reply reply) { reply(Text("Ready.\n")); });
  return routes;
}

bool StartServer(Endpoint& server, Exporter& exporter, const Options& o, const Config& config,
                 const WebConfig& web, app::Log& log) {
  std::string address = config.listen_address;
  int port = config.listen_port;
  if (!o.web_listen_address.empty()) app::ParseListenAddress(o.web_listen_address, address, port);
  if (address.empty()) address = "0.0.0.0";
  std::string error;
  if (!server.Configure(web, error) || !server.Start(address, port, error)) {
    log.Line(error);
    return false;
  }
  // Before the line that tells clients where to connect: a probe of the exporter's own port
  // that came right after it would otherwise be fetched.
  exporter.ListeningOn(server.Port());
  const bool v6 = address.find(':') != std::string::npos;
  log.Line("listening on " + (v6 ? "[" + address + "]" : address) + ":" +
           std::to_string(server.Port()));
  if (!o.web_config_file.empty()) {
    const std::size_t users = web.basic_auth_users.size();
    log.Line(std::string("endpoint: ") + (web.tls ? "HTTPS" : "HTTP") + ", " +
             (users == 0 ? "no login" : "login for " + std::to_string(users) + " users"));
  }
  return true;
}

// With --poll: starts the loads that are due about once a second until stopped.
class Poller {
 public:
  Poller(Exporter& exporter, bool enabled) {
    if (!enabled) return;
    thread_ = std::thread([this, &exporter] {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stopping_) {
        lock.unlock();
        exporter.PollDue(Clock::now());
        lock.lock();
        wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
      }
    });
  }
  ~Poller() { Stop(); }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// Serves until SIGTERM or SIGINT; SIGHUP rereads both files, the web configuration only when the
// main one is good, and applies neither unless both are. Each SIGHUP makes one reload, on the
// signal thread's reload thread while the server goes on answering; one that came while the
// exporter started runs now. A TLS change hands the old server to the server's own thread.
void ServeUntilStopped(const Options& o, Exporter& exporter, Endpoint& server,
                       mqtt::Publisher& publisher, app::Log& log) {
  auto reload_web = [&](std::string& error) {
    WebConfig web;
    if (o.web_config_file.empty()) return true;
    return LoadWebConfigFile(o.web_config_file, web, error) && server.Configure(web, error);
  };
  app::SignalThread signals(app::Signals::kStopAndReload,
                            {{}, [&] {
                               if (exporter.Reload(reload_web)) {
                                 publisher.Apply(exporter.Current().mqtt);
                               }
                             }});
  const int signal_number = signals.WaitForStop();
  log.Line(signal_number == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT");
}

int Serve(const Options& o, app::Log& log) {
  Config config;
  WebConfig web;
  if (!LoadFiles(o.config, o, false, config, web, log)) return kExitUsage;
  const ExporterFolders folders = Folders(o);
  DescriptorPlan descriptors;
  const auto workers = static_cast<std::size_t>(o.workers);
  if (const int status = ClaimStateAndDescriptors(folders, config, workers, descriptors, log);
      status != 0) {
    return status;
  }
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(o.plugin.empty() ? host::DefaultModulePath() : o.plugin, module, error)) {
    log.Line(error);
    return kExitFailure;
  }
  log.Line(std::string("starting version ") + KESTREL_VERSION + ", " +
           std::to_string(config.devices.size()) + " devices, state in " + folders.state +
           (folders.documents != folders.state ? ", documents in " + folders.documents : "") +
           (o.poll ? ", polling" : ""));
  FolderWrites writes(log, folders.state, folders.documents);
  mqtt::Publisher publisher(mqtt::MosquittoClientFactory(), log, KESTREL_VERSION);
  Exporter exporter({o.config, KESTREL_VERSION, o.poll, workers, &writes}, config,
                    ModuleLoaderFactory(module, folders, &writes), log);
  exporter.AddToMetrics([&publisher](MetricSet& set) { publisher.AddMetrics(set); });
  Endpoint server("kestrel-exporter", ServerLimits(descriptors.connections, o.server, log),
                  LoginLimits(o.server), Routes(exporter));
  if (!StartServer(server, exporter, o, config, web, log)) return kExitUsage;
  Poller poller(exporter, o.poll);
  publisher.Start(mqtt::SourceOf(exporter), config.mqtt);
  ServeUntilStopped(o, exporter, server, publisher, log);
  server.Stop();
  poller.Stop();
  publisher.Stop(Clock::now() + std::chrono::seconds(2));
  if (!exporter.Stop(Clock::now() + kShutdownGrace)) {
    // A load that hangs on its device would keep the process; its provider needs no goodbye.
    log.Line("stopped, leaving loads that did not end");
    std::fflush(nullptr);
    std::_Exit(0);
  }
  log.Line("stopped");
  // The module stays mapped until the process ends: libcurl and OpenSSL keep process-wide state
  // whose exit handlers would otherwise point into unloaded code.
  return 0;
}

}  // namespace

}  // namespace kestrel::exporter

int main(int argc, char** argv) {
  using namespace kestrel::exporter;
  BoundMemoryArenas();
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed >= 0) return parsed;
  kestrel::app::Log log(kProgram);
  if (!o.check_config.empty()) return CheckConfig(o, log);
  // Before any thread: a signal that comes while the exporter starts waits for the signal thread
  // (see ServeUntilStopped) rather than ending it half started.
  kestrel::app::BlockSignals(kestrel::app::Signals::kStopAndReload);
  kestrel::app::IgnoreBrokenPipes();
  return Serve(o, log);
}
