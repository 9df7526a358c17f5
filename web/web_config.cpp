#include "web/web_config.h"

#include <cctype>
#include <optional>
#include <utility>

#include "app/files.h"
#include "web/web_tls.h"
#include "web/yaml_walk.h"

namespace kestrel::web {

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

// The TLS section as it is read: the settings, and where each key stood for the checks that
// involve several (absent when not given).
struct TlsRead {
  const std::string& web_file;
  const FileReader& read_file;
  TlsServerConfig tls;
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

void CheckTls(const TlsRead& read, const YAML::Node& section) {
  const TlsServerConfig& tls = read.tls;
  if (!read.cert) Fail(section, "tls_server_config has no cert_file");
  if (!read.key) Fail(section, "tls_server_config has no key_file");
  std::string problem = KeyPairProblem(tls.cert_pem, tls.key_pem);
  if (!problem.empty())
    Fail(*read.key, "cannot serve HTTPS with cert_file and key_file: " + problem);
  const bool verifies = tls.client_auth == ClientAuth::kVerifyClientCertIfGiven ||
                        tls.client_auth == ClientAuth::kRequireAndVerifyClientCert;
  if (verifies && !read.client_ca) {
    Fail(*read.client_auth, "client_auth_type " + Text(*read.client_auth, "client_auth_type") +
                                " needs client_ca_file, the CAs client certificates come from");
  }
  if (read.client_ca && tls.client_auth == ClientAuth::kNoClientCert) {
    Fail(*read.client_ca,
         "client_ca_file is given but client_auth_type asks for no client certificate (expected "
         "client_auth_type: RequireAndVerifyClientCert or VerifyClientCertIfGiven)");
  }
  if (read.client_ca) {
    problem = TrustProblem(tls.client_ca_pem);
    if (!problem.empty()) Fail(*read.client_ca, "cannot use client_ca_file: " + problem);
  }
}

void ReadCert(const char* key, const YAML::Node& value, TlsRead& read) {
  read.tls.cert_pem = ReadNamed(value, key, read.web_file, read.read_file, read.tls.cert_file);
  read.cert = value;
}

void ReadKey(const char* key, const YAML::Node& value, TlsRead& read) {
  read.tls.key_pem = ReadNamed(value, key, read.web_file, read.read_file, read.tls.key_file);
  read.key = value;
}

void ReadClientAuth(const char* key, const YAML::Node& value, TlsRead& read) {
  read.tls.client_auth = OneOf(value, key, kClientAuths);
  read.client_auth = value;
}

void ReadClientCa(const char* key, const YAML::Node& value, TlsRead& read) {
  read.tls.client_ca_pem =
      ReadNamed(value, key, read.web_file, read.read_file, read.tls.client_ca_file);
  read.client_ca = value;
}

void ReadMinVersion(const char* key, const YAML::Node& value, TlsRead& read) {
  read.tls.min_version = OneOf(value, key, kVersions);
}

constexpr Key<TlsRead> kTlsKeys[] = {
    {"cert_file", ReadCert},
    {"key_file", ReadKey},
    {"client_auth_type", ReadClientAuth},
    {"client_ca_file", ReadClientCa},
    {"min_version", ReadMinVersion},
};

// The whole file as it is read.
struct WebRead {
  const std::string& web_file;
  const FileReader& read_file;
  WebConfig web;
};

void ReadTlsServer(const char*, const YAML::Node& section, WebRead& read) {
  if (section.IsNull()) return;
  TlsRead tls{read.web_file, read.read_file, {}, {}, {}, {}, {}};
  ReadKeys(section, "tls_server_config", kTlsKeys, tls);
  CheckTls(tls, section);
  read.web.tls_server = std::move(tls.tls);
  read.web.tls = true;
}

void ReadUsers(const char*, const YAML::Node& section, WebRead& read) {
  if (section.IsNull()) return;
  ForEachEntry(
      section, "basic_auth_users",
      [&](const std::string& user, const YAML::Node& key, const YAML::Node& value) {
        if (user.empty() || user.find(':') != std::string::npos) {
          Fail(key, "expected a user name without ':' in basic_auth_users, got " + Quoted(user));
        }
        const std::string hash = Text(value, user);
        if (!IsBcryptHash(hash)) {
          // The value stays out of the message: it may be a password typed in by mistake.
          Fail(value, "expected a bcrypt hash ($2y$10$..., e.g. from htpasswd -nBC 10 " +
                          Printable(user.substr(0, 60)) + ") for user " + Quoted(user));
        }
        read.web.basic_auth_users[user] = hash;
      });
}

constexpr Key<WebRead> kWebKeys[] = {
    {"tls_server_config", ReadTlsServer},
    {"basic_auth_users", ReadUsers},
};

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
  WebRead read{file_name, read_file, {}};
  try {
    const YAML::Node root = YAML::Load(text);
    // An empty file is a valid one: plain HTTP without a login, as without the option.
    if (!root.IsNull()) ReadKeys(root, "the web configuration", kWebKeys, read);
  } catch (const YamlProblem& problem) {
    error = WhereIn(file_name, problem.mark) + problem.what;
    return false;
  } catch (const YAML::Exception& e) {
    error = WhereIn(file_name, e.mark) + "expected YAML: " + Printable(e.msg);
    return false;
  }
  web = std::move(read.web);
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

}  // namespace kestrel::web
