// kestrel-host: the command-line stand-in for the host monitoring service. It loads the module,
// drives one provider through the exported table, runs loads and shows the documents the module
// wrote; with --check it is a monitoring plug-in.
#include <signal.h>
#include <stdlib.h>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/device_view.h"
#include "host/module_loader.h"
#include "host/provider_text.h"
#include "host/value_format.h"
#include "provider/env_provider.h"
#include "tools/kestrel-host/check_mode.h"
#include "tools/kestrel-host/guidance.h"
#include "tools/kestrel-host/host_input.h"
#include "tools/kestrel-host/host_output.h"

namespace {

namespace fs = std::filesystem;
using kestrel::host::DeviceView;
using kestrel::host::ReadProviderText;

constexpr int kExitSuccess = 0;
constexpr int kExitLoadFailed = 1;
constexpr int kExitUsage = 2;
constexpr const char* kDefaultFolder = "kestrel-out";
constexpr const char* kUsageHint = "Try 'kestrel-host --help' for the options.";

enum class Format { kTable, kJson, kXml };

struct Options {
  std::string plugin;
  bool info = false;
  std::string host_text;
  bool secure = false;
  uint32_t port = 0;
  std::string user;
  std::string password_file;
  std::string cacert;
  std::string config = std::string(kDefaultFolder) + "/device.xml";
  std::string data = std::string(kDefaultFolder) + "/device-data.xml";
  std::string trace;
  bool config_only = false;
  std::string format = "table";
  long count = 1;
  double interval = 10.0;
  bool check = false;
  std::vector<std::string> warning;
  std::vector<std::string> critical;
  double timeout = 10.0;
};

// What the options come to once checked: the settings the provider gets.
struct Job {
  Format format = Format::kTable;
  bool has_host = false;
  std::string host;  // for the provider
  bool secure = false;
  uint32_t port = 0;
  std::string password;
  std::vector<kestrel::host::Threshold> warning;
  std::vector<kestrel::host::Threshold> critical;
};

// ---------------------------------------------------------------- option values

CLI::Validator Check(std::function<std::string(const std::string&)> test, const char* desc) {
  return CLI::Validator([test](std::string& value) { return test(value); }, desc);
}

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

std::function<std::string(const std::string&)> SecondsProblem(double low, bool low_allowed,
                                                              double high) {
  return [=](const std::string& text) -> std::string {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    const bool number = !text.empty() && end != nullptr && *end == 0;
    if (number && (value > low || (low_allowed && value == low)) && value <= high) return "";
    char range[64];
    std::snprintf(range, sizeof range, "%s%g..%g", low_allowed ? "" : "above ", low, high);
    return text + " is not a number of seconds " + range;
  };
}

std::string FormatProblem(const std::string& text) {
  return text == "table" || text == "json" || text == "xml"
             ? ""
             : text + " is not one of table, json, xml";
}

std::string NotEmpty(const std::string& text) {
  return text.empty() ? "an empty value is not a file or name" : "";
}

std::string ThresholdProblem(const std::string& text) {
  kestrel::host::Threshold threshold;
  std::string error;
  return kestrel::host::ParseThreshold(text, threshold, error) ? "" : error;
}

// ---------------------------------------------------------------- usage errors

// A usage error in check mode is the plug-in's UNKNOWN; elsewhere exit status 2 and a hint.
int UsageFailure(bool check, const std::string& message) {
  if (check) {
    std::fputs(kestrel::host::CheckUnknownLine(message).c_str(), stdout);
    return kestrel::host::kCheckUnknown;
  }
  std::fprintf(stderr, "kestrel-host: %s\n%s\n", message.c_str(), kUsageHint);
  return kExitUsage;
}

bool AskedForCheck(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check") == 0) return true;
  }
  return false;
}

