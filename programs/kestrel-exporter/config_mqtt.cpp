#include "programs/kestrel-exporter/config_mqtt.h"

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <set>

#include "app/files.h"
#include "web/yaml_walk.h"

namespace kestrel::exporter {

namespace {

using web::Boolean;
using web::Fail;
using web::ForEachEntry;
using web::Key;
using web::Quoted;
using web::ReadKeys;
using web::Relative;
using web::Text;
using web::WhereIn;

// Home Assistant's binary sensor classes, as its documentation lists them.
const std::set<std::string>& BinarySensorClasses() {
  static const std::set<std::string> kClasses = {"battery",
                                                 "battery_charging",
                                                 "carbon_monoxide",
                                                 "cold",
                                                 "connectivity",
                                                 "door",
                                                 "garage_door",
                                                 "gas",
                                                 "heat",
                                                 "light",
                                                 "lock",
                                                 "moisture",
                                                 "motion",
                                                 "moving",
                                                 "occupancy",
                                                 "opening",
                                                 "plug",
                                                 "power",
                                                 "presence",
                                                 "problem",
                                                 "running",
                                                 "safety",
                                                 "smoke",
                                                 "sound",
                                                 "tamper",
                                                 "update",
                                                 "vibration",
                                                 "window"};
  return kClasses;
}

// mqtt[s]://HOST[:PORT][/]: the scheme says TLS or not; a user or password belongs in its keys.
void ParseBroker(const YAML::Node& node, MqttConfig& mqtt) {
  const std::string url = Text(node, "broker");
  auto refuse = [&](const std::string& why) {
    Fail(node, "expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT] for 'broker' (" + why +
                   "), got " + Quoted(url));
  };
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    mqtt.secure = true;
  } else {
    refuse("an unknown scheme");
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('@') != std::string::npos) {
    Fail(node, "'broker' holds '@': the user and password go in 'user' and 'password_file'");
  }
  if (rest.find_first_of("/?# ") != std::string::npos) refuse("a path, query or blank");
  std::string port_text;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) refuse("an IPv6 address without ']'");
    mqtt.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') refuse("text after the address");
      port_text = rest.substr(close + 2);
    }
  } else {
    const std::size_t colon = rest.find(':');
    mqtt.host = rest.substr(0, colon);
    if (colon != std::string::npos) port_text = rest.substr(colon + 1);
  }
  if (mqtt.host.empty()) refuse("no host");
  mqtt.port = mqtt.secure ? 8883 : 1883;
  if (!port_text.empty() || rest.find(':') != std::string::npos) {
    int port = 0;
    const auto [end, ec] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 1 ||
        port > 65535) {
      refuse("a port from 1 to 65535");
    }
    mqtt.port = port;
  }
  mqtt.broker = url;
}

// Topic levels chosen in the file: no wildcard, no empty level, and nothing a JSON text or a
// Home Assistant template would have to escape.
std::string TopicPrefix(const YAML::Node& node, const std::string& key) {
  const std::string text = Text(node, key);
  bool good = !text.empty() && text.front() != '/' && text.back() != '/' &&
              text.find("//") == std::string::npos && text.size() <= 128;
  for (const char c : text) {
    good = good && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ||
                    c == '.' || c == '/');
  }
  if (!good) {
    Fail(node, "expected topic levels of letters, digits, '_', '-' or '.' for '" + key + "', got " +
                   Quoted(text));
  }
  return text;
}

// A file beside the configuration that must hold a PEM block of the given kind.
std::string PemFile(const YAML::Node& node, const std::string& key, const std::string& file,
                    const char* marker) {
  const std::string path = Relative(Text(node, key), file);
  std::string text;
  std::string why;
  if (node.Scalar().empty()) why = "an empty path";
  if (why.empty() && !app::ReadWholeFile(path, text, why)) why = why.empty() ? "unreadable" : why;
  if (why.empty() && text.find(marker) == std::string::npos) {
    why = std::string("no PEM block in it (") + marker + ")";
  }
  if (!why.empty()) Fail(node, "cannot use " + Quoted(node.Scalar()) + " as " + key + ": " + why);
  return path;
}

// The section as it is read: where its password came from, and keys checked against others.
// (A YAML::Node made empty counts as given, so each has a flag.)
struct MqttRead {
  const std::string& file;
  MqttConfig mqtt;
  YAML::Node source;
  YAML::Node reconnect_max;
  YAML::Node tls;
  bool has_source = false;
  bool has_reconnect_max = false;
  bool has_tls = false;
  bool has_client_id = false;
  bool has_node_id = false;
};

void ReadBrokerKey(const char*, const YAML::Node& value, MqttRead& read) {
  ParseBroker(value, read.mqtt);
}

