// A device's own TLS trust. The module has no setting for it, so a host says it with files in the
// folder of the trace file it gives the provider (the exporter gives each device a folder of its
// own): a CA file there is the only one trusted for that device's certificate, and the marker file
// turns the check off. The Linux network component reads them; hosts place them through host/.
#pragma once

namespace kestrel::netcomp {

constexpr const char* kTrustCaFileName = "tls-ca.pem";
constexpr const char* kTrustInsecureFileName = "tls-insecure-skip-verify";

}  // namespace kestrel::netcomp
