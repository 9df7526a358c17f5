// kestrel-host's command line: what was asked (Options) and what it comes to once checked (Job).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "programs/kestrel-host/check_mode.h"

namespace kestrel::host {

constexpr const char* kProgram = "kestrel-host";
using app::kExitSuccess;
using app::kExitUsage;
constexpr int kExitLoadFailed = app::kExitFailure;

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
  std::string config = "kestrel-out/device.xml";
  std::string data = "kestrel-out/device-data.xml";
  std::string trace;
  bool config_only = false;
  std::string format = "table";
  long count = 1;
  double interval = 10.0;
  bool check = false;
  std::vector<std::string> warning;
  std::vector<std::string> critical;
  std::vector<std::string> sensors;
  std::string timeout = "10";
  std::string unreachable = "critical";
  std::string no_reading = "critical";
  std::string switch_alarm;
  int verbosity = 0;
};

// What the options come to once checked: the settings the provider gets and the check's policy.
struct Job {
  Format format = Format::kTable;
  bool has_host = false;
  std::string host;  // for the provider
  bool secure = false;
  uint32_t port = 0;
  std::string password;
  std::string password_source;  // where the password came from, for the advice on a refused login
  // Said on stderr, and in a check's long output, where on-call sees it.
  std::vector<std::string> warnings;
  CheckPolicy policy;
  double timeout_seconds = 10.0;
  int timeout_state = kCheckCritical;
  int unreachable_state = kCheckCritical;
};

// Where a password comes from when neither --password-file nor an --extra-opts file gives one:
// a monitoring core sets it for the check alone (Icinga 2's env), and unlike an argument it does
// not show in the process list to every user.
constexpr const char* kPasswordVariable = "ROOMALERT_PASSWORD";

// Parses the command line (with the --extra-opts it names) into o and job. Answers -1 to go on,
// else the exit status (help, version and usage errors are printed already).
int ParseOptions(int argc, char** argv, Options& o, Job& job);

}  // namespace kestrel::host