// Answers -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options& o, Job& job) {
  CLI::App app{"Reads an AVTech Room Alert 3W through the kestrel-probe module.", "kestrel-host"};
  app.set_version_flag("--version", "kestrel-host " KESTREL_VERSION);
  // A later value overrides an earlier one, as scripts that append to a base command expect.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.footer(
      "Exit status: 0 every load succeeded, 1 a load failed (its error text and a hint on "
      "stderr),\n2 usage error or a module that cannot be loaded. With --check: 0 OK, 1 WARNING, "
      "2 CRITICAL,\n3 UNKNOWN (a failed load, the time-out or a usage error).");
  app.add_option("--plugin", o.plugin, "module to load (default: the one beside this program)")
      ->check(Check(NotEmpty, ""));
  CLI::Option* info = app.add_flag("--info", o.info, "print the provider's identity and exit");
  CLI::Option* host = app.add_option(
      "--host,-H", o.host_text, "device host name or address, host:port or a URL (https://dev/)");
  app.add_flag("--secure", o.secure, "use HTTPS");
  CLI::Option* port = app.add_option("--port,-p", o.port, "HTTP(S) port of the device")
                          ->check(Check(PortProblem, "1..65535"));
  CLI::Option* user = app.add_option("--user", o.user, "account name for HTTP authentication")
                          ->check(Check(NotEmpty, ""));
  app.add_option("--password-file", o.password_file,
                 "the password is the first line of this file (never the command line)")
      ->needs(user);
  std::string refused;
  app.add_option("--password", refused)
      ->group("")
      ->check(Check(
          [](const std::string&) {
            return std::string(
                "a password on the command line would show in the process list; use "
                "--password-file");
          },
          ""));
  app.add_option("--cacert", o.cacert, "trust this certificate (PEM) for HTTPS, e.g. the device's");
  CLI::Option* config = app.add_option("--config", o.config,
                                       "configuration document; the working files are named "
                                       "after it (default: ./kestrel-out/device.xml)")
                            ->check(Check(NotEmpty, ""));
  CLI::Option* data =
      app.add_option("--data", o.data, "data document (default: ./kestrel-out/device-data.xml)")
          ->check(Check(NotEmpty, ""));
  app.add_option("--trace", o.trace, "trace file (default: ./kestrel-out/trace.log)")
      ->check(Check(NotEmpty, ""));
  CLI::Option* config_only =
      app.add_flag("--config-only", o.config_only, "load the configuration only");
  CLI::Option* format = app.add_option("--format", o.format, "table (default), json or xml")
                            ->check(Check(FormatProblem, "table|json|xml"));
  CLI::Option* count =
      app.add_option("--count", o.count, "loads on the same provider; 0 polls until Ctrl-C")
          ->check(Check(CountProblem, ""));
  CLI::Option* interval =
      app.add_option("--interval", o.interval, "seconds between loads (default 10)")
          ->check(Check(SecondsProblem(0, true, 86400), ""));
  CLI::Option* check = app.add_flag(
      "--check", o.check, "monitoring plug-in: one status line with perfdata, exit 0/1/2/3");
  app.add_option("--warning,-w", o.warning, "[WHAT=]RANGE, repeatable (WHAT: type or label)")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->needs(check)
      ->check(Check(ThresholdProblem, ""));
  app.add_option("--critical,-c", o.critical, "[WHAT=]RANGE, repeatable")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->needs(check)
      ->check(Check(ThresholdProblem, ""));
  app.add_option("--timeout,-t", o.timeout, "seconds until the check gives up (default 10)")
      ->needs(check)
      ->check(Check(SecondsProblem(0, false, 3600), ""));
  for (CLI::Option* excluded : {info, config, data, config_only, format, count, interval}) {
    check->excludes(excluded);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    return UsageFailure(AskedForCheck(argc, argv), e.what());
  }

  auto fail = [&](const std::string& message) { return UsageFailure(o.check, message); };
  job.format = o.format == "json"  ? Format::kJson
               : o.format == "xml" ? Format::kXml
                                   : Format::kTable;
  job.secure = o.secure;
  job.port = port->count() > 0 ? o.port : 0;
  if (host->count() > 0) {
    kestrel::host::DeviceAddress address;
    std::string error;
    if (!kestrel::host::ParseDeviceAddress(o.host_text, address, error)) {
      return fail("--host: " + error);
    }
    if (address.scheme_given && !address.secure && o.secure) {
      return fail("--host: http:// and --secure contradict each other");
    }
    if (address.names_port && port->count() > 0) {
      return fail("--port: conflicts with the port in --host " + address.host +
                  "; give the port in one place");
    }
    job.has_host = true;
    job.host = address.host;
    job.secure = o.secure || address.secure;
  }
  if (!o.password_file.empty()) {
    std::string error;
    std::string warning;
    if (!kestrel::host::ReadPasswordFile(o.password_file, job.password, error, warning)) {
      return fail("--password-file: " + error);
    }
    if (!warning.empty()) std::fprintf(stderr, "kestrel-host: warning: %s\n", warning.c_str());
  }
  if (!o.cacert.empty()) {
    std::string error;
    if (!kestrel::host::CheckReadableFile(o.cacert, error)) return fail("--cacert: " + error);
  }
  for (const auto& [texts, into] :
       {std::pair{&o.warning, &job.warning}, std::pair{&o.critical, &job.critical}}) {
    for (const std::string& text : *texts) {
      kestrel::host::Threshold threshold;
      std::string ignored;
      kestrel::host::ParseThreshold(text, threshold, ignored);
      into->push_back(threshold);
    }
  }
  if (o.info) return -1;

  // Every file is checked before the device is asked: a load whose documents cannot be written
  // would fail only after the request, with a text that speaks of parsing.
  std::vector<std::string> outputs;
  if (!o.check) {
    if (o.trace.empty()) o.trace = std::string(kDefaultFolder) + "/trace.log";
    outputs = {o.config, o.data, o.trace};
    if (o.config_only) outputs.erase(outputs.begin() + 1);
  } else if (!o.trace.empty()) {
    outputs = {o.trace};
  }
  for (const std::string& path : outputs) {
    std::string error;
    if (!kestrel::host::PrepareOutputFile(path, error)) return fail(error);
  }
  return -1;
}

