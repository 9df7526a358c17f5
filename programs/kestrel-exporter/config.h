// The exporter's configuration file, read once at start and again on SIGHUP.
//
//   listen: "127.0.0.1:9876"        # ADDRESS:PORT or :PORT (default ":9876"; port 0 = any free)
//   defaults:                       # for every device that does not say otherwise
//     secure: false                 # HTTPS instead of HTTP
//     port: 0                       # 0 = the scheme's own port
//     timeout: 10s                  # longest a probe waits for a load (number or 500ms/10s/1m)
//     poll_interval: 30s            # with --poll, how often each device is loaded
//     backoff: 30s                  # after a time-out or refusal, no load before this (0: off)
//     backoff_max: 10m              # the wait doubles with each such failure up to this
//     thresholds: {temperature: {warning_high: 27}}  # limits per room (thresholds.h)
//     min_interval: 5s              # who asks within this of a load gets its readings, no load
//   auth_modules:
//     NAME:
//       user: admin
//       password_file: /etc/kestrel-exporter/site.pass  # or password_credential: NAME (systemd)
//       tls: {ca_file: site-ca.pem}  # optional, for its devices without a tls of their own
//   allow_unlisted_targets: false   # /probe?target=HOST[:PORT] for a host not listed below
//   unlisted_targets_allowed_networks: [127.0.0.0/8, "::1/128"]  # clients that may ask so
//   unlisted_targets_reachable_networks: [10.20.0.0/16]  # where such targets may point
//   unlisted_targets_per_client: 100  # unlisted targets one client (IPv4 address, IPv6 /64) holds
//   devices:
//     - name: server-room-2         # unique; the device label of every sample, a folder name
//       host: 192.168.10.48         # host[:port]; a user or password goes in auth_modules
//       auth: NAME                  # optional, one of auth_modules
//       secure: true                # optional, overrides defaults
//       port: 443                   # optional, overrides defaults
//       labels: {site: berlin}      # optional, on every sample of the device and its /sd target
//       thresholds:                 # optional, over the defaults' (thresholds.h)
//         humidity: {warning_high: 60}
//         ports: {"Rack 4 Intake": {temperature: {critical_high: 30}}}  # by port label
//       tls:                        # optional; else the auth module's; else the system's store
//         ca_file: site-ca.pem      # the only CA this device's certificate may come from
//         insecure_skip_verify: false  # true checks nothing: a lab device, never a real one
//       min_interval: 5s            # optional, overrides defaults
//   mqtt:                           # optional: publish every device to an MQTT broker
//     broker: mqtts://broker.lan    # mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)
//     user: kestrel                 # optional; password_file or password_credential as above
//     password_file: mqtt.pass
//     tls: {ca_file: ca.pem, cert_file: client.crt, key_file: client.key}
//     home_assistant:
//       switches: {"Rack door": {device_class: door, on: open}}
//
// A password is only ever read from its password_file (relative to the configuration's folder,
// as ca_file is) or its credential, never written inline, so the file can be shown, committed and
// diffed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "programs/kestrel-exporter/thresholds.h"
#include "web/address.h"

