// kestrel-exporter: the Linux host service. It hosts the module for every configured Room Alert and
// answers Prometheus: /probe?target=NAME loads one device now, /metrics tells about the exporter
// (and, with --poll, every device's latest reading), / lists the devices.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "host/module_loader.h"
#include "tools/kestrel-exporter/config.h"
#include "tools/kestrel-exporter/discovery.h"
#include "tools/kestrel-exporter/exporter.h"
#include "tools/kestrel-exporter/http_server.h"
#include "tools/kestrel-exporter/process.h"
#include "tools/kestrel-exporter/provider_loader.h"

namespace {

using kestrel::exporter::Clock;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultWorkers = 128;
// Loads still running at shutdown get this long to end before the process leaves them.
constexpr auto kShutdownGrace = std::chrono::seconds(5);

struct Options {
  std::string config;
  std::string check_config;
  std::string state_dir;
  std::string plugin;
  bool poll = false;
  long workers = kDefaultWorkers;
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: kestrel-exporter --config FILE [--state-dir DIR] [--poll] [--workers N]\n"
               "                        [--plugin PATH]\n"
               "       kestrel-exporter --check-config FILE\n"
               "       kestrel-exporter --version\n"
               "\n"
               "  --config FILE        the YAML configuration (listen, defaults, auth_modules,\n"
               "                       allow_unlisted_targets, devices); SIGHUP rereads it\n"
               "  --check-config FILE  only validate FILE: exit 0 when good, 2 when not\n"
               "  --state-dir DIR      per-device documents and traces (default\n"
               "                       $STATE_DIRECTORY, else ./kestrel-state)\n"
               "  --poll               also load every device on its own interval and serve\n"
               "                       the latest readings on /metrics\n"
               "  --workers N          loads running at once (default %d; more when more\n"
               "                       devices are configured, a quarter for unlisted targets)\n"
               "  --plugin PATH        module to load (default: the one beside this program)\n"
               "\n"
               "Endpoints: /probe?target=NAME, /metrics, /, /-/healthy, /-/ready.\n",
               kDefaultWorkers);
}

int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto take = [&](std::string& into) {
      if (value == nullptr || *value == 0) return false;
      into = value;
      ++i;
      return true;
    };
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return -1;
    } else if (arg == "--version") {
      std::printf("kestrel-exporter %s\n", KESTREL_VERSION);
      return -1;
    } else if (arg == "--config") {
      ok = take(o.config);
    } else if (arg == "--check-config") {
      ok = take(o.check_config);
    } else if (arg == "--state-dir") {
      ok = take(o.state_dir);
    } else if (arg == "--plugin") {
      ok = take(o.plugin);
    } else if (arg == "--poll") {
      o.poll = true;
    } else if (arg == "--workers") {
      std::string text;
      char* end = nullptr;
      ok = take(text);
      o.workers = ok ? std::strtol(text.c_str(), &end, 10) : 0;
      ok = ok && *end == 0 && o.workers >= 1 && o.workers <= 4096;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "kestrel-exporter: unknown, incomplete or invalid option '%s'\n",
                   arg.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  if (o.config.empty() && o.check_config.empty()) {
    std::fprintf(stderr, "kestrel-exporter: --config FILE is required\n");
    PrintUsage(stderr);
    return kExitUsage;
  }
  return 0;
}

std::string StateDirectory(const Options& o) {
  if (!o.state_dir.empty()) return o.state_dir;
  // systemd names several folders separated by ':' when the unit asks for several.
  const char* from_systemd = std::getenv("STATE_DIRECTORY");
  if (from_systemd != nullptr && *from_systemd != 0) {
    const std::string text = from_systemd;
    return text.substr(0, text.find(':'));
  }
  return "kestrel-state";
}

kestrel::exporter::HttpLimits ServerLimits(std::size_t connections) {
  kestrel::exporter::HttpLimits limits;
  limits.threads = std::clamp(std::thread::hardware_concurrency(), 2U, 8U);
  limits.connections = static_cast<unsigned>(connections);
  limits.per_address = std::min(limits.per_address, limits.connections);
  return limits;
}

kestrel::exporter::Response Text(const char* text) {
  kestrel::exporter::Response response;
  response.content_type = "text/plain; charset=utf-8";
  response.body = text;
  return response;
}