// ---------------------------------------------------------------- the provider

int PrintInfo(IEnvProvider* provider) {
  std::printf("provider name:        %s\n",
              ReadProviderText(provider, &IEnvProvider::GetProviderName).c_str());
  std::printf("provider id:          %s\n",
              ReadProviderText(provider, &IEnvProvider::GetProviderId).c_str());
  std::printf("default host:         %s\n",
              ReadProviderText(provider, &IEnvProvider::GetDefaultHost).c_str());
  const uint32_t type_id = provider->GetDeviceTypeId();
  std::printf("device type id:       0x%05X (%u)\n", type_id, type_id);
  std::printf("supported protocols:  %u\n", provider->GetSupportedProtocols());
  return kExitSuccess;
}

void ApplySettings(const Options& o, const Job& job, IEnvProvider* provider,
                   const std::string& config, const std::string& data, const std::string& trace) {
  provider->SetTracingFile(trace.c_str());
  provider->SetConfigWorkingFile(config.c_str());
  provider->SetDataFile(data.c_str());
  if (job.has_host) provider->SetHost(job.host.c_str());
  if (job.secure) provider->SetHttpSecure(1);
  if (job.port != 0) provider->SetHttpPort(job.port);
  if (!o.user.empty()) provider->SetAccount(o.user.c_str());
  if (!job.password.empty()) provider->SetPassword(job.password.c_str());
}

// The host text the provider works with: the one given, else the provider's own default.
std::string HostText(const Job& job, IEnvProvider* provider) {
  return job.has_host ? job.host
                      : kestrel::host::Windows1252ToUtf8(
                            ReadProviderText(provider, &IEnvProvider::GetDefaultHost));
}

