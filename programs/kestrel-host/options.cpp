#include "programs/kestrel-host/options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/files.h"
#include "app/log.h"
#include "app/options.h"
#include "programs/kestrel-host/extra_opts.h"
#include "programs/kestrel-host/host_input.h"

namespace kestrel::host {

namespace {

using app::Check;
using app::NotEmpty;

std::string PortProblem(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 5 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const long value = digits ? std::strtol(text.c_str(), nullptr, 10) : 0;
  if (value >= 1 && value <= 65535) return "";
  return text + (digits ? " is not in 1..65535" : " is not a port number (1..65535)");
}

std::string CountProblem(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 9 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  return digits ? "" : text + " is not a whole number of loads (0: until Ctrl-C)";
}

bool ParseSeconds(const std::string& text, double low, bool low_allowed, double high,
                  double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  const bool number = !text.empty() && end != nullptr && *end == 0;
  return number && (value > low || (low_allowed && value == low)) && value <= high;
}

std::string IntervalProblem(const std::string& text) {
  double value = 0;
  return ParseSeconds(text, 0, true, 86400, value) ? ""
                                                   : text + " is not a number of seconds 0..86400";
}

// SECONDS[:STATE], the check_by_ssh and check_nrpe form of -t.
bool ParseTimeout(const std::string& text, double& seconds, int& state) {
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && !ParseCheckState(text.substr(colon + 1), state)) return false;
  return ParseSeconds(text.substr(0, colon), 0, false, 3600, seconds);
}

std::string TimeoutProblem(const std::string& text) {
  double seconds = 0;
  int state = kCheckCritical;
  return ParseTimeout(text, seconds, state)
             ? ""
             : text +
                   " is not SECONDS[:STATE] (seconds above 0..3600; STATE ok, warning, "
                   "critical or unknown)";
}

std::string StateProblem(const std::string& text) {
  int state = 0;
  return ParseCheckState(text, state) ? "" : text + " is not one of ok, warning, critical, unknown";
}

std::string FormatProblem(const std::string& text) {
  return text == "table" || text == "json" || text == "xml"
             ? ""
             : text + " is not one of table, json, xml";
}

std::string SwitchProblem(const std::string& text) {
  return text == "open" || text == "closed" ? "" : text + " is not one of open, closed";
}

std::string ThresholdProblem(const std::string& text) {
  Threshold threshold;
  std::string error;
  return ParseThreshold(text, threshold, error) ? "" : error;
}

// A usage error in check mode is the plug-in's UNKNOWN; elsewhere exit status 2 and a hint.
int UsageFailure(bool check, const std::string& message) {
  if (check) {
    std::fputs(CheckUnknownLine(message).c_str(), stdout);
    return kCheckUnknown;
  }
  return app::UsageError(kProgram, message);
}

bool AskedForCheck(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--check") return true;
  }
  return false;
}

struct Added {
  CLI::Option* host;
  CLI::Option* port;
  CLI::Option* check;
  std::vector<CLI::Option*> not_with_check;
};

void AddDeviceOptions(CLI::App& app, Options& o, Added& added) {
  app.add_option("--plugin", o.plugin, "module to load (default: the one beside this program)")
      ->check(Check(NotEmpty));
  added.host = app.add_option("--host,-H", o.host_text,
                              "device host name or address, host:port or a URL (https://dev/)");
  app.add_flag("--secure", o.secure, "use HTTPS");
  added.port =
      app.add_option("--port,-p", o.port, "HTTP(S) port of the device")->check(Check(PortProblem));
  CLI::Option* user = app.add_option("--user", o.user, "account name for HTTP authentication")
                          ->check(Check(NotEmpty));
  app.add_option("--password-file", o.password_file,
                 "the password is the first line of this file (never the command line; without "
                 "it: password= of --extra-opts, else $ROOMALERT_PASSWORD)")
      ->needs(user);
  app.add_option_function<std::string>("--password", [](const std::string&) {})
      ->group("")
      ->check(Check([](const std::string&) {
        return std::string(
            "a password on the command line would show in the process list; use "
            "--password-file or --extra-opts");
      }));
  app.add_option("--cacert", o.cacert, "trust this certificate (PEM) for HTTPS, e.g. the device's");
  app.add_option("--trace", o.trace, "trace file (default: ./kestrel-out/trace.log)")
      ->check(Check(NotEmpty));
}

