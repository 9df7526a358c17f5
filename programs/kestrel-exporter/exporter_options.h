// kestrel-exporter's command line.
#pragma once

#include <string>

#include "app/exit_codes.h"

namespace kestrel::exporter {

constexpr const char* kProgram = "kestrel-exporter";
using app::kExitFailure;
using app::kExitUsage;
constexpr long kDefaultWorkers = 128;

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
};

// Parses the command line into o. Answers -1 to go on, else the exit status (help and version
// are printed already, usage errors too).
int ParseOptions(int argc, char** argv, Options& o);

}  // namespace kestrel::exporter
