#include "programs/kestrel-host/extra_opts.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace kestrel::host {

namespace {

// Where the monitoring plug-ins look when --extra-opts names no file, in their order.
const char* const kDefaultFiles[] = {
    "/usr/local/etc/monitoring-plugins/monitoring-plugins.ini",
    "/usr/local/etc/monitoring-plugins.ini",
    "/etc/monitoring-plugins/monitoring-plugins.ini",
    "/etc/monitoring-plugins.ini",
    "/etc/nagios/plugins.ini",
    "/usr/local/nagios/etc/plugins.ini",
    "/usr/local/etc/nagios/plugins.ini",
    "/etc/opt/nagios/plugins.ini",
    "/etc/nagios-plugins.ini",
    "/usr/local/etc/nagios-plugins.ini",
    "/etc/opt/nagios-plugins.ini",
};

// The names looked for in each folder of $NAGIOS_CONFIG_PATH, in their order.
const char* const kPathFileNames[] = {"monitoring-plugins.ini", "plugins.ini",
                                      "nagios-plugins.ini"};

bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

std::string FileInConfigPath() {
  const char* path = std::getenv("NAGIOS_CONFIG_PATH");
  if (path == nullptr) return "";
  std::istringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (folder.empty()) continue;
    for (const char* name : kPathFileNames) {
      if (Exists(folder + "/" + name)) return folder + "/" + name;
    }
  }
  return "";
}

std::string DefaultFile() {
  const char* named = std::getenv("MP_CONFIG_FILE");
  if (named != nullptr && *named != 0) return named;
  const std::string in_path = FileInConfigPath();
  if (!in_path.empty()) return in_path;
  for (const char* path : kDefaultFiles) {
    if (Exists(path)) return path;
  }
  return "";
}

// A password in a file every user may read is no secret; the monitoring user's group reading it
// is how plugins.ini is meant to be shared.
std::string ReadableByAll(const std::string& file) {
#if defined(_WIN32)
  (void)file;
  return "";
#else
  std::error_code ignored;
  const auto permissions = std::filesystem::status(file, ignored).permissions();
  if ((permissions & std::filesystem::perms::others_read) == std::filesystem::perms::none) {
    return "";
  }
  return file + " holds a password and every user of this machine can read it; chmod o-r " + file;
#endif
}

// INI as the plug-ins write it: a value is everything after the first "=", spaces, ";" and "#"
// included (thresholds name labels with spaces; passwords hold anything). The array markers are
// set to characters no text holds, so CLI11 never splits a value.
std::vector<CLI::ConfigItem> ReadIni(const std::string& path) {
  CLI::ConfigBase ini;
  ini.comment('\x01')->arrayBounds('\x02', '\x03')->arrayDelimiter('\x04')->parentSeparator('\x05');
  return ini.from_file(path);
}

}  // namespace

bool ReadExtraOpts(const std::string& where_from, ExtraOpts& extra, std::string& error) {
  const std::size_t at = where_from.find('@');
  std::string section = where_from.substr(0, at);
  std::string file = at == std::string::npos ? "" : where_from.substr(at + 1);
  if (section.empty()) section = kExtraOptsSection;
  if (file.empty()) file = DefaultFile();
  const std::string where = "--extra-opts=" + where_from + ": ";
  if (file.empty()) {
    error = where + "no plugins.ini in the usual places; name one with @FILE";
    return false;
  }
  std::vector<CLI::ConfigItem> items;
  try {
    items = ReadIni(file);
  } catch (const CLI::Error&) {
    error = where + "cannot read " + file;
    return false;
  }
  bool found = false;
  for (const CLI::ConfigItem& item : items) {
    if (item.parents.size() != 1 || item.parents.front() != section || item.name == "--") continue;
    found = true;
    for (const std::string& value : item.inputs) {
      if (item.name == "password") {
        extra.has_password = true;
        extra.password = value;
        extra.password_source = "password= in [" + section + "] of " + file + " (--extra-opts)";
      } else {
        extra.arguments.push_back("--" + item.name + "=" + value);
      }
    }
  }
  if (!found) {
    error = where + file + " has no section [" + section + "]";
    return false;
  }
  const std::string warning = extra.has_password ? ReadableByAll(file) : "";
  if (!warning.empty()) extra.warnings.push_back(warning);
  return true;
}

bool ExpandExtraOpts(std::vector<std::string>& args, ExtraOpts& extra, std::string& error) {
  std::vector<std::string> rest;
  std::vector<std::string> front;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i == 0 || (arg != "--extra-opts" && arg.rfind("--extra-opts=", 0) != 0)) {
      rest.push_back(arg);
      continue;
    }
    std::string where_from = arg.size() > 13 ? arg.substr(13) : "";
    // Cores that pass a key and its value as two arguments (Icinga 2) give "--extra-opts
    // SECTION@FILE".
    if (arg.size() == 12 && i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) {
      where_from = args[++i];
    }
    ExtraOpts one;
    if (!ReadExtraOpts(where_from, one, error)) return false;
    front.insert(front.end(), one.arguments.begin(), one.arguments.end());
    extra.warnings.insert(extra.warnings.end(), one.warnings.begin(), one.warnings.end());
    if (one.has_password) {
      extra.has_password = true;
      extra.password = one.password;
      extra.password_source = one.password_source;
    }
  }
  extra.arguments = front;
  rest.insert(rest.begin() + (rest.empty() ? 0 : 1), front.begin(), front.end());
  args = std::move(rest);
  return true;
}

}  // namespace kestrel::host
