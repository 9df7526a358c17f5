#include "programs/kestrel-exporter/web_config.h"

#include <cctype>
#include <optional>
#include <utility>

#include "app/files.h"
#include "programs/kestrel-exporter/web_tls.h"
#include "programs/kestrel-exporter/yaml_walk.h"

namespace kestrel::exporter {

namespace {

template <typename Value>
struct Named {
  const char* name;
  Value value;
};

constexpr Named<ClientAuth> kClientAuths[] = {
    {"NoClientCert", ClientAuth::kNoClientCert},
    {"RequestClientCert", ClientAuth::kRequestClientCert},
    {"RequireAnyClientCert", ClientAuth::kRequireAnyClientCert},
    {"VerifyClientCertIfGiven", ClientAuth::kVerifyClientCertIfGiven},
    {"RequireAndVerifyClientCert", ClientAuth::kRequireAndVerifyClientCert},
};

constexpr Named<TlsVersion> kVersions[] = {
    {"TLS10", TlsVersion::kTls10},
    {"TLS11", TlsVersion::kTls11},
    {"TLS12", TlsVersion::kTls12},
    {"TLS13", TlsVersion::kTls13},
};

template <typename Value, std::size_t N>
Value OneOf(const YAML::Node& node, const std::string& key, const Named<Value> (&names)[N]) {
  const std::string text = Text(node, key);
  std::string expected;
  for (const auto& named : names) {
    if (text == named.name) return named.value;
    expected += (expected.empty() ? "" : ", ") + std::string(named.name);
  }
  Fail(node, "expected one of " + expected + " for '" + key + "', got " + Quoted(text));
}

// Where each key stood, for the checks that involve several; absent when not given.
struct TlsNodes {
  std::optional<YAML::Node> cert;
  std::optional<YAML::Node> key;
  std::optional<YAML::Node> client_ca;
  std::optional<YAML::Node> client_auth;
};

// A file the endpoint needs, read now: a wrong path is found by --check-config, not by the first
// client after a restart.
std::string ReadNamed(const YAML::Node& node, const std::string& key, const std::string& web_file,
                      const FileReader& read_file, std::string& resolved) {
  const std::string written = Text(node, key);
  if (written.empty()) Fail(node, "expected a file for '" + key + "', got an empty text");
  resolved = Relative(written, web_file);
  std::string text;
  std::string why;
  if (!read_file(resolved, text, why)) {
    Fail(node, "cannot read " + Quoted(written) + " as " + key + ": " + why);
  }
  return text;
}

void CheckTls(const TlsNodes& nodes, const YAML::Node& section, const TlsServerConfig& tls) {
  if (!nodes.cert) Fail(section, "tls_server_config has no cert_file");
  if (!nodes.key) Fail(section, "tls_server_config has no key_file");
  std::string problem = KeyPairProblem(tls.cert_pem, tls.key_pem);
  if (!problem.empty())
    Fail(*nodes.key, "cannot serve HTTPS with cert_file and key_file: " + problem);
  const bool verifies = tls.client_auth == ClientAuth::kVerifyClientCertIfGiven ||
                        tls.client_auth == ClientAuth::kRequireAndVerifyClientCert;
  if (verifies && !nodes.client_ca) {
    Fail(*nodes.client_auth, "client_auth_type " + Text(*nodes.client_auth, "client_auth_type") +
                                 " needs client_ca_file, the CAs client certificates come from");
  }
  if (nodes.client_ca && tls.client_auth == ClientAuth::kNoClientCert) {
    Fail(*nodes.client_ca,
         "client_ca_file is given but client_auth_type asks for no client certificate (expected "
         "client_auth_type: RequireAndVerifyClientCert or VerifyClientCertIfGiven)");
  }
  if (nodes.client_ca) {
    problem = TrustProblem(tls.client_ca_pem);
    if (!problem.empty()) Fail(*nodes.client_ca, "cannot use client_ca_file: " + problem);
  }
}

TlsServerConfig ParseTlsServer(const YAML::Node& section, const std::string& web_file,
                               const FileReader& read_file) {
  TlsServerConfig tls;
  TlsNodes nodes;
  ForEachKey(section, "tls_server_config",
             {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version"},
             [&](const std::string& key, const YAML::Node&, const YAML::Node& value) {
               if (key == "cert_file") {
                 tls.cert_pem = ReadNamed(value, key, web_file, read_file, tls.cert_file);
                 nodes.cert = value;
               } else if (key == "key_file") {
                 tls.key_pem = ReadNamed(value, key, web_file, read_file, tls.key_file);
                 nodes.key = value;
               } else if (key == "client_ca_file") {
                 tls.client_ca_pem = ReadNamed(value, key, web_file, read_file, tls.client_ca_file);
                 nodes.client_ca = value;
               } else if (key == "client_auth_type") {
                 tls.client_auth = OneOf(value, key, kClientAuths);
                 nodes.client_auth = value;
               } else {
                 tls.min_version = OneOf(value, key, kVersions);
               }
             });
  CheckTls(nodes, section, tls);
  return tls;
}

void ParseUsers(const YAML::Node& section, std::map<std::string, std::string>& users) {
  if (section.IsNull()) return;
  ForEachKey(section, "basic_auth_users", {},
             [&](const std::string& user, const YAML::Node& key, const YAML::Node& value) {
               if (user.empty() || user.find(':') != std::string::npos) {
                 Fail(key,
                      "expected a user name without ':' in basic_auth_users, got " + Quoted(user));
               }
               const std::string hash = Text(value, user);
               if (!IsBcryptHash(hash)) {
                 // The value stays out of the message: it may be a password typed in by mistake.
                 Fail(value, "expected a bcrypt hash ($2y$10$..., e.g. from htpasswd -nBC 10 " +
                                 Printable(user.substr(0, 60)) + ") for user " + Quoted(user));
               }
               users[user] = hash;
             });
}

}  // namespace

bool IsBcryptHash(const std::string& text) {
  // $2y$CC$ then 22 characters of salt and 31 of hash in bcrypt's own base64.
  if (text.size() != 60 || text[0] != '$' || text[1] != '2' || text[3] != '$' || text[6] != '$') {
    return false;
  }
  if (text[2] != 'a' && text[2] != 'b' && text[2] != 'y') return false;
  if (!std::isdigit(static_cast<unsigned char>(text[4])) ||
      !std::isdigit(static_cast<unsigned char>(text[5]))) {
    return false;
  }
  const int cost = (text[4] - '0') * 10 + (text[5] - '0');
  if (cost < 4 || cost > 31) return false;
  for (std::size_t i = 7; i < text.size(); ++i) {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '/') return false;
  }
  return true;
}

bool ParseWebConfig(const std::string& text, const std::string& file_name,
                    const FileReader& read_file, WebConfig& web, std::string& error) {
  WebConfig parsed;
  try {
    const YAML::Node root = YAML::Load(text);
    // An empty file is a valid one: plain HTTP without a login, as without the option.
    if (!root.IsNull()) {
      ForEachKey(root, "the web configuration", {"tls_server_config", "basic_auth_users"},
                 [&](const std::string& key, const YAML::Node&, const YAML::Node& value) {
                   if (key == "basic_auth_users") {
                     ParseUsers(value, parsed.basic_auth_users);
                   } else if (!value.IsNull()) {
                     parsed.tls_server = ParseTlsServer(value, file_name, read_file);
                     parsed.tls = true;
                   }
                 });
    }
  } catch (const YamlProblem& problem) {
    error = WhereIn(file_name, problem.mark) + problem.what;
    return false;
  } catch (const YAML::Exception& e) {
    error = WhereIn(file_name, e.mark) + "expected YAML: " + Printable(e.msg);
    return false;
  }
  web = std::move(parsed);
  return true;
}

bool LoadWebConfigFile(const std::string& path, WebConfig& web, std::string& error) {
  std::string text;
  std::string why;
  if (!app::ReadWholeFile(path, text, why)) {
    error = path + ": cannot read the file: " + why;
    return false;
  }
  return ParseWebConfig(text, path, app::ReadWholeFile, web, error);
}

}  // namespace kestrel::exporter
