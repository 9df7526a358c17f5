// An endpoint's web configuration (--web.config.file), in the format every Prometheus exporter
// reads, so an operator's existing file works unchanged:
//
//   tls_server_config:
//     cert_file: server.crt            # PEM; relative to this file's folder
//     key_file: server.key             # PEM, unencrypted
//     client_auth_type: RequireAndVerifyClientCert  # default NoClientCert
//     client_ca_file: clients-ca.crt   # the CAs client certificates must come from
//     min_version: TLS12               # TLS10, TLS11, TLS12 (default) or TLS13
//   basic_auth_users:
//     prometheus: $2y$10$...           # bcrypt hash (htpasswd -nBC 10 prometheus)
//
// Keys not implemented here (cipher_suites, http_server_config, ...) are refused
// rather than ignored: a setting that silently does nothing is worse than an error.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace kestrel::web {

enum class ClientAuth {
  kNoClientCert,
  kRequestClientCert,
  kRequireAnyClientCert,
  kVerifyClientCertIfGiven,
  kRequireAndVerifyClientCert,
};

enum class TlsVersion { kTls10, kTls11, kTls12, kTls13 };

struct TlsServerConfig {
  std::string cert_file;  // as resolved against the web configuration's folder
  std::string key_file;
  std::string client_ca_file;
  std::string cert_pem;  // the files' contents when the configuration was read
  std::string key_pem;
  std::string client_ca_pem;
  ClientAuth client_auth = ClientAuth::kNoClientCert;
  TlsVersion min_version = TlsVersion::kTls12;

  bool operator==(const TlsServerConfig& other) const {
    return cert_pem == other.cert_pem && key_pem == other.key_pem &&
           client_ca_pem == other.client_ca_pem && client_auth == other.client_auth &&
           min_version == other.min_version;
  }
  bool operator!=(const TlsServerConfig& other) const { return !(*this == other); }
};

struct WebConfig {
  bool tls = false;  // tls_server_config given: the endpoint speaks HTTPS only
  TlsServerConfig tls_server;
  std::map<std::string, std::string> basic_auth_users;  // user -> bcrypt hash; empty: no login
};

// Reads a whole file; false with the reason (one line) when it cannot.
using FileReader =
    std::function<bool(const std::string& path, std::string& text, std::string& error)>;

// Parses the text of a web configuration. On failure error is one line, "FILE:LINE:COLUMN: why",
// and web is left as it was. Certificates and keys are read through read_file and checked to
// belong together.
bool ParseWebConfig(const std::string& text, const std::string& file_name,
                    const FileReader& read_file, WebConfig& web, std::string& error);

// Reads and parses the file; the files it names are taken relative to its folder.
bool LoadWebConfigFile(const std::string& path, WebConfig& web, std::string& error);

// Whether text has the form of a bcrypt hash ($2a$, $2b$ or $2y$, cost 04 to 31).
bool IsBcryptHash(const std::string& text);

}  // namespace kestrel::web
