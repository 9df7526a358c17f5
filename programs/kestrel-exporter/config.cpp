#include "programs/kestrel-exporter/config.h"

#include <yaml-cpp/yaml.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/files.h"
#include "app/listen_address.h"
#include "programs/kestrel-exporter/yaml_walk.h"

namespace kestrel::exporter {

namespace {

uint32_t Port(const YAML::Node& node, const std::string& key) {
  const std::string text = node.IsScalar() ? node.Scalar() : std::string();
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 65535) {
    Fail(node, "expected a port number from 0 to 65535 for '" + key + "', got " +
                   (node.IsScalar() ? Quoted(text) : std::string(KindOf(node))));
  }
  return value;
}

// Seconds as a number, or a number with the unit ms, s, m or h, as Prometheus writes durations.
double Duration(const YAML::Node& node, const std::string& key, double smallest, double largest) {
  const std::string text = node.IsScalar() ? node.Scalar() : std::string();
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  const std::string unit(end, text.data() + text.size());
  double scale = 0;
  if (unit.empty() || unit == "s") {
    scale = 1;
  } else if (unit == "ms") {
    scale = 0.001;
  } else if (unit == "m") {
    scale = 60;
  } else if (unit == "h") {
    scale = 3600;
  }
  value *= scale;
  if (text.empty() || ec != std::errc() || scale == 0 || !std::isfinite(value) ||
      value < smallest || value > largest) {
    char range[96];
    std::snprintf(range, sizeof range, " from %gs to %gs", smallest, largest);
    Fail(node, "expected a duration" + std::string(range) + " (e.g. 10s or 500ms) for '" + key +
                   "', got " + (node.IsScalar() ? Quoted(text) : std::string(KindOf(node))));
  }
  return value;
}

bool IsLabelName(const std::string& text) {
  if (text.empty() || text.size() > 64 || std::isdigit(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  for (const char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return text.compare(0, 2, "__") != 0;
}

// The labels the exporter sets itself; a configured one of these names would clash.
bool IsReservedLabel(const std::string& name) {
  static const std::set<std::string> kReserved = {
      "device", "port",    "port_id", "sensor_id", "type",     "unit",
      "error",  "class",   "serial",  "mac",       "firmware", "model",
      "name",   "address", "le",      "quantile",  "version"};
  return kReserved.count(name) != 0;
}

void ParseListen(const YAML::Node& node, Config& config) {
  const std::string text = Text(node, "listen");
  if (!app::ParseListenAddress(text, config.listen_address, config.listen_port)) {
    Fail(node, "expected ADDRESS:PORT or :PORT for 'listen', got " + Quoted(text));
  }
}

void ParseDefaults(const YAML::Node& node, Config& config) {
  YAML::Node backoff_max;
  ForEachKey(node, "defaults",
             {"secure", "port", "timeout", "poll_interval", "backoff", "backoff_max"},
             [&](const std::string& key, const YAML::Node&, const YAML::Node& value) {
               if (key == "secure") {
                 config.secure = Boolean(value, key);
               } else if (key == "port") {
                 config.port = Port(value, key);
               } else if (key == "timeout") {
                 config.timeout_seconds = Duration(value, key, 0.1, 600);
               } else if (key == "poll_interval") {
                 config.poll_interval_seconds = Duration(value, key, 1, 86400);
               } else if (key == "backoff") {
                 config.backoff_seconds = Duration(value, key, 0, 3600);
               } else {
                 config.backoff_max_seconds = Duration(value, key, 0, 86400);
                 backoff_max = value;
               }
             });
  if (backoff_max && config.backoff_max_seconds < config.backoff_seconds) {
    Fail(backoff_max, "expected 'backoff_max' to be at least 'backoff'");
  }
}

void ParseAllowedNetworks(const YAML::Node& node, Config& config) {
  const char* key = "unlisted_targets_allowed_networks";
  if (node.IsNull()) return;
  if (!node.IsSequence())
    Fail(node, std::string("expected a list for '") + key + "', got " + KindOf(node));
  for (const YAML::Node& item : node) {
    Network network;
    if (!item.IsScalar() || !Network::Parse(item.Scalar(), network)) {
      Fail(item,
           std::string("expected a network as ADDRESS/BITS (e.g. 10.0.0.0/8 or fd00::/8) in '") +
               key + "', got " +
               (item.IsScalar() ? Quoted(item.Scalar()) : std::string(KindOf(item))));
    }
    config.unlisted_targets_allowed_networks.push_back(network);
  }
}

// The CA file must be there when the file is checked: a device that only fails at its first
// load, with a TLS error, hides a typing error in the path.
std::string CaFileProblem(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) return "no such file";
  if (std::filesystem::is_directory(status)) return "a folder, not a file";
  std::string text;
  std::string why;
  if (!app::ReadWholeFile(path, text, why)) return why;
  if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    return "no PEM certificate in it (-----BEGIN CERTIFICATE-----)";
  }
  return std::string();
}

TlsConfig ParseTls(const YAML::Node& node, const std::string& config_file) {
  TlsConfig tls;
  ForEachKey(node, "tls", {"ca_file", "insecure_skip_verify"},
             [&](const std::string& key, const YAML::Node&, const YAML::Node& value) {
               if (key == "insecure_skip_verify") {
                 tls.insecure_skip_verify = Boolean(value, key);
                 return;
               }
               tls.ca_file = Text(value, key);
               tls.ca_path = tls.ca_file.empty() || tls.ca_file[0] == '/'
                                 ? tls.ca_file
                                 : Folder(config_file) + tls.ca_file;
               const std::string problem =
                   tls.ca_file.empty() ? "an empty path" : CaFileProblem(tls.ca_path);
               if (!problem.empty()) {
                 Fail(value, "cannot use " + Quoted(tls.ca_file) + " as tls.ca_file: " + problem);
               }
             });
  return tls;
}

void ReadAuthPassword(const std::string& name, const YAML::Node& module, const YAML::Node& source,
                      const PasswordReader& read_password, const std::string& config_file,
                      AuthModule& auth, Config& config) {
  const std::string module_name = "auth module " + Quoted(name);
  if (auth.password_file.empty() == auth.password_credential.empty()) {
    Fail(module, module_name +
                     " needs one of password_file: PATH or password_credential: NAME (a "
                     "password is never written in this file)");
  }
  if (!auth.password_file.empty()) {
    if (!read_password(auth.password_file, auth.password)) {
      Fail(source,
           "cannot read the password file " + Quoted(auth.password_file) + " of " + module_name);
    }
    return;
  }
  if (!IsValidDeviceName(auth.password_credential)) {
    Fail(source, "expected a credential name of letters, digits, '.', '_' or '-', got " +
                     Quoted(auth.password_credential));
  }
  const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
  if (folder == nullptr || *folder == '\0') {
    config.unread_credentials.push_back(
        WhereIn(config_file, source.Mark()) + "the credential " + Quoted(auth.password_credential) +
        " of " + module_name + " is handed over only inside the unit (LoadCredential=" +
        auth.password_credential + ":FILE), where $CREDENTIALS_DIRECTORY names its folder");
    return;
  }
  const std::string path = std::string(folder) + "/" + auth.password_credential;
  if (!read_password(path, auth.password)) {
    Fail(source, "cannot read the credential " + Quoted(auth.password_credential) + " (" + path +
                     ") of " + module_name);
  }
}

void ParseAuthModules(const YAML::Node& node, const PasswordReader& read_password,
                      const std::string& config_file, Config& config) {
  ForEachKey(
      node, "auth_modules", {},
      [&](const std::string& name, const YAML::Node& key_node, const YAML::Node& value) {
        if (!IsValidDeviceName(name)) {
          Fail(key_node, "expected an auth module name of letters, digits, '.', '_' or '-', got " +
                             Quoted(name));
        }
        AuthModule auth;
        bool has_user = false;
        YAML::Node file_node;
        ForEachKey(value, ("auth module " + Quoted(name)).c_str(),
                   {"user", "password_file", "password_credential", "tls"},
                   [&](const std::string& key, const YAML::Node&, const YAML::Node& field) {
                     if (key == "tls") {
                       auth.tls = ParseTls(field, config_file);
                     } else if (key == "user") {
                       auth.user = Text(field, key);
                       has_user = true;
                     } else {
                       (key == "password_file" ? auth.password_file : auth.password_credential) =
                           Text(field, key);
                       file_node = field;
                     }
                   });
        if (!has_user || auth.user.empty()) {
          Fail(value, "auth module " + Quoted(name) + " has no user (expected user: NAME)");
        }
        ReadAuthPassword(name, value, file_node, read_password, config_file, auth, config);
        config.auth_modules[name] = std::move(auth);
      });
}

struct DeviceEntry {
  DeviceConfig device;
  bool has_secure = false;
  bool has_port = false;
  bool has_tls = false;
};

DeviceEntry ParseDevice(const YAML::Node& node, const std::string& config_file) {
  DeviceEntry entry;
  bool has_name = false;
  bool has_host = false;
  ForEachKey(node, "a device", {"name", "host", "auth", "secure", "port", "labels", "tls"},
             [&](const std::string& key, const YAML::Node&, const YAML::Node& value) {
               DeviceConfig& d = entry.device;
               if (key == "tls") {
                 d.tls = ParseTls(value, config_file);
                 entry.has_tls = true;
               } else if (key == "name") {
                 d.name = Text(value, key);
                 if (!IsValidDeviceName(d.name)) {
                   Fail(value,
                        "expected a device name of up to 64 letters, digits, '.', '_' or "
                        "'-', got " +
                            Quoted(d.name));
                 }
                 has_name = true;
               } else if (key == "host") {
                 d.host = Text(value, key);
                 const std::string problem = HostTextProblem(d.host);
                 if (!problem.empty()) Fail(value, problem);
                 if (!IsValidHostText(d.host)) {
                   Fail(value, "expected a host name or address (host[:port]) for 'host', got " +
                                   Quoted(d.host));
                 }
                 has_host = true;
               } else if (key == "auth") {
                 d.auth = Text(value, key);
               } else if (key == "secure") {
                 d.secure = Boolean(value, key);
                 entry.has_secure = true;
               } else if (key == "port") {
                 d.port = Port(value, key);
                 entry.has_port = true;
               } else {
                 ForEachKey(value, "labels", {},
                            [&](const std::string& label, const YAML::Node& label_node,
                                const YAML::Node& label_value) {
                              if (!IsLabelName(label) || IsReservedLabel(label)) {
                                Fail(label_node,
                                     "expected a label name ([a-zA-Z_][a-zA-Z0-9_]*, not __*) "
                                     "that the exporter does not set itself, got " +
                                         Quoted(label));
                              }
                              d.labels.emplace_back(label, Text(label_value, label));
                            });
               }
             });
  if (!has_name) Fail(node, "device without a name (expected name: NAME)");
  if (!has_host)
    Fail(node, "device " + Quoted(entry.device.name) + " has no host (expected host: ADDRESS)");
  return entry;
}

void ParseDevices(const YAML::Node& node, const std::string& config_file, Config& config) {
  if (node.IsNull()) return;
  if (!node.IsSequence())
    Fail(node, std::string("expected a list for 'devices', got ") + KindOf(node));
  std::map<std::string, int> lines;
  for (const YAML::Node& item : node) {
    DeviceEntry entry = ParseDevice(item, config_file);
    DeviceConfig& d = entry.device;
    const auto [at, inserted] = lines.emplace(d.name, item.Mark().line + 1);
    if (!inserted) {
      Fail(item, "device name " + Quoted(d.name) + " given twice (first at line " +
                     std::to_string(at->second) + ")");
    }
    if (!d.auth.empty() && config.auth_modules.count(d.auth) == 0) {
      Fail(item, "device " + Quoted(d.name) + " names the auth module " + Quoted(d.auth) +
                     ", which auth_modules does not define");
    }
    if (!entry.has_secure) d.secure = config.secure;
    if (!entry.has_port) d.port = config.port;
    if (!entry.has_tls && !d.auth.empty()) d.tls = config.auth_modules[d.auth].tls;
    config.devices.push_back(std::move(d));
  }
}

}  // namespace

bool IsValidDeviceName(const std::string& text) {
  if (text.empty() || text.size() > 64 || text[0] == '.' || text[0] == '-') return false;
  for (const char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') {
      return false;
    }
  }
  return true;
}

