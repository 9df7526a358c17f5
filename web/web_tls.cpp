#include "web/web_tls.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>

namespace kestrel::web {

namespace {

struct Credentials {
  gnutls_certificate_credentials_t handle = nullptr;
  Credentials() { gnutls_certificate_allocate_credentials(&handle); }
  ~Credentials() {
    if (handle != nullptr) gnutls_certificate_free_credentials(handle);
  }
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
};

gnutls_datum_t Datum(const std::string& text) {
  gnutls_datum_t datum;
  datum.data = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
  datum.size = static_cast<unsigned>(text.size());
  return datum;
}

}  // namespace

std::string KeyPairProblem(const std::string& cert_pem, const std::string& key_pem) {
  Credentials credentials;
  if (credentials.handle == nullptr) return "out of memory";
  const gnutls_datum_t cert = Datum(cert_pem);
  const gnutls_datum_t key = Datum(key_pem);
  const int result = gnutls_certificate_set_x509_key_mem2(credentials.handle, &cert, &key,
                                                          GNUTLS_X509_FMT_PEM, nullptr, 0);
  if (result >= 0) return std::string();
  if (result == GNUTLS_E_CERTIFICATE_KEY_MISMATCH)
    return "the key does not belong to the certificate";
  return gnutls_strerror(result);
}

std::string TrustProblem(const std::string& pem) {
  Credentials credentials;
  if (credentials.handle == nullptr) return "out of memory";
  const gnutls_datum_t trust = Datum(pem);
  const int count =
      gnutls_certificate_set_x509_trust_mem(credentials.handle, &trust, GNUTLS_X509_FMT_PEM);
  if (count > 0) return std::string();
  if (count == 0) return "no PEM certificate in it (-----BEGIN CERTIFICATE-----)";
  return gnutls_strerror(count);
}

std::string TlsPriorities(TlsVersion min) {
  std::string versions = "+VERS-TLS1.3";
  if (min <= TlsVersion::kTls12) versions += ":+VERS-TLS1.2";
  if (min <= TlsVersion::kTls11) versions += ":+VERS-TLS1.1";
  if (min <= TlsVersion::kTls10) versions += ":+VERS-TLS1.0";
  return "NORMAL:-VERS-ALL:" + versions;
}

std::string ClientCertificateProblem(void* session_pointer, ClientAuth policy) {
  if (policy == ClientAuth::kNoClientCert || policy == ClientAuth::kRequestClientCert) return "";
  if (session_pointer == nullptr) return "no TLS session";
  auto session = static_cast<gnutls_session_t>(session_pointer);
  unsigned count = 0;
  const bool given = gnutls_certificate_get_peers(session, &count) != nullptr && count > 0;
  if (!given) {
    if (policy == ClientAuth::kVerifyClientCertIfGiven) return "";
    return "a client certificate is required";
  }
  if (policy == ClientAuth::kRequireAnyClientCert) return "";
  // A certificate made for servers only is no client's, even from a trusted CA.
  gnutls_typed_vdata_st purpose{};
  purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
  purpose.data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_CLIENT));
  unsigned status = 0;
  const int result = gnutls_certificate_verify_peers(session, &purpose, 1, &status);
  if (result < 0)
    return std::string("the client certificate cannot be verified: ") + gnutls_strerror(result);
  if (status == 0) return "";
  gnutls_datum_t text{};
  std::string why = "the client certificate is not trusted";
  if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
    why += std::string(": ") + reinterpret_cast<const char*>(text.data);
    gnutls_free(text.data);
    while (!why.empty() && why.back() == ' ') why.pop_back();
  }
  return why;
}

}  // namespace kestrel::web
