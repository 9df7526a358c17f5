// Any bytes as the endpoint's web configuration: either accepted, with users that all hold a
// bcrypt hash and TLS that names its files, or refused with a one-line message that says where;
// never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/support/test_certificate.h"
#include "web/web_config.h"

namespace {

// Files named *.crt and *.key are a pair that TLS accepts.
using kestrel::test::kCert;
using kestrel::test::kKey;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto read = [](const std::string& path, std::string& contents, std::string& why) {
    if (EndsWith(path, ".crt")) {
      contents = kCert;
    } else if (EndsWith(path, ".key")) {
      contents = kKey;
    } else {
      why = "No such file or directory";
      return false;
    }
    return true;
  };
  kestrel::web::WebConfig web;
  std::string error;
  if (kestrel::web::ParseWebConfig(text, "web.yml", read, web, error)) {
    for (const auto& [user, hash] : web.basic_auth_users) {
      if (user.empty() || !kestrel::web::IsBcryptHash(hash)) std::abort();
    }
    if (web.tls && (web.tls_server.cert_pem.empty() || web.tls_server.key_pem.empty())) {
      std::abort();
    }
  } else if (error.rfind("web.yml:", 0) != 0 || error.size() <= 8 ||
             error.find('\n') != std::string::npos) {
    std::abort();
  }
  return 0;
}
