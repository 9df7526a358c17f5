// The endpoint's TLS beyond what libmicrohttpd does by itself: checking a certificate and key
// before they are served, the least protocol version, and client certificates.
#pragma once

#include <string>

#include "web/web_config.h"

namespace kestrel::web {

// Empty when the PEM certificate (chain) and unencrypted key belong together, else why not.
std::string KeyPairProblem(const std::string& cert_pem, const std::string& key_pem);

// Empty when pem holds at least one certificate to trust, else why not.
std::string TrustProblem(const std::string& pem);

// The GnuTLS priority string for the default suites with min and later protocol versions.
std::string TlsPriorities(TlsVersion min);

// Whether the peer of a TLS session (a gnutls_session_t) meets the policy; empty when it does,
// else why not. The library only asks for a certificate; whether one is required and whether it
// must come from the configured CAs is decided here.
std::string ClientCertificateProblem(void* session, ClientAuth policy);

}  // namespace kestrel::web