void AddOutputOptions(CLI::App& app, Options& o, Added& added) {
  added.not_with_check = {
      app.add_flag("--info", o.info, "print the provider's identity and exit"),
      app.add_option("--config", o.config,
                     "configuration document; the working files are named after it (default: "
                     "./kestrel-out/device.xml)")
          ->check(Check(NotEmpty)),
      app.add_option("--data", o.data, "data document (default: ./kestrel-out/device-data.xml)")
          ->check(Check(NotEmpty)),
      app.add_flag("--config-only", o.config_only, "load the configuration only"),
      app.add_option("--format", o.format, "table (default), json or xml")
          ->check(Check(FormatProblem)),
      app.add_option("--count", o.count, "loads on the same provider; 0 polls until Ctrl-C")
          ->check(Check(CountProblem)),
      app.add_option("--interval", o.interval, "seconds between loads (default 10)")
          ->check(Check(IntervalProblem)),
  };
}

void AddCheckOptions(CLI::App& app, Options& o, Added& added) {
  CLI::Option* check = added.check = app.add_flag(
      "--check", o.check, "monitoring plug-in: status line, one line per sensor, perfdata");
  auto repeatable = [&](const char* name, std::vector<std::string>& into, const char* help) {
    return app.add_option(name, into, help)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->needs(check);
  };
  repeatable("--warning,-w", o.warning,
             "[WHAT=]RANGE, repeatable; WHAT: a type, a port label or both; without WHAT: "
             "temperatures")
      ->check(Check(ThresholdProblem));
  repeatable("--critical,-c", o.critical, "[WHAT=]RANGE, repeatable")
      ->check(Check(ThresholdProblem));
  repeatable("--sensor,-s", o.sensors,
             "check only this port (LABEL) or one sensor of it (LABEL/type); repeatable")
      ->check(Check(NotEmpty));
  app.add_option("--timeout,-t", o.timeout,
                 "SECONDS[:STATE] until the check gives up, and its state (default 10:critical)")
      ->needs(check)
      ->check(Check(TimeoutProblem));
  app.add_option("--unreachable", o.unreachable,
                 "state when the device or the network fails (default critical)")
      ->needs(check)
      ->check(Check(StateProblem));
  app.add_option("--no-reading", o.no_reading,
                 "state of a sensor the device sent no reading for (default critical)")
      ->needs(check)
      ->check(Check(StateProblem));
  app.add_option("--switch-alarm", o.switch_alarm,
                 "open or closed: a switch in that position is CRITICAL (default: none)")
      ->needs(check)
      ->check(Check(SwitchProblem));
  app.add_flag("-v,--verbose", o.verbosity,
               "repeatable: -v the URL and load time, -vv the trace and settings, -vvv the "
               "module's last error text")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  // Read before parsing (ExpandExtraOpts); named here for --help.
  app.add_option("--extra-opts")
      ->description(
          "=[SECTION][@FILE]: options from an INI file (default section check_roomalert); keys "
          "are long option names, and password")
      ->expected(0, 1);
  for (CLI::Option* excluded : added.not_with_check) check->excludes(excluded);
}

// Takes the checked option values into job; "" or the usage error.
std::string Resolve(Options& o, Job& job, const Added& added) {
  job.format = o.format == "json"  ? Format::kJson
               : o.format == "xml" ? Format::kXml
                                   : Format::kTable;
  job.secure = o.secure;
  job.port = added.port->count() > 0 ? o.port : 0;
  if (added.host->count() > 0) {
    DeviceAddress address;
    std::string error;
    if (!ParseDeviceAddress(o.host_text, address, error)) return "--host: " + error;
    if (address.scheme_given && !address.secure && o.secure) {
      return "--host: http:// and --secure contradict each other";
    }
    if (address.names_port && added.port->count() > 0) {
      return "--port: conflicts with the port in --host " + address.host +
             "; give the port in one place";
    }
    job.has_host = true;
    job.host = address.host;
    job.secure = o.secure || address.secure;
  }
  if (!o.password_file.empty()) {
    std::string error;
    std::string warning;
    if (!app::ReadPasswordFile(o.password_file, job.password, error, warning)) {
      return "--password-file: " + error;
    }
    job.password_source = "the first line of --password-file " + o.password_file;
    if (!warning.empty()) job.warnings.push_back(warning);
  }
  if (!o.cacert.empty()) {
    std::string error;
    if (!CheckReadableFile(o.cacert, error)) return "--cacert: " + error;
  }
  for (const auto& [texts, into] :
       {std::pair{&o.warning, &job.policy.warning}, std::pair{&o.critical, &job.policy.critical}}) {
    for (const std::string& text : *texts) {
      Threshold threshold;
      std::string ignored;
      ParseThreshold(text, threshold, ignored);
      into->push_back(threshold);
    }
  }
  job.policy.sensors = o.sensors;
  job.policy.switch_alarm = o.switch_alarm;
  ParseCheckState(o.no_reading, job.policy.no_reading);
  ParseCheckState(o.unreachable, job.unreachable_state);
  ParseTimeout(o.timeout, job.timeout_seconds, job.timeout_state);
  // The module would read its own default, localhost:8380: a service that lost its address would
  // watch whatever answers there.
  if (o.check && !job.has_host) return "no device named; give -H HOST";
  return "";
}

