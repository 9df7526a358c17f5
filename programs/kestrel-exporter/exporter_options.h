// kestrel-exporter's command line.
#pragma once

#include <string>

#include "app/exit_codes.h"

namespace kestrel::exporter {

constexpr const char* kProgram = "kestrel-exporter";
using app::kExitFailure;
using app::kExitUsage;
constexpr long kDefaultWorkers = 128;

// The front door's limits (web/): what protects an unedited install against hostile clients.
struct ServerOptions {
  std::string request_timeout = "10s";
  std::string handshake_timeout = "5s";
  long max_connections = 0;  // 0: what the open-file limit leaves (see process.h)
  long per_address = 1024;
  long per_prefix = 2048;
  long ipv4_prefix = 24;
  long login_failures = 5;  // a client network's failed logins a minute
};

// A duration option's text (seconds, or a number with ms, s or m) in milliseconds; -1 when it
// is none.
long long DurationMilliseconds(const std::string& text);

struct Options {
  std::string config;
  std::string check_config;
  std::string state_dir;
  std::string documents_dir;  // empty: the state directory's
  std::string plugin;
  std::string web_config_file;
  std::string web_listen_address;  // overrides the configuration's listen
  bool poll = false;
  long workers = kDefaultWorkers;
  ServerOptions server;
};

// Parses the command line into o. Answers -1 to go on, else the exit status (help and version
// are printed already, usage errors too).
int ParseOptions(int argc, char** argv, Options& o);

}  // namespace kestrel::exporter