// An MQTT client id and node id: what every broker takes and Home Assistant keeps in a topic.
std::string Identifier(const YAML::Node& value, const char* key) {
  const std::string text = Text(value, key);
  bool good = !text.empty() && text.size() <= 64;
  for (const char c : text) {
    good = good && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
  }
  if (!good) {
    Fail(value, std::string("expected up to 64 letters, digits, '_' or '-' for '") + key +
                    "', got " + Quoted(text));
  }
  return text;
}

void ReadClientId(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.client_id = Identifier(value, key);
  read.has_client_id = true;
}

void ReadNodeId(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.node_id = Identifier(value, key);
  read.has_node_id = true;
}

void ReadMqttUser(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.user = Text(value, key);
}

void ReadMqttPasswordFile(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.password_file = Text(value, key);
  read.source = value;
  read.has_source = true;
}

void ReadMqttPasswordCredential(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.password_credential = Text(value, key);
  read.source = value;
  read.has_source = true;
}

void ReadCa(const char* key, const YAML::Node& value, MqttRead& read) {
  const std::string path = Relative(Text(value, key), read.file);
  const std::string problem = value.Scalar().empty() ? "an empty path" : CaFileProblem(path);
  if (!problem.empty()) {
    Fail(value, "cannot use " + Quoted(value.Scalar()) + " as tls.ca_file: " + problem);
  }
  read.mqtt.ca_path = path;
}

void ReadCert(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.cert_path = PemFile(value, key, read.file, "-----BEGIN CERTIFICATE-----");
}

void ReadKey(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.key_path = PemFile(value, key, read.file, "PRIVATE KEY-----");
}

void ReadInsecure(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.insecure_skip_verify = Boolean(value, key);
}

constexpr Key<MqttRead> kTlsKeys[] = {
    {"ca_file", ReadCa},
    {"cert_file", ReadCert},
    {"key_file", ReadKey},
    {"insecure_skip_verify", ReadInsecure},
};

void ReadMqttTls(const char*, const YAML::Node& value, MqttRead& read) {
  ReadKeys(value, "mqtt.tls", kTlsKeys, read);
  read.tls = value;
  read.has_tls = true;
}

void ReadKeepAlive(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.keep_alive_seconds = Duration(value, key, 5, 3600);
}

void ReadReconnect(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.reconnect_seconds = Duration(value, key, 0.1, 3600);
}

void ReadReconnectMax(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.reconnect_max_seconds = Duration(value, key, 0.1, 86400);
  read.reconnect_max = value;
  read.has_reconnect_max = true;
}

void ReadTopicPrefix(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.topic_prefix = TopicPrefix(value, key);
}

void ReadHaEnabled(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.home_assistant = Boolean(value, key);
}

void ReadDiscoveryPrefix(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.discovery_prefix = TopicPrefix(value, key);
}

void ReadRetain(const char* key, const YAML::Node& value, MqttRead& read) {
  read.mqtt.retain_discovery = Boolean(value, key);
}

void ReadSwitchClass(const char* key, const YAML::Node& value, SwitchClass& into) {
  into.device_class = Text(value, key);
  if (BinarySensorClasses().count(into.device_class) == 0) {
    Fail(value,
         "expected one of Home Assistant's binary sensor classes (door, window, "
         "moisture, smoke, problem, ...) for 'device_class', got " +
             Quoted(into.device_class));
  }
}

void ReadSwitchOn(const char* key, const YAML::Node& value, SwitchClass& into) {
  const std::string position = Text(value, key);
  if (position != "open" && position != "closed") {
    Fail(value, "expected open or closed for 'on', got " + Quoted(position));
  }
  into.on_when_open = position == "open";
}

constexpr Key<SwitchClass> kSwitchKeys[] = {
    {"device_class", ReadSwitchClass},
    {"on", ReadSwitchOn},
};

void ReadSwitches(const char*, const YAML::Node& value, MqttRead& read) {
  ForEachEntry(value, "home_assistant.switches",
               [&](const std::string& label, const YAML::Node&, const YAML::Node& entry) {
                 SwitchClass switch_class;
                 ReadKeys(entry, ("the switch " + Quoted(label)).c_str(), kSwitchKeys,
                          switch_class);
                 read.mqtt.switches[label] = switch_class;
               });
}

constexpr Key<MqttRead> kHomeAssistantKeys[] = {
    {"enabled", ReadHaEnabled},
    {"discovery_prefix", ReadDiscoveryPrefix},
    {"retain", ReadRetain},
    {"switches", ReadSwitches},
};