// A file named for the password wins, as the more specific; then an --extra-opts file's
// password=, then the environment.
void TakePassword(const ExtraOpts& extra, Job& job) {
  if (!job.password_source.empty()) return;
  if (extra.has_password) {
    job.password = extra.password;
    job.password_source = extra.password_source;
    return;
  }
  const char* value = std::getenv(kPasswordVariable);
  if (value == nullptr || *value == 0) return;
  job.password = value;
  job.password_source = std::string("the environment variable ") + kPasswordVariable;
}

// Every file is checked before the device is asked: a load whose documents cannot be written
// would fail only after the request, with a text that speaks of parsing.
std::string PrepareOutputs(Options& o) {
  std::vector<std::string> outputs;
  if (!o.check) {
    if (o.trace.empty()) o.trace = "kestrel-out/trace.log";
    outputs = {o.config, o.data, o.trace};
    if (o.config_only) outputs.erase(outputs.begin() + 1);
  } else if (!o.trace.empty()) {
    outputs = {o.trace};
  }
  for (const std::string& path : outputs) {
    std::string error;
    if (!PrepareOutputFile(path, error)) return error;
  }
  return "";
}

}  // namespace

int ParseOptions(int argc, char** argv, Options& o, Job& job) {
  std::vector<std::string> args(argv, argv + argc);
  const bool check = AskedForCheck(args);
  ExtraOpts extra;
  std::string error;
  if (!ExpandExtraOpts(args, extra, error)) return UsageFailure(check, error);

  CLI::App app{"Reads an AVTech Room Alert 3W through the kestrel-probe module.", kProgram};
  app.set_version_flag("-V,--version", "kestrel-host " KESTREL_VERSION);
  app::LaterValuesWin(app);
  app.footer(
      "Exit status: 0 every load succeeded, 1 a load failed (its error text and a hint on "
      "stderr),\n2 usage error or a module that cannot be loaded. With --check: 0 OK, 1 WARNING, "
      "2 CRITICAL,\n3 UNKNOWN (usage errors, no -H, an unreadable password file, a refused login); "
      "a "
      "device or\nnetwork failure and the time-out are CRITICAL unless --unreachable or -t say "
      "otherwise.");
  Added added{};
  AddDeviceOptions(app, o, added);
  AddOutputOptions(app, o, added);
  AddCheckOptions(app, o, added);
  const int parsed = app::ParseCommandLine(
      app, std::vector<std::string>(args.begin() + (args.empty() ? 0 : 1), args.end()),
      [check](const std::string& message) { return UsageFailure(check, message); });
  if (parsed >= 0) return parsed;
  error = Resolve(o, job, added);
  if (error.empty()) TakePassword(extra, job);
  job.warnings.insert(job.warnings.end(), extra.warnings.begin(), extra.warnings.end());
  if (error.empty() && !o.info) error = PrepareOutputs(o);
  if (!error.empty()) return UsageFailure(o.check, error);
  // A check's stderr may reach the core in front of its status line (Icinga 2 reads both as
  // one): there the warnings go into the long output instead.
  if (!o.check) {
    for (const std::string& warning : job.warnings) app::Log(kProgram).Warning(warning);
  }
  return -1;
}

}  // namespace kestrel::host