bool IsValidHostText(const std::string& text) {
  if (text.empty() || text.size() > 255) return false;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || c == '"' || c == '\\' || c == '<' || c == '>') return false;
  }
  return true;
}

std::string HostTextProblem(const std::string& text) {
  // The text itself stays out of the message: it may hold a password.
  if (text.find('@') != std::string::npos) {
    return "'host' holds '@': a user or password goes in auth_modules (user, password_file), "
           "never in the host, which the status page shows";
  }
  const std::size_t at = text.find_first_of("/?#");
  if (at != std::string::npos) {
    return std::string("'host' holds '") + text[at] +
           "': the device's document has a fixed path, so a host is only host[:port], got " +
           Quoted(text);
  }
  return std::string();
}

const DeviceConfig* Config::FindDevice(const std::string& name) const {
  for (const DeviceConfig& device : devices) {
    if (device.name == name) return &device;
  }
  return nullptr;
}

const AuthModule* Config::FindAuth(const std::string& name) const {
  const auto found = auth_modules.find(name);
  return found == auth_modules.end() ? nullptr : &found->second;
}

DeviceConfig Config::UnlistedDevice(const std::string& host) const {
  DeviceConfig device;
  device.name = host;
  device.host = host;
  device.secure = secure;
  device.port = port;
  device.unlisted = true;
  return device;
}

