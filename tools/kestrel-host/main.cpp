// kestrel-host: the command-line stand-in for the host monitoring service. It loads the module,
// drives one provider through the exported table, runs loads and shows the documents the module
// wrote.
#include <signal.h>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "host/device_view.h"
#include "host/module_loader.h"
#include "host/provider_text.h"
#include "host/value_format.h"
#include "provider/env_provider.h"
#include "tools/kestrel-host/host_output.h"

namespace {

using kestrel::host::DeviceView;
using kestrel::host::ReadProviderText;

constexpr int kExitSuccess = 0;
constexpr int kExitLoadFailed = 1;
constexpr int kExitUsage = 2;
constexpr const char* kDefaultFolder = "kestrel-out";

enum class Format { kTable, kJson, kXml };

struct Options {
  std::string plugin;
  bool info = false;
  bool has_host = false;
  std::string host;
  bool secure = false;
  bool has_port = false;
  uint32_t port = 0;
  std::string user;
  std::string password_file;
  std::string config;
  std::string data;
  std::string trace;
  bool config_only = false;
  Format format = Format::kTable;
  long count = 1;
  double interval = 10.0;
};

void PrintUsage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: kestrel-host [--plugin PATH] [--host H] [--secure] [--port N] [--user NAME]\n"
      "                    [--password-file FILE] [--config FILE] [--data FILE] [--trace FILE]\n"
      "                    [--config-only] [--format table|json|xml]\n"
      "                    [--count N] [--interval SECONDS]\n"
      "       kestrel-host [--plugin PATH] --info\n"
      "\n"
      "  --plugin PATH         module to load (default: libkestrel-probe.so beside this program)\n"
      "  --info                print the provider's identity and exit\n"
      "  --host H              device host name or address, optionally host:port\n"
      "                        (default: the provider's own default host)\n"
      "  --secure              use HTTPS\n"
      "  --port N              HTTP(S) port of the device\n"
      "  --user NAME           account name for HTTP authentication\n"
      "  --password-file FILE  read the password from the first line of FILE\n"
      "  --config FILE         configuration document; the working files are named after it\n"
      "                        (default: ./kestrel-out/device.xml)\n"
      "  --data FILE           data document (default: ./kestrel-out/device-data.xml)\n"
      "  --trace FILE          trace file (default: ./kestrel-out/trace.log)\n"
      "  --config-only         load the configuration only (no data document)\n"
      "  --format F            table (default), json (one object per load) or xml\n"
      "  --count N             number of loads on the same provider; 0 polls until Ctrl-C\n"
      "  --interval SECONDS    pause between loads (default 10)\n"
      "\n"
      "Exit status: 0 every load succeeded, 1 a load failed (its error text on stderr),\n"
      "2 usage error or a module that cannot be loaded.\n");
}

bool ParseUnsigned(const char* text, unsigned long max, unsigned long& value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == 0 && value <= max;
}

// Answers kExitSuccess to go on, else the exit status (help or usage error).
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto take = [&](std::string& into) {
      if (value == nullptr) return false;
      into = value;
      ++i;
      return true;
    };
    bool ok = true;
    unsigned long number = 0;
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return -1;
    } else if (arg == "--plugin") {
      ok = take(o.plugin);
    } else if (arg == "--info") {
      o.info = true;
    } else if (arg == "--host") {
      ok = o.has_host = take(o.host);
    } else if (arg == "--secure") {
      o.secure = true;
    } else if (arg == "--port") {
      ok = o.has_port = ParseUnsigned(value, 65535, number);
      o.port = static_cast<uint32_t>(number);
      ++i;
    } else if (arg == "--user") {
      ok = take(o.user);
    } else if (arg == "--password-file") {
      ok = take(o.password_file);
    } else if (arg == "--config") {
      ok = take(o.config) && !o.config.empty();
    } else if (arg == "--data") {
      ok = take(o.data) && !o.data.empty();
    } else if (arg == "--trace") {
      ok = take(o.trace) && !o.trace.empty();
    } else if (arg == "--config-only") {
      o.config_only = true;
    } else if (arg == "--format") {
      std::string format;
      ok = take(format);
      if (format == "table") {
        o.format = Format::kTable;
      } else if (format == "json") {
        o.format = Format::kJson;
      } else if (format == "xml") {
        o.format = Format::kXml;
      } else {
        ok = false;
      }
    } else if (arg == "--count") {
      ok = ParseUnsigned(value, 1000000000, number);
      o.count = static_cast<long>(number);
      ++i;
    } else if (arg == "--interval") {
      char* end = nullptr;
      o.interval = value != nullptr ? std::strtod(value, &end) : -1;
      ok = value != nullptr && *end == 0 && o.interval >= 0 && o.interval <= 86400;
      ++i;
    } else if (arg == "--password") {
      std::fprintf(stderr,
                   "kestrel-host: a password on the command line would show in the process "
                   "list; use --password-file\n");
      return kExitUsage;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "kestrel-host: unknown, incomplete or invalid option '%s'\n",
                   arg.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  return kExitSuccess;
}

bool ReadPassword(const std::string& path, std::string& password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::getline(in, password);
  while (!password.empty() && (password.back() == '\r' || password.back() == '\n')) {
    password.pop_back();
  }
  return true;
}

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

