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
#include "programs/kestrel-exporter/config_mqtt.h"
#include "programs/kestrel-exporter/config_unlisted.h"
#include "programs/kestrel-exporter/config_values.h"
#include "web/yaml_walk.h"

namespace kestrel::exporter {

namespace {

using web::Boolean;
using web::Fail;
using web::Folder;
using web::ForEachEntry;
using web::Key;
using web::KeyOrder;
using web::KindOf;
using web::Printable;
using web::Quoted;
using web::ReadKeys;
using web::Relative;
using web::Text;
using web::WhereIn;
using web::YamlProblem;

void ParseListen(const YAML::Node& node, Config& config) {
  const std::string text = Text(node, "listen");
  if (!app::ParseListenAddress(text, config.listen_address, config.listen_port)) {
    Fail(node, "expected ADDRESS:PORT or :PORT for 'listen', got " + Quoted(text));
  }
}

// defaults: as they are read; backoff_max is checked against backoff once both are known.
struct DefaultsRead {
  Config& config;
  YAML::Node backoff_max;
};

void ReadDefaultSecure(const char* key, const YAML::Node& value, DefaultsRead& read) {
  read.config.secure = Boolean(value, key);
}

void ReadDefaultPort(const char* key, const YAML::Node& value, DefaultsRead& read) {
  read.config.port = Port(value, key);
}

void ReadTimeout(const char* key, const YAML::Node& value, DefaultsRead& read) {
  read.config.timeout_seconds = Duration(value, key, 0.1, 600);
}

void ReadPollInterval(const char* key, const YAML::Node& value, DefaultsRead& read) {
  read.config.poll_interval_seconds = Duration(value, key, 1, 86400);
}

void ReadBackoff(const char* key, const YAML::Node& value, DefaultsRead& read) {
  read.config.backoff_seconds = Duration(value, key, 0, 3600);
}

void ReadBackoffMax(const char* key, const YAML::Node& value, DefaultsRead& read) {
  read.config.backoff_max_seconds = Duration(value, key, 0, 86400);
  read.backoff_max = value;
}

void ReadDefaultThresholds(const char*, const YAML::Node& value, DefaultsRead& read) {
  read.config.thresholds = ParseDefaultThresholds(value);
}

void ReadMinInterval(const char* key, const YAML::Node& value, DefaultsRead& read) {
  read.config.min_interval_seconds = Duration(value, key, 0, 3600);
}

constexpr Key<DefaultsRead> kDefaultKeys[] = {
    {"secure", ReadDefaultSecure},
    {"port", ReadDefaultPort},
    {"timeout", ReadTimeout},
    {"poll_interval", ReadPollInterval},
    {"backoff", ReadBackoff},
    {"backoff_max", ReadBackoffMax},
    {"thresholds", ReadDefaultThresholds},
    {"min_interval", ReadMinInterval},
};

void ParseDefaults(const YAML::Node& node, Config& config) {
  DefaultsRead read{config, {}};
  ReadKeys(node, "defaults", kDefaultKeys, read);
  if (read.backoff_max && config.backoff_max_seconds < config.backoff_seconds) {
    Fail(read.backoff_max, "expected 'backoff_max' to be at least 'backoff'");
  }
}

}  // namespace

namespace {

// A tls: section of a device or an auth module, as it is read.
struct TlsRead {
  const std::string& config_file;
  TlsConfig tls;
};

void ReadCaFile(const char* key, const YAML::Node& value, TlsRead& read) {
  TlsConfig& tls = read.tls;
  tls.ca_file = Text(value, key);
  tls.ca_path = Relative(tls.ca_file, read.config_file);
  const std::string problem = tls.ca_file.empty() ? "an empty path" : CaFileProblem(tls.ca_path);
  if (!problem.empty()) {
    Fail(value, "cannot use " + Quoted(tls.ca_file) + " as tls.ca_file: " + problem);
  }
}

void ReadInsecureSkipVerify(const char* key, const YAML::Node& value, TlsRead& read) {
  read.tls.insecure_skip_verify = Boolean(value, key);
}

constexpr Key<TlsRead> kTlsKeys[] = {
    {"ca_file", ReadCaFile},
    {"insecure_skip_verify", ReadInsecureSkipVerify},
};

TlsConfig ParseTls(const YAML::Node& node, const std::string& config_file) {
  TlsRead read{config_file, {}};
  ReadKeys(node, "tls", kTlsKeys, read);
  return read.tls;
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

// One auth module as it is read; source is where its password comes from.
struct AuthRead {
  const std::string& config_file;
  AuthModule auth;
  bool has_user = false;
  YAML::Node source;
};

void ReadUser(const char* key, const YAML::Node& value, AuthRead& read) {
  read.auth.user = Text(value, key);
  read.has_user = true;
}

void ReadPasswordFile(const char* key, const YAML::Node& value, AuthRead& read) {
  read.auth.password_file = Text(value, key);
  read.source = value;
}

void ReadPasswordCredential(const char* key, const YAML::Node& value, AuthRead& read) {
  read.auth.password_credential = Text(value, key);
  read.source = value;
}

void ReadAuthTls(const char*, const YAML::Node& value, AuthRead& read) {
  read.auth.tls = ParseTls(value, read.config_file);
}

constexpr Key<AuthRead> kAuthKeys[] = {
    {"user", ReadUser},
    {"password_file", ReadPasswordFile},
    {"password_credential", ReadPasswordCredential},
    {"tls", ReadAuthTls},
};

void ParseAuthModules(const YAML::Node& node, const PasswordReader& read_password,
                      const std::string& config_file, Config& config) {
  ForEachEntry(
      node, "auth_modules",
      [&](const std::string& name, const YAML::Node& key_node, const YAML::Node& value) {
        if (!IsValidDeviceName(name)) {
          Fail(key_node, "expected an auth module name of letters, digits, '.', '_' or '-', got " +
                             Quoted(name));
        }
        AuthRead read{config_file, {}, false, {}};
        ReadKeys(value, ("auth module " + Quoted(name)).c_str(), kAuthKeys, read);
        if (!read.has_user || read.auth.user.empty()) {
          Fail(value, "auth module " + Quoted(name) + " has no user (expected user: NAME)");
        }
        ReadAuthPassword(name, value, read.source, read_password, config_file, read.auth, config);
        config.auth_modules[name] = std::move(read.auth);
      });
}

// One device as it is read: what it says itself, and which defaults it leaves to the file.
struct DeviceRead {
  const std::string& config_file;
  DeviceConfig device;
  bool has_name = false;
  bool has_host = false;
  bool has_secure = false;
  bool has_port = false;
  bool has_tls = false;
  YAML::Node thresholds{};  // read once the defaults are known
  bool has_thresholds = false;
  bool has_min_interval = false;
};

void ReadName(const char* key, const YAML::Node& value, DeviceRead& read) {
  read.device.name = Text(value, key);
  if (!IsValidDeviceName(read.device.name)) {
    Fail(value, "expected a device name of up to 64 letters, digits, '.', '_' or '-', got " +
                    Quoted(read.device.name));
  }
  read.has_name = true;
}

void ReadHost(const char* key, const YAML::Node& value, DeviceRead& read) {
  const std::string host = Text(value, key);
  const std::string problem = HostTextProblem(host);
  if (!problem.empty()) Fail(value, problem);
  if (!IsValidHostText(host)) {
    Fail(value, "expected a host name or address (host[:port]) for 'host', got " + Quoted(host));
  }
  read.device.host = host;
  read.has_host = true;
}

void ReadAuth(const char* key, const YAML::Node& value, DeviceRead& read) {
  read.device.auth = Text(value, key);
}

void ReadSecure(const char* key, const YAML::Node& value, DeviceRead& read) {
  read.device.secure = Boolean(value, key);
  read.has_secure = true;
}

void ReadPort(const char* key, const YAML::Node& value, DeviceRead& read) {
  read.device.port = Port(value, key);
  read.has_port = true;
}

void ReadLabels(const char*, const YAML::Node& value, DeviceRead& read) {
  ForEachEntry(value, "labels",
               [&](const std::string& label, const YAML::Node& key, const YAML::Node& text) {
                 if (!IsLabelName(label) || IsReservedLabel(label)) {
                   Fail(key,
                        "expected a label name ([a-zA-Z_][a-zA-Z0-9_]*, not __*) that the "
                        "exporter does not set itself, got " +
                            Quoted(label));
                 }
                 read.device.labels.emplace_back(label, Text(text, label));
               });
}

void ReadDeviceTls(const char*, const YAML::Node& value, DeviceRead& read) {
  read.device.tls = ParseTls(value, read.config_file);
  read.has_tls = true;
}

void ReadDeviceThresholds(const char*, const YAML::Node& value, DeviceRead& read) {
  read.thresholds = value;
  read.has_thresholds = true;
}

void ReadDeviceMinInterval(const char* key, const YAML::Node& value, DeviceRead& read) {
  read.device.min_interval_seconds = Duration(value, key, 0, 3600);
  read.has_min_interval = true;
}

constexpr Key<DeviceRead> kDeviceKeys[] = {
    {"name", ReadName},
    {"host", ReadHost},
    {"auth", ReadAuth},
    {"secure", ReadSecure},
    {"port", ReadPort},
    {"labels", ReadLabels},
    {"tls", ReadDeviceTls},
    {"thresholds", ReadDeviceThresholds},
    {"min_interval", ReadDeviceMinInterval},
};

void ParseDevices(const YAML::Node& node, const std::string& config_file, Config& config) {
  if (node.IsNull()) return;
  if (!node.IsSequence())
    Fail(node, std::string("expected a list for 'devices', got ") + KindOf(node));
  std::map<std::string, int> lines;
  for (const YAML::Node& item : node) {
    DeviceRead read{config_file, {}};
    ReadKeys(item, "a device", kDeviceKeys, read);
    DeviceConfig& d = read.device;
    if (!read.has_name) Fail(item, "device without a name (expected name: NAME)");
    if (!read.has_host)
      Fail(item, "device " + Quoted(d.name) + " has no host (expected host: ADDRESS)");
    const auto [at, inserted] = lines.emplace(d.name, item.Mark().line + 1);
    if (!inserted) {
      Fail(item, "device name " + Quoted(d.name) + " given twice (first at line " +
                     std::to_string(at->second) + ")");
    }
    if (!d.auth.empty() && config.auth_modules.count(d.auth) == 0) {
      Fail(item, "device " + Quoted(d.name) + " names the auth module " + Quoted(d.auth) +
                     ", which auth_modules does not define");
    }
    if (!read.has_secure) d.secure = config.secure;
    if (!read.has_port) d.port = config.port;
    if (!read.has_min_interval) d.min_interval_seconds = config.min_interval_seconds;
    if (!read.has_tls && !d.auth.empty()) d.tls = config.auth_modules[d.auth].tls;
    d.thresholds.device = config.thresholds;
    if (read.has_thresholds)
      d.thresholds = ParseDeviceThresholds(read.thresholds, config.thresholds);
    config.devices.push_back(std::move(d));
  }
}

// The whole file as it is read.
struct FileRead {
  const std::string& file;
  const PasswordReader& read_password;
  Config config;
};

void ReadListen(const char*, const YAML::Node& value, FileRead& read) {
  ParseListen(value, read.config);
}

void ReadDefaults(const char*, const YAML::Node& value, FileRead& read) {
  ParseDefaults(value, read.config);
}

void ReadAuthModules(const char*, const YAML::Node& value, FileRead& read) {
  ParseAuthModules(value, read.read_password, read.file, read.config);
}

void ReadAllowUnlisted(const char* key, const YAML::Node& value, FileRead& read) {
  read.config.allow_unlisted_targets = Boolean(value, key);
}

void ReadAllowedNetworks(const char* key, const YAML::Node& value, FileRead& read) {
  ParseNetworkList(value, key, read.config.unlisted_targets_allowed_networks);
}

void ReadReachableNetworks(const char* key, const YAML::Node& value, FileRead& read) {
  ParseNetworkList(value, key, read.config.unlisted_targets_reachable_networks);
}

void ReadUnlistedPerClient(const char* key, const YAML::Node& value, FileRead& read) {
  read.config.unlisted_targets_per_client = ParseUnlistedPerClient(value, key);
}

void ReadDevices(const char*, const YAML::Node& value, FileRead& read) {
  ParseDevices(value, read.file, read.config);
}

void ReadMqtt(const char*, const YAML::Node& value, FileRead& read) {
  ParseMqtt(value, read.file, read.read_password, read.config);
}

// Read in this order whatever the file's: the devices refer to the defaults and auth modules.
constexpr Key<FileRead> kFileKeys[] = {
    {"listen", ReadListen},
    {"defaults", ReadDefaults},
    {"auth_modules", ReadAuthModules},
    {"allow_unlisted_targets", ReadAllowUnlisted},
    {"unlisted_targets_allowed_networks", ReadAllowedNetworks},
    {"unlisted_targets_reachable_networks", ReadReachableNetworks},
    {"unlisted_targets_per_client", ReadUnlistedPerClient},
    {"devices", ReadDevices},
    {"mqtt", ReadMqtt},
};

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
  device.thresholds.device = thresholds;
  device.min_interval_seconds = min_interval_seconds;
  device.unlisted = true;
  return device;
}

bool Config::MayAskForUnlisted(const web::IpAddress& client) const {
  for (const web::Network& network : unlisted_targets_allowed_networks) {
    if (network.Contains(client)) return true;
  }
  return false;
}

bool ParseConfig(const std::string& text, const std::string& file_name,
                 const PasswordReader& read_password, Config& config, std::string& error) {
  auto where = [&](const YAML::Mark& mark) { return WhereIn(file_name, mark); };
  FileRead read{file_name, read_password, {}};
  try {
    const YAML::Node root = YAML::Load(text);
    if (root.IsNull()) {
      error = file_name + ":1:1: expected a mapping with the key devices, got an empty file";
      return false;
    }
    ReadKeys(root, "the file", kFileKeys, read, KeyOrder::kTable);
  } catch (const YamlProblem& problem) {
    error = where(problem.mark) + problem.what;
    return false;
  } catch (const YAML::Exception& e) {
    error = where(e.mark) + "expected YAML: " + Printable(e.msg);
    return false;
  }
  config = std::move(read.config);
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