bool Config::MayAskForUnlisted(const IpAddress& client) const {
  for (const Network& network : unlisted_targets_allowed_networks) {
    if (network.Contains(client)) return true;
  }
  return false;
}

bool ParseConfig(const std::string& text, const std::string& file_name,
                 const PasswordReader& read_password, Config& config, std::string& error) {
  auto where = [&](const YAML::Mark& mark) { return WhereIn(file_name, mark); };
  Config parsed;
  try {
    const YAML::Node root = YAML::Load(text);
    if (root.IsNull()) {
      error = file_name + ":1:1: expected a mapping with the key devices, got an empty file";
      return false;
    }
    ForEachKey(root, "the file",
               {"listen", "defaults", "auth_modules", "allow_unlisted_targets",
                "unlisted_targets_allowed_networks", "devices"},
               [](const std::string&, const YAML::Node&, const YAML::Node&) {});
    // Defaults and auth modules first: the devices refer to both, wherever they stand.
    if (root["listen"]) ParseListen(root["listen"], parsed);
    if (root["defaults"]) ParseDefaults(root["defaults"], parsed);
    if (root["auth_modules"])
      ParseAuthModules(root["auth_modules"], read_password, file_name, parsed);
    if (root["allow_unlisted_targets"]) {
      parsed.allow_unlisted_targets =
          Boolean(root["allow_unlisted_targets"], "allow_unlisted_targets");
    }
    if (root["unlisted_targets_allowed_networks"]) {
      ParseAllowedNetworks(root["unlisted_targets_allowed_networks"], parsed);
    }
    if (root["devices"]) ParseDevices(root["devices"], file_name, parsed);
  } catch (const YamlProblem& problem) {
    error = where(problem.mark) + problem.what;
    return false;
  } catch (const YAML::Exception& e) {
    error = where(e.mark) + "expected YAML: " + Printable(e.msg);
    return false;
  }
  config = std::move(parsed);
  return true;
}

bool LoadConfigFile(const std::string& path, Config& config, std::string& error, bool checking) {
  std::string text;
  std::string why;
  if (!app::ReadWholeFile(path, text, why)) {
    error = path + ": cannot read the file: " + why;
    return false;
  }
  const std::string folder = Folder(path);
  auto read_password = [&folder](const std::string& file, std::string& password) {
    const std::string full = file.empty() || file[0] == '/' ? file : folder + file;
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(full, ignored)) return false;
    std::ifstream secret(full, std::ios::binary);
    if (!secret) return false;
    std::getline(secret, password);
    while (!password.empty() && (password.back() == '\r' || password.back() == '\n')) {
      password.pop_back();
    }
    return !secret.bad();
  };
  Config parsed;
  if (!ParseConfig(text, path, read_password, parsed, error)) return false;
  if (!checking && !parsed.unread_credentials.empty()) {
    error = parsed.unread_credentials.front();
    return false;
  }
  config = std::move(parsed);
  return true;
}

}  // namespace kestrel::exporter