std::string FileBytes(const std::string& path, std::size_t from = 0, std::size_t limit = 0) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  in.seekg(static_cast<std::streamoff>(from));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (limit != 0 && bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

std::size_t FileSize(const std::string& path) {
  std::error_code failed;
  const auto size = fs::file_size(path, failed);
  return failed ? 0 : static_cast<std::size_t>(size);
}

// The module names its JSON working file after the configuration document.
std::string JsonWorkingFile(const std::string& config) {
  std::string out = config;
  for (std::size_t at = 0; (at = out.find_first_of(".", at)) != std::string::npos;) {
    std::string ext = out.substr(at, 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".xml") {
      out.replace(at, 4, ".json");
      at += 5;
    } else {
      ++at;
    }
  }
  return out;
}

// The guidance for a failed load, from what this load left in the trace and the working files.
std::string Guidance(const Options& o, const Job& job, IEnvProvider* provider,
                     const std::string& config, const std::string& trace, std::size_t trace_start,
                     const std::string& last_error) {
  kestrel::host::FailureFacts facts;
  facts.url = kestrel::host::DeviceUrl(HostText(job, provider), job.secure, job.port);
  facts.last_error = kestrel::host::Windows1252ToUtf8(last_error);
  facts.has_user = !o.user.empty();
  const std::string lines = FileBytes(trace, trace_start);
  const std::size_t at = lines.rfind("HttpComponent: ");
  if (at != std::string::npos) facts.component_line = lines.substr(at, lines.find('\n', at) - at);
  facts.body = FileBytes(JsonWorkingFile(config), 0, 256);
  return kestrel::host::FailureGuidance(facts);
}

bool ReadLoad(const std::string& config, const std::string& data, bool config_only,
              DeviceView& device, std::string& error) {
  if (!kestrel::host::ReadDeviceDocument(config, device, error)) return false;
  if (config_only) return true;
  DeviceView readings;
  if (!kestrel::host::ReadDeviceDocument(data, readings, error)) return false;
  kestrel::host::MergeDataForm(readings, device);
  return true;
}

// ---------------------------------------------------------------- signals

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_loading = 0;

// The module gives up on a silent device after its retries: three attempts of at most 10 s
// each, the last starting before 15 s have passed.
constexpr char kStopNotice[] =
    "\nkestrel-host: stopping after the current load (up to 30 s while the device does not "
    "answer); Ctrl-C again quits at once\n";

// In check mode the waiting thread ends the process itself, after removing the private folder.
volatile sig_atomic_t g_checking = 0;

void OnInterrupt(int signal_number) {
  if (g_stop != 0 && g_checking == 0) _exit(128 + signal_number);
  g_stop = 1;
#if defined(_WIN32)
  // The Windows C runtime resets a handler to the default once it has run.
  ::signal(signal_number, &OnInterrupt);
  if (g_loading != 0) _write(2, kStopNotice, sizeof kStopNotice - 1);
#else
  if (g_loading != 0) {
    const ssize_t written = ::write(2, kStopNotice, sizeof kStopNotice - 1);
    (void)written;
  }
#endif
}

// The first Ctrl-C lets the running load finish and ends the poll; a second one ends the program.
void CatchInterrupts() {
#if defined(_WIN32)
  ::signal(SIGINT, &OnInterrupt);
  ::signal(SIGTERM, &OnInterrupt);
#else
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

void PauseBetweenLoads(double seconds) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
  while (g_stop == 0 && std::chrono::steady_clock::now() < until) {
    const auto left = until - std::chrono::steady_clock::now();
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(100)));
  }
}