namespace kestrel::exporter {

using Labels = std::vector<std::pair<std::string, std::string>>;

struct TlsConfig {
  std::string ca_file;  // as the file writes it; empty: the system's trust store
  std::string ca_path;  // ca_file, relative to the configuration's folder
  bool insecure_skip_verify = false;
  bool operator==(const TlsConfig& other) const {
    return ca_path == other.ca_path && insecure_skip_verify == other.insecure_skip_verify;
  }
  bool operator!=(const TlsConfig& other) const { return !(*this == other); }
};

struct AuthModule {
  std::string user;
  std::string password_file;
  // A systemd credential (LoadCredential=NAME:FILE in the unit), read from
  // $CREDENTIALS_DIRECTORY: the service's made-up user cannot read a root-only file itself.
  std::string password_credential;
  std::string password;
  TlsConfig tls;
};

struct DeviceConfig {
  std::string name;
  std::string host;
  std::string auth;  // empty: no authentication
  bool secure = false;
  uint32_t port = 0;
  Labels labels;
  bool unlisted = false;  // made for a probe of a host the file does not list
  TlsConfig tls;          // the device's own, else its auth module's
  DeviceThresholds thresholds{};
  // Whoever asks within this of a load's end gets that load's readings: the device's firmware
  // serves one request at a time, so two scrapers and a publisher must not each load it.
  double min_interval_seconds = 0;
};

// How Home Assistant shows a switch of a given port label.
struct SwitchClass {
  std::string device_class;  // one of Home Assistant's binary sensor classes; empty: none
  bool on_when_open = true;  // false: "on" while the contact is closed
  bool operator==(const SwitchClass& other) const {
    return device_class == other.device_class && on_when_open == other.on_when_open;
  }
};

struct MqttConfig {
  bool enabled = false;  // the file has an mqtt: section
  std::string broker;    // the URL as written
  bool secure = false;   // mqtts://
  std::string host;
  int port = 1883;
  std::string client_id;  // default: kestrel-exporter-HOSTNAME
  // The node of every topic the exporter publishes (default: the client id, made topic-safe);
  // two exporters on one broker keep theirs apart by it.
  std::string node_id;
  std::string user;
  std::string password_file;
  std::string password_credential;
  std::string password;
  std::string ca_path;    // empty: the system's trust store (mqtts://)
  std::string cert_path;  // a client certificate, with its key
  std::string key_path;
  bool insecure_skip_verify = false;
  double keep_alive_seconds = 60;
  double reconnect_seconds = 1;  // doubling with each failed try up to reconnect_max_seconds
  double reconnect_max_seconds = 120;
  std::string topic_prefix = "roomalert";
  bool home_assistant = true;
  std::string discovery_prefix = "homeassistant";
  bool retain_discovery = true;
  std::map<std::string, SwitchClass> switches;  // by port label

  // Whether other would talk to the same broker the same way (a reload keeps the connection).
  bool SameConnection(const MqttConfig& other) const;
};

struct Config {
  std::string listen_address;  // empty: every interface
  int listen_port = 9876;
  bool secure = false;
  uint32_t port = 0;
  double timeout_seconds = 10.0;
  double poll_interval_seconds = 30.0;
  double backoff_seconds = 30.0;
  double backoff_max_seconds = 600.0;
  Thresholds thresholds = BuiltInThresholds();  // every device's, unless it says otherwise
  double min_interval_seconds = 5.0;
  std::map<std::string, AuthModule> auth_modules;
  bool allow_unlisted_targets = false;
  std::vector<web::Network> unlisted_targets_allowed_networks;  // empty: no client may
  // Where unlisted targets may point; empty: nowhere.
  std::vector<web::Network> unlisted_targets_reachable_networks;
  std::size_t unlisted_targets_per_client = 100;
  std::vector<DeviceConfig> devices;  // in file order, names unique
  MqttConfig mqtt;
  // Credentials named where none were handed over ($CREDENTIALS_DIRECTORY unset: not inside the
  // unit), each as "FILE:LINE:COLUMN: ..." saying which; their passwords are empty.
  std::vector<std::string> unread_credentials;

  const DeviceConfig* FindDevice(const std::string& name) const;
  const AuthModule* FindAuth(const std::string& name) const;
  // A device for a host that the file does not list, with the defaults.
  DeviceConfig UnlistedDevice(const std::string& host) const;
  bool MayAskForUnlisted(const web::IpAddress& client) const;
};

// Reads a password file's first line; false when the file cannot be read.
using PasswordReader = std::function<bool(const std::string& path, std::string& password)>;

// Parses the text of a configuration file. On failure error is one line, "FILE:LINE:COLUMN: what
// was expected", and config is left as it was.
bool ParseConfig(const std::string& text, const std::string& file_name,
                 const PasswordReader& read_password, Config& config, std::string& error);

// Reads and parses the file; password files are taken relative to its folder. A credential that
// cannot be read because no credentials were handed over is an error, unless checking: a check
// outside the unit cannot see them (they exist only while it runs), and reports them instead.
bool LoadConfigFile(const std::string& path, Config& config, std::string& error,
                    bool checking = false);

// Whether text may name a device: it becomes a label value and a folder of the state directory.
bool IsValidDeviceName(const std::string& text);

// Whether text may go to the module as a host: printable, no blanks, bounded.
bool IsValidHostText(const std::string& text);

// Why a configured host cannot be used as it is (empty when it can): the module puts the host
// text straight into the URL, so a user, password, path, query or fragment would either leak on
// the status page or ask the device for something other than its document.
std::string HostTextProblem(const std::string& text);

}  // namespace kestrel::exporter