// The state folder for this process alone (the lock lasts until exit), without what unlisted
// targets of an earlier run left, and every descriptor the system allows, shared out in plan.
bool ClaimStateAndDescriptors(const std::string& state_dir, const kestrel::exporter::Config& config,
                              std::size_t workers, kestrel::exporter::DescriptorPlan& plan) {
  std::string error;
  if (kestrel::exporter::LockStateFolder(state_dir, error) < 0) {
    std::fprintf(stderr, "kestrel-exporter: %s\n", error.c_str());
    return false;
  }
  kestrel::exporter::RemoveUnlistedFolders(state_dir);
  const std::size_t allowed = kestrel::exporter::RaiseDescriptorLimit();
  // Unlisted targets load on a quarter of the workers more.
  plan = kestrel::exporter::PlanDescriptors(allowed, config.devices.size(), workers + workers / 4);
  if (plan.needed > allowed) {
    std::fprintf(stderr,
                 "kestrel-exporter: %zu devices and %zu workers need about %zu open files with "
                 "room for 1024 clients, but the limit is %zu: at most %zu client connections "
                 "are served at once, and loads past the limit fail as if the devices refused; "
                 "raise the hard limit (LimitNOFILE= in the unit, ulimit -Hn)\n",
                 config.devices.size(), workers, plan.needed, allowed, plan.connections);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kestrel::exporter::BoundMemoryArenas();
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  kestrel::exporter::Config config;
  std::string error;
  if (!o.check_config.empty()) {
    if (!kestrel::exporter::LoadConfigFile(o.check_config, config, error, true)) {
      std::fprintf(stderr, "kestrel-exporter: %s\n", error.c_str());
      return kExitUsage;
    }
    std::printf("%s: ok, %zu devices\n", o.check_config.c_str(), config.devices.size());
    for (const std::string& note : config.unread_credentials) std::printf("  %s\n", note.c_str());
    return 0;
  }
  if (!kestrel::exporter::LoadConfigFile(o.config, config, error)) {
    std::fprintf(stderr, "kestrel-exporter: %s\n", error.c_str());
    return kExitUsage;
  }
  const std::string state_dir = StateDirectory(o);
  std::error_code folder_error;
  std::filesystem::create_directories(state_dir, folder_error);
  if (folder_error) {
    std::fprintf(stderr, "kestrel-exporter: cannot create the state directory %s: %s\n",
                 state_dir.c_str(), folder_error.message().c_str());
    return kExitFailure;
  }
  kestrel::exporter::DescriptorPlan descriptors;
  if (!ClaimStateAndDescriptors(state_dir, config, static_cast<std::size_t>(o.workers),
                                descriptors)) {
    return kExitUsage;
  }
  kestrel::host::LoadedModule module;
  if (!kestrel::host::LoadModule(o.plugin.empty() ? kestrel::host::DefaultModulePath() : o.plugin,
                                 module, error)) {
    std::fprintf(stderr, "kestrel-exporter: %s\n", error.c_str());
    return kExitFailure;
  }

  // Signals go to one thread that waits for them; every other thread runs with them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  kestrel::exporter::EventLog log;
  log.Line(std::string("starting version ") + KESTREL_VERSION + ", " +
           std::to_string(config.devices.size()) + " devices, state in " + state_dir +
           (o.poll ? ", polling" : ""));
  kestrel::exporter::Exporter exporter(
      {o.config, KESTREL_VERSION, o.poll, static_cast<std::size_t>(o.workers)}, config,
      kestrel::exporter::ModuleLoaderFactory(module, state_dir), log);

  using kestrel::exporter::HttpReply;
  using kestrel::exporter::HttpRequest;
  kestrel::exporter::HttpServer server(ServerLimits(descriptors.connections));
  server.Handle("/probe", [&](const HttpRequest& request, HttpReply reply) {
    // Only the headers of the answer would go back: not worth a load.
    if (request.head) return reply(kestrel::exporter::Response());
    exporter.Probe(request.query, request.scrape_timeout, std::move(reply), request.client);
  });
  server.Handle("/metrics",
                [&](const HttpRequest&, HttpReply reply) { reply(exporter.Metrics()); });
  server.Handle("/", [&](const HttpRequest&, HttpReply reply) { reply(exporter.StatusPage()); });
  server.Handle("/sd", [&](const HttpRequest&, HttpReply reply) {
    reply(kestrel::exporter::DiscoveryTargets(exporter.Current()));
  });
  server.Handle("/-/healthy",
                [](const HttpRequest&, HttpReply reply) { reply(Text("Healthy.\n")); });
  server.Handle("/-/ready", [](const HttpRequest&, HttpReply reply) { reply(Text("Ready.\n")); });

  const std::string address = config.listen_address.empty() ? "0.0.0.0" : config.listen_address;
  if (!server.Start(address, config.listen_port, error)) {
    log.Line(error);
    return kExitUsage;
  }
  const bool v6 = address.find(':') != std::string::npos;
  log.Line("listening on " + (v6 ? "[" + address + "]" : address) + ":" +
           std::to_string(server.Port()));

  std::mutex stop_mutex;
  std::condition_variable stop_wake;
  bool stopping = false;
  std::thread poller;
  if (o.poll) {
    poller = std::thread([&] {
      std::unique_lock<std::mutex> lock(stop_mutex);
      while (!stopping) {
        lock.unlock();
        exporter.PollDue(Clock::now());
        lock.lock();
        stop_wake.wait_for(lock, std::chrono::seconds(1), [&] { return stopping; });
      }
    });
  }
  for (;;) {
    int signal_number = 0;
    sigwait(&signals, &signal_number);
    if (signal_number == SIGHUP) {
      exporter.Reload();
      continue;
    }
    log.Line(signal_number == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT");
    break;
  }
  server.Stop();
  {
    std::lock_guard<std::mutex> lock(stop_mutex);
    stopping = true;
  }
  stop_wake.notify_all();
  if (poller.joinable()) poller.join();
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