void ReadHomeAssistant(const char*, const YAML::Node& value, MqttRead& read) {
  ReadKeys(value, "mqtt.home_assistant", kHomeAssistantKeys, read);
}

constexpr Key<MqttRead> kMqttKeys[] = {
    {"broker", ReadBrokerKey},
    {"client_id", ReadClientId},
    {"node_id", ReadNodeId},
    {"user", ReadMqttUser},
    {"password_file", ReadMqttPasswordFile},
    {"password_credential", ReadMqttPasswordCredential},
    {"tls", ReadMqttTls},
    {"keep_alive", ReadKeepAlive},
    {"reconnect_backoff", ReadReconnect},
    {"reconnect_backoff_max", ReadReconnectMax},
    {"topic_prefix", ReadTopicPrefix},
    {"home_assistant", ReadHomeAssistant},
};

// As an auth module's password: from a file, or a systemd credential that only the unit sees.
void ReadMqttPassword(const YAML::Node& section, const MqttRead& read,
                      const PasswordReader& read_password, MqttConfig& mqtt, Config& config) {
  if (!mqtt.password_file.empty() && !mqtt.password_credential.empty()) {
    Fail(section, "mqtt takes one of password_file and password_credential, not both");
  }
  if (!read.has_source) return;
  const YAML::Node& source = read.source;
  const std::string& file = read.file;
  if (mqtt.user.empty()) Fail(source, "an mqtt password needs a user (expected user: NAME)");
  if (!mqtt.password_file.empty()) {
    if (!read_password(mqtt.password_file, mqtt.password)) {
      Fail(source, "cannot read the mqtt password file " + Quoted(mqtt.password_file));
    }
    return;
  }
  if (!IsValidDeviceName(mqtt.password_credential)) {
    Fail(source, "expected a credential name of letters, digits, '.', '_' or '-', got " +
                     Quoted(mqtt.password_credential));
  }
  const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
  if (folder == nullptr || *folder == '\0') {
    config.unread_credentials.push_back(
        WhereIn(file, source.Mark()) + "the credential " + Quoted(mqtt.password_credential) +
        " of mqtt is handed over only inside the unit (LoadCredential=" + mqtt.password_credential +
        ":FILE), where $CREDENTIALS_DIRECTORY names its folder");
    return;
  }
  const std::string path = std::string(folder) + "/" + mqtt.password_credential;
  if (!read_password(path, mqtt.password)) {
    Fail(source, "cannot read the credential " + Quoted(mqtt.password_credential) + " (" + path +
                     ") of mqtt");
  }
}

std::string HostName() {
  char name[256] = {0};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return "localhost";
  return name;
}

}  // namespace

std::string TopicSafe(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  }
  return out;
}

bool MqttConfig::SameConnection(const MqttConfig& other) const {
  return enabled == other.enabled && broker == other.broker && client_id == other.client_id &&
         node_id == other.node_id && user == other.user && password == other.password &&
         ca_path == other.ca_path && cert_path == other.cert_path && key_path == other.key_path &&
         insecure_skip_verify == other.insecure_skip_verify &&
         keep_alive_seconds == other.keep_alive_seconds &&
         reconnect_seconds == other.reconnect_seconds &&
         reconnect_max_seconds == other.reconnect_max_seconds && topic_prefix == other.topic_prefix;
}

void ParseMqtt(const YAML::Node& node, const std::string& config_file,
               const PasswordReader& read_password, Config& config) {
  MqttRead read{config_file, {}, {}, {}, {}};
  ReadKeys(node, "mqtt", kMqttKeys, read);
  MqttConfig& mqtt = read.mqtt;
  if (mqtt.host.empty()) Fail(node, "mqtt has no broker (expected broker: mqtt://HOST[:PORT])");
  if (read.has_tls && !mqtt.secure) Fail(read.tls, "mqtt.tls needs a broker of mqtts://");
  if (read.has_tls && mqtt.cert_path.empty() != mqtt.key_path.empty()) {
    Fail(read.tls, "a client certificate needs both cert_file and key_file");
  }
  if (read.has_reconnect_max && mqtt.reconnect_max_seconds < mqtt.reconnect_seconds) {
    Fail(read.reconnect_max, "expected 'reconnect_backoff_max' to be at least 'reconnect_backoff'");
  }
  ReadMqttPassword(node, read, read_password, mqtt, config);
  if (!read.has_client_id)
    mqtt.client_id = TopicSafe("kestrel-exporter-" + HostName()).substr(0, 64);
  if (!read.has_node_id) mqtt.node_id = mqtt.client_id;
  mqtt.enabled = true;
  config.mqtt = std::move(mqtt);
}

}  // namespace kestrel::exporter