std::string LocalClock(std::time_t when) {
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// ---------------------------------------------------------------- loads

struct Poll {
  bool polling = false;
  bool identity_shown = false;
};

// Shows one load; answers the exit status it stands for.
int ShowLoad(const Options& o, const Job& job, IEnvProvider* provider, Poll& poll,
             const kestrel::host::LoadStamp& stamp, std::size_t trace_start, int32_t result) {
  const std::string last_error = ReadProviderText(provider, &IEnvProvider::GetLastErrorText);
  DeviceView device;
  std::string error;
  if (result != 0) {
    std::fprintf(stderr, "kestrel-host: load failed (%d): %s\n", result,
                 kestrel::host::Windows1252ToUtf8(last_error).c_str());
    std::fprintf(stderr, "kestrel-host: %s\nkestrel-host: the trace is in %s\n",
                 Guidance(o, job, provider, o.config, o.trace, trace_start, last_error).c_str(),
                 o.trace.c_str());
  } else if (job.format != Format::kXml &&
             !ReadLoad(o.config, o.data, o.config_only, device, error)) {
    std::fprintf(stderr, "kestrel-host: %s\n", error.c_str());
    return kExitLoadFailed;
  }
  const DeviceView* shown = result == 0 ? &device : nullptr;
  switch (job.format) {
    case Format::kXml: {
      const std::string bytes = result == 0 ? FileBytes(o.config_only ? o.config : o.data) : "";
      if (poll.polling) {
        std::fputs(kestrel::host::XmlPollLoad(stamp, result, last_error, bytes).c_str(), stdout);
      } else {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
      }
      break;
    }
    case Format::kJson:
      std::printf("%s\n", kestrel::host::StampJson(
                              kestrel::host::FormatJson(result, last_error, shown), stamp)
                              .c_str());
      break;
    case Format::kTable:
      if (result == 0 && !poll.identity_shown) {
        std::fputs(kestrel::host::FormatTable(device).c_str(), stdout);
        poll.identity_shown = true;
      } else if (poll.polling) {
        std::fputs(kestrel::host::FormatPollLine(stamp, shown, last_error).c_str(), stdout);
      }
      break;
  }
  return result == 0 ? kExitSuccess : kExitLoadFailed;
}

int RunLoads(const Options& o, const Job& job, IEnvProvider* provider) {
  ApplySettings(o, job, provider, o.config, o.data, o.trace);
  CatchInterrupts();
  Poll poll;
  poll.polling = o.count != 1;
  if (poll.polling && job.format == Format::kXml) {
    std::fputs(kestrel::host::XmlPollHead().c_str(), stdout);
  }
  std::vector<double> times;
  int status = kExitSuccess;
  kestrel::host::LoadStamp stamp;
  stamp.host = HostText(job, provider);
  for (long n = 0; (o.count == 0 || n < o.count) && g_stop == 0; ++n) {
    if (n > 0) {
      if (poll.polling && job.format == Format::kTable && n == 1) std::fputs("\n", stdout);
      PauseBetweenLoads(o.interval);
      if (g_stop != 0) break;
    }
    const std::size_t trace_start = FileSize(o.trace);
    const auto wall = std::chrono::system_clock::now();
    const auto started = std::chrono::steady_clock::now();
    g_loading = 1;
    const int32_t result =
        o.config_only ? provider->LoadDeviceConfig() : provider->LoadDeviceData();
    g_loading = 0;
    stamp.duration_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    stamp.time = kestrel::host::Rfc3339Utc(wall);
    stamp.clock = LocalClock(std::chrono::system_clock::to_time_t(wall));
    times.push_back(stamp.duration_ms);
    if (ShowLoad(o, job, provider, poll, stamp, trace_start, result) != kExitSuccess) {
      status = kExitLoadFailed;
    }
    std::fflush(stdout);
  }
  if (poll.polling && job.format == Format::kXml) {
    std::fputs(kestrel::host::XmlPollTail().c_str(), stdout);
  }
  if (poll.polling && !times.empty()) {
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::fprintf(stderr,
                 "kestrel-host: %zu loads, load time min %.3f / median %.3f / max %.3f ms\n",
                 sorted.size(), sorted.front(), sorted[sorted.size() / 2], sorted.back());
  }
  return status;
}

// ---------------------------------------------------------------- check mode

bool MakePrivateFolder(std::string& folder, std::string& error) {
#if defined(_WIN32)
  std::error_code failed;
  const fs::path base = fs::temp_directory_path(failed);
  if (failed) {
    error = "no folder for temporary files: " + failed.message();
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        base / ("kestrel-check-" + std::to_string(_getpid()) + "-" + std::to_string(attempt));
    if (fs::create_directory(candidate, failed)) {
      folder = candidate.string();
      return true;
    }
  }
  error = "cannot create a private folder in " + base.string() + ": " + failed.message();
  return false;
#else
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string base = tmpdir != nullptr && *tmpdir != 0 ? tmpdir : "/tmp";
  std::string pattern = base + "/kestrel-check-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = "cannot create a private folder in " + base + ": " + std::strerror(errno);
    return false;
  }
  folder = pattern;
  return true;
#endif
}

void RemoveFolder(const std::string& folder) {
  // A load still running on the worker may add a file between the listing and the removal.
  std::error_code ignored;
  for (int attempt = 0; attempt < 3 && fs::exists(folder, ignored); ++attempt) {
    fs::remove_all(folder, ignored);
  }
}

struct CheckRun {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  kestrel::host::CheckOutcome outcome;
};

kestrel::host::CheckOutcome LoadAndJudge(const Options& o, const Job& job,
                                         const std::string& folder, const std::string& trace) {
  using kestrel::host::CheckUnknownLine;
  kestrel::host::CheckOutcome outcome;
  outcome.status = kestrel::host::kCheckUnknown;
  kestrel::host::LoadedModule module;
  std::string error;
  if (!kestrel::host::LoadModule(o.plugin, module, error)) {
    outcome.output = CheckUnknownLine(error);
    return outcome;
  }
  IEnvProvider* provider = module.create();
  if (provider == nullptr) {
    outcome.output = CheckUnknownLine("the module could not create a provider");
    return outcome;
  }
  const std::string config = folder + "/device.xml";
  const std::string data = folder + "/device-data.xml";
  ApplySettings(o, job, provider, config, data, trace);
  const std::size_t trace_start = FileSize(trace);
  if (provider->LoadDeviceData() != 0) {
    const std::string last_error = ReadProviderText(provider, &IEnvProvider::GetLastErrorText);
    outcome.output =
        CheckUnknownLine(kestrel::host::Windows1252ToUtf8(last_error) + " (" +
                         Guidance(o, job, provider, config, trace, trace_start, last_error) + ")");
  } else {
    DeviceView device;
    if (!ReadLoad(config, data, false, device, error)) {
      outcome.output = CheckUnknownLine(error);
    } else {
      outcome = kestrel::host::EvaluateCheck(kestrel::host::CheckSensors(device), job.warning,
                                             job.critical);
    }
  }
  module.destroy(provider);
  return outcome;
}