volatile sig_atomic_t g_stop = 0;

void OnInterrupt(int) {
  g_stop = 1;
}

// The first Ctrl-C lets the running load finish and ends the poll; a second one ends the program.
void CatchInterrupts() {
#if defined(_WIN32)
  // The Windows C runtime resets a handler to the default once it has run, as SA_RESETHAND does.
  ::signal(SIGINT, &OnInterrupt);
  ::signal(SIGTERM, &OnInterrupt);
#else
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  action.sa_flags = SA_RESETHAND | SA_RESTART;
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

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Shows one load; answers the exit status it stands for.
int ShowLoad(const Options& o, int32_t result, const std::string& last_error) {
  if (result != 0) {
    std::fprintf(stderr, "kestrel-host: load failed (%d): %s\n", result,
                 kestrel::host::Windows1252ToUtf8(last_error).c_str());
    if (o.format == Format::kJson) {
      std::printf("%s\n", kestrel::host::FormatJson(result, last_error, nullptr).c_str());
    }
    return kExitLoadFailed;
  }
  if (o.format == Format::kXml) {
    const std::string bytes = FileBytes(o.config_only ? o.config : o.data);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return kExitSuccess;
  }
  DeviceView device;
  std::string error;
  if (!kestrel::host::ReadDeviceDocument(o.config, device, error)) {
    std::fprintf(stderr, "kestrel-host: %s\n", error.c_str());
    return kExitLoadFailed;
  }
  if (!o.config_only) {
    DeviceView data;
    if (!kestrel::host::ReadDeviceDocument(o.data, data, error)) {
      std::fprintf(stderr, "kestrel-host: %s\n", error.c_str());
      return kExitLoadFailed;
    }
    kestrel::host::MergeDataForm(data, device);
  }
  if (o.format == Format::kJson) {
    std::printf("%s\n", kestrel::host::FormatJson(result, last_error, &device).c_str());
  } else {
    std::fputs(kestrel::host::FormatTable(device).c_str(), stdout);
  }
  return kExitSuccess;
}

int RunLoads(const Options& o, IEnvProvider* provider) {
  if (o.has_host) provider->SetHost(o.host.c_str());
  if (o.secure) provider->SetHttpSecure(1);
  if (o.has_port) provider->SetHttpPort(o.port);
  if (!o.user.empty()) provider->SetAccount(o.user.c_str());
  if (!o.password_file.empty()) {
    std::string password;
    if (!ReadPassword(o.password_file, password)) {
      std::fprintf(stderr, "kestrel-host: cannot read the password file %s\n",
                   o.password_file.c_str());
      return kExitUsage;
    }
    provider->SetPassword(password.c_str());
    std::fill(password.begin(), password.end(), '\0');
  }

  CatchInterrupts();
  const bool polling = o.count != 1;
  std::vector<double> times;
  int status = kExitSuccess;
  for (long n = 0; (o.count == 0 || n < o.count) && g_stop == 0; ++n) {
    if (n > 0) {
      PauseBetweenLoads(o.interval);
      if (g_stop != 0) break;
    }
    if (polling && o.format == Format::kTable) {
      const std::time_t now = std::time(nullptr);
      char stamp[32];
      std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
      std::printf("%s-- load %ld at %s\n", n > 0 ? "\n" : "", n + 1, stamp);
    }
    const auto started = std::chrono::steady_clock::now();
    const int32_t result =
        o.config_only ? provider->LoadDeviceConfig() : provider->LoadDeviceData();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count());
    if (ShowLoad(o, result, ReadProviderText(provider, &IEnvProvider::GetLastErrorText)) !=
        kExitSuccess) {
      status = kExitLoadFailed;
    }
    std::fflush(stdout);
  }
  if (polling && !times.empty()) {
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::fprintf(stderr,
                 "kestrel-host: %zu loads, load time min %.1f / median %.1f / max %.1f ms\n",
                 sorted.size(), sorted.front(), sorted[sorted.size() / 2], sorted.back());
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The same bytes as on Linux: scripts and the end-to-end suite read this output on both targets.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed != kExitSuccess) return parsed < 0 ? kExitSuccess : parsed;
  if (o.plugin.empty()) o.plugin = kestrel::host::DefaultModulePath();

  const bool default_folder = o.config.empty() || o.data.empty() || o.trace.empty();
  if (o.config.empty()) o.config = std::string(kDefaultFolder) + "/device.xml";
  if (o.data.empty()) o.data = std::string(kDefaultFolder) + "/device-data.xml";
  if (o.trace.empty()) o.trace = std::string(kDefaultFolder) + "/trace.log";
  if (default_folder && !o.info) {
    std::error_code ignored;
    std::filesystem::create_directories(kDefaultFolder, ignored);
  }

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
  int status;
  if (o.info) {
    status = PrintInfo(provider);
  } else {
    provider->SetTracingFile(o.trace.c_str());
    provider->SetConfigWorkingFile(o.config.c_str());
    provider->SetDataFile(o.data.c_str());
    status = RunLoads(o, provider);
  }
  module.destroy(provider);
  // The module stays mapped until the process ends: libcurl and OpenSSL keep process-wide state
  // whose exit handlers would otherwise point into unloaded code.
  return status;
}
