#include "programs/kestrel-exporter/exporter_options.h"

#include <CLI/CLI.hpp>
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
}

}  // namespace

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
