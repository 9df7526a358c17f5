// --extra-opts=[section][@file] as the monitoring plug-ins read it: the options of one INI section
// go in front of the command line, so the command line still wins, and secrets and long
// threshold lists can live in a file that only the monitoring user reads.
#pragma once

#include <string>
#include <vector>

namespace kestrel::host {

struct ExtraOpts {
  std::vector<std::string> arguments;  // "--name=value" for every key of the section
  bool has_password = false;           // the key "password": a secret is never an argument
  std::string password;
  std::string password_source;  // "password= in [SECTION] of FILE (--extra-opts)"
  std::vector<std::string> warnings;
};

// The section used when the option names none.
constexpr const char* kExtraOptsSection = "check_roomalert";

// Reads where_from ("", "section", "@file" or "section@file"); without a file, the one the
// monitoring plug-ins would read: $MP_CONFIG_FILE, else the first of monitoring-plugins.ini,
// plugins.ini and nagios-plugins.ini in a folder of $NAGIOS_CONFIG_PATH (a list separated by
// ":"), else the first of their usual places that exists. false with error when nothing can be
// read.
bool ReadExtraOpts(const std::string& where_from, ExtraOpts& extra, std::string& error);

// Takes every --extra-opts[=SECTION@FILE] (or --extra-opts SECTION@FILE) out of args (args[0] is
// the program) and puts the options it names right after args[0]. false with error when one cannot
// be read.
bool ExpandExtraOpts(std::vector<std::string>& args, ExtraOpts& extra, std::string& error);

}  // namespace kestrel::host
