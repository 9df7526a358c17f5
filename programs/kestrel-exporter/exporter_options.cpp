#include "programs/kestrel-exporter/exporter_options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <string>

#include "app/listen_address.h"
#include "app/options.h"

namespace kestrel::exporter {

namespace {

using app::Check;
using app::NotEmpty;

std::string WorkersProblem(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 4 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const long value = digits ? std::stol(text) : 0;
  return value >= 1 && value <= 4096 ? "" : text + " is not a number of workers from 1 to 4096";
}

std::string ListenProblem(const std::string& text) {
  std::string address;
  int port = 0;
  return app::ParseListenAddress(text, address, port)
             ? ""
             : text + " is not ADDRESS:PORT, [IPV6]:PORT or :PORT";
}

// A whole number from lowest to highest, as a check of CLI11.
std::function<std::string(const std::string&)> Between(long lowest, long highest) {
  return [lowest, highest](const std::string& text) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= lowest &&
        value <= highest) {
      return std::string();
    }
    return text + " is not a number from " + std::to_string(lowest) + " to " +
           std::to_string(highest);
  };
}

std::function<std::string(const std::string&)> DurationBetween(long long lowest_ms,
                                                               long long highest_ms) {
  return [lowest_ms, highest_ms](const std::string& text) {
    const long long ms = DurationMilliseconds(text);
    if (ms >= lowest_ms && ms <= highest_ms) return std::string();
    return text + " is not a duration from " + std::to_string(lowest_ms) + "ms to " +
           std::to_string(highest_ms / 1000) + "s (e.g. 10s or 500ms)";
  };
}

void AddServerOptions(CLI::App& app, ServerOptions& s) {
  app.add_option("--web.request-timeout", s.request_timeout,
                 "how long a client has from its connection (or its answer before) until a "
                 "request is whole, however it dribbles (default 10s)")
      ->type_name("DURATION")
      ->check(Check(DurationBetween(100, 300000)));
  app.add_option("--web.tls-handshake-timeout", s.handshake_timeout,
                 "how long an HTTPS client has from its connection to its handshake's end and "
                 "its request line (default 5s)")
      ->type_name("DURATION")
      ->check(Check(DurationBetween(100, 300000)));
  app.add_option("--web.max-connections", s.max_connections,
                 "client connections held at once (default: what the open-file limit leaves, at "
                 "most 100000); the last eighth only for networks holding fewer than 8")
      ->type_name("N")
      ->check(Check(Between(16, 1000000)));
  app.add_option("--web.max-connections-per-address", s.per_address,
                 "client connections one address may hold (default 1024)")
      ->type_name("N")
      ->check(Check(Between(1, 1000000)));
  app.add_option("--web.max-connections-per-prefix", s.per_prefix,
                 "client connections one network may hold: an IPv6 /64, an IPv4 network of "
                 "--web.ipv4-prefix-length (default 2048)")
      ->type_name("N")
      ->check(Check(Between(1, 1000000)));
  app.add_option("--web.ipv4-prefix-length", s.ipv4_prefix,
                 "the bits of an IPv4 client's address that make its network, for the limits "
                 "per network and failed logins: 24 (default) or up to 32, one address")
      ->type_name("BITS")
      ->check(Check(Between(8, 32)));
  app.add_option("--web.login-failures-per-minute", s.login_failures,
                 "failed logins a client network may have a minute before it is answered 429 "
                 "without a check (default 5)")
      ->type_name("N")
      ->check(Check(Between(1, 10000)));
}

void AddOptions(CLI::App& app, Options& o) {
  app.add_option("--config", o.config,
                 "the YAML configuration (listen, defaults, auth_modules, allow_unlisted_targets, "
                 "devices); SIGHUP rereads it")
      ->type_name("FILE")
      ->check(Check(NotEmpty));
  app.add_option("--check-config", o.check_config,
                 "only validate FILE (and --web.config.file): exit 0 when good, 2 when not")
      ->type_name("FILE")
      ->check(Check(NotEmpty));
  app.add_option("--web.config.file", o.web_config_file,
                 "TLS and basic authentication of the endpoint, in the exporter-toolkit format "
                 "(tls_server_config, basic_auth_users); SIGHUP rereads it")
      ->type_name("FILE")
      ->check(Check(NotEmpty));
  app.add_option("--web.listen-address", o.web_listen_address,
                 "where to listen, instead of the configuration's listen")
      ->type_name("ADDRESS:PORT")
      ->check(Check(ListenProblem));
  app.add_option("--state-dir", o.state_dir,
                 "per-device traces, and documents unless --documents-dir (default "
                 "$STATE_DIRECTORY, else ./kestrel-state)")
      ->type_name("DIR")
      ->check(Check(NotEmpty));
  app.add_option("--documents-dir", o.documents_dir,
                 "per-device documents and working files, rewritten by every load: best on "
                 "tmpfs (default $RUNTIME_DIRECTORY, else the state directory)")
      ->type_name("DIR")
      ->check(Check(NotEmpty));
  app.add_flag("--poll", o.poll,
               "also load every device on its own interval and serve the latest readings on "
               "/metrics");
  app.add_option("--workers", o.workers,
                 "loads running at once (default " + std::to_string(kDefaultWorkers) +
                     "; more when more devices are configured, a quarter for unlisted targets)")
      ->type_name("N")
      ->check(Check(WorkersProblem));
  app.add_option("--plugin", o.plugin, "module to load (default: the one beside this program)")
      ->type_name("PATH")
      ->check(Check(NotEmpty));
  AddServerOptions(app, o.server);
}

}  // namespace

long long DurationMilliseconds(const std::string& text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  const std::string unit(end, text.data() + text.size());
  static constexpr struct {
    const char* unit;
    double milliseconds;
  } kUnits[] = {{"", 1000}, {"s", 1000}, {"ms", 1}, {"m", 60000}};
  for (const auto& known : kUnits) {
    if (unit != known.unit || text.empty() || ec != std::errc()) continue;
    const double ms = value * known.milliseconds;
    return std::isfinite(ms) && ms >= 0 && ms < 1e15 ? static_cast<long long>(ms) : -1;
  }
  return -1;
}

int ParseOptions(int argc, char** argv, Options& o) {
  CLI::App app{"Serves the readings of AVTech Room Alert devices as Prometheus metrics.", kProgram};
  app.set_version_flag("--version", "kestrel-exporter " KESTREL_VERSION);
  app::LaterValuesWin(app);
  app.footer(
      "Endpoints: /probe?target=NAME, /metrics, /sd, /, /-/healthy, /-/ready.\n"
      "Exit status: 0 stopped by SIGTERM or SIGINT (or a good --check-config), 1 the module or "
      "the\nstate directory cannot be used, 2 a usage error, a bad configuration or web "
      "configuration,\na port that is taken or a state directory that another exporter holds.");
  AddOptions(app, o);
  const int parsed = app::ParseCommandLine(app, argc, argv);
  if (parsed >= 0) return parsed;
  if (o.config.empty() && o.check_config.empty()) {
    return app::UsageError(kProgram, "--config FILE is required");
  }
  return -1;
}

}  // namespace kestrel::exporter