// Leaves a check that can no longer finish: the status line, then no file behind.
[[noreturn]] void Abandon(const std::string& reason, const std::string& folder) {
  std::fputs(kestrel::host::CheckUnknownLine(reason).c_str(), stdout);
  std::fflush(stdout);
  RemoveFolder(folder);
  _exit(kestrel::host::kCheckUnknown);
}

// A monitoring plug-in must answer within its time-out even when the device, the network or the
// module hangs, and the module offers no way to cancel a load. So the load runs on a worker
// thread and this thread keeps the clock: past the deadline it prints UNKNOWN, removes the
// private folder and ends the process with _exit, which does not wait for the worker or run
// destructors that the worker's objects may still need.
int RunCheck(const Options& o, const Job& job) {
  std::string folder;
  std::string error;
  if (!MakePrivateFolder(folder, error)) {
    std::fputs(kestrel::host::CheckUnknownLine(error).c_str(), stdout);
    return kestrel::host::kCheckUnknown;
  }
  const std::string trace = o.trace.empty() ? folder + "/trace.log" : o.trace;
  auto run = std::make_shared<CheckRun>();
#if !defined(_WIN32)
  // Signals go to this thread only, which can then clean up; the worker inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
#endif
  std::thread worker([run, &o, &job, folder, trace] {
    kestrel::host::CheckOutcome outcome = LoadAndJudge(o, job, folder, trace);
    std::lock_guard<std::mutex> hold(run->lock);
    run->outcome = std::move(outcome);
    run->done = true;
    run->finished.notify_all();
  });
  g_checking = 1;
  CatchInterrupts();
#if !defined(_WIN32)
  pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
#endif

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(o.timeout * 1000.0));
  std::unique_lock<std::mutex> hold(run->lock);
  while (!run->done) {
    if (g_stop != 0) Abandon("interrupted before the device answered", folder);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", o.timeout);
      const std::string from =
          job.has_host ? kestrel::host::DeviceUrl(job.host, job.secure, job.port) : "the device";
      Abandon("no answer from " + from + " within " + seconds + " s (--timeout)", folder);
    }
    run->finished.wait_for(hold, std::min<std::chrono::steady_clock::duration>(
                                     deadline - now, std::chrono::milliseconds(100)));
  }
  hold.unlock();
  worker.join();
  std::fputs(run->outcome.output.c_str(), stdout);
  std::fflush(stdout);
  RemoveFolder(folder);
  return run->outcome.status;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The same bytes as on Linux: scripts and the end-to-end suite read this output on both targets.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  Options o;
  Job job;
  const int parsed = ParseOptions(argc, argv, o, job);
  if (parsed >= 0) return parsed;
  if (o.plugin.empty()) o.plugin = kestrel::host::DefaultModulePath();
  if (!o.cacert.empty()) {
    // The network component reads the variable on every request, so it must be set before any.
#if defined(_WIN32)
    _putenv_s("SSL_CERT_FILE", o.cacert.c_str());
    std::fprintf(stderr,
                 "kestrel-host: warning: the Windows network component trusts the Windows "
                 "certificate store only; import %s there\n",
                 o.cacert.c_str());
#else
    ::setenv("SSL_CERT_FILE", o.cacert.c_str(), 1);
#endif
  }
  if (o.check) return RunCheck(o, job);

  kestrel::host::LoadedModule module;
  std::string error;
  if (!kestrel::host::LoadModule(o.plugin, module, error)) {
    std::fprintf(stderr, "kestrel-host: %s\n", error.c_str());
    return kExitUsage;
  }
  IEnvProvider* provider = module.create();
  if (provider == nullptr) {
    std::fprintf(stderr, "kestrel-host: the module could not create a provider\n");
    kestrel::host::UnloadModule(module);
    return kExitLoadFailed;
  }
  const int status = o.info ? PrintInfo(provider) : RunLoads(o, job, provider);
  module.destroy(provider);
  // The module stays mapped until the process ends: libcurl and OpenSSL keep process-wide state
  // whose exit handlers would otherwise point into unloaded code.
  return status;
}
