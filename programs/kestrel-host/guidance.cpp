#include "programs/kestrel-host/guidance.h"

#include <cstddef>
#include <iterator>

namespace kestrel::host {

namespace {

bool Has(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// Which certificate check failed, from libcurl's own words in the component's line.
std::string CertificateCause(const std::string& line) {
  if (Has(line, "subject name") || Has(line, "does not match")) {
    return "the certificate was made for another name than this host; use the name it carries "
           "in --host, or give the device a certificate for this name";
  }
  if (Has(line, "certificate file") || Has(line, "verify locations") || Has(line, "CAfile")) {
    return "the CA file cannot be read; check the file given with --cacert (or SSL_CERT_FILE)";
  }
  if (Has(line, "self-signed") || Has(line, "self signed") || Has(line, "local issuer") ||
      Has(line, "unable to get")) {
    return "the device's certificate is not trusted; trust it with --cacert FILE (the device's "
           "certificate in PEM form)";
  }
  return "the device's certificate was refused (untrusted, or made for another name; the trace "
         "says which); --cacert FILE trusts a device's own certificate";
}

struct Row {
  const char* in_error;  // part of the module's last error text
  const char* cause;     // likely cause and next step
};

// First match wins; the order puts the narrower texts first.
constexpr Row kRows[] = {
    {"has not been set", "no device is named; give --host"},
    {"HTML Error [403]",
     "the device forbids this account; check --user and the device's "
     "access settings"},
    {"HTML Error [404]",
     "the device has no /getData.json; is it a Room Alert with its JSON "
     "status page, and is any path in --host right?"},
    {"HTML Error [", "the device answered with an HTTP error; check the device, then try again"},
    {"actively refused",
     "nothing accepts connections there; check the host, the port (--port) "
     "and whether the device wants --secure"},
    {"did not properly respond",
     "no answer in time; check the host, the port, a firewall on "
     "the way and --secure"},
    {"No such host is known", "the host name cannot be resolved; check --host and the DNS"},
    {"It is missing or malformed",
     "the answer was empty or does not start as JSON text; is "
     "this a Room Alert's JSON status page?"},
    {"Generic HTTP failure",
     "the connection broke off before a whole answer arrived; check "
     "--secure (HTTPS to an HTTP port or the reverse) and the network"},
    {"error: [].",
     "the network component could not be set up (on Windows: is mvnetwork.dll "
     "registered?)"},
    {"could not be parsed",
     "the JSON is not a Room Alert status document; check that --host "
     "names a Room Alert"},
    {"Failed to parse Json device data.",
     "the device's JSON lists no sensors, or a document "
     "could not be written; see the trace"},
};

}  // namespace

std::string FailureGuidance(const FailureFacts& facts) {
  const std::string& e = facts.last_error;
  std::string cause;
  if (Has(e, "HTML Error [401]")) {
    cause = facts.has_user
                ? "the device refused the user name or password; check --user and the first "
                  "line of --password-file"
                : "the device asks for a login; give --user NAME and --password-file FILE";
  } else if (Has(e, "(SSL) certificate")) {
    cause = CertificateCause(facts.component_line);
  } else if (Has(e, "Failed to convert Json data to XML data.")) {
    std::size_t first = facts.body.find_first_not_of(" \t\r\n");
    cause = first != std::string::npos && facts.body[first] == '<'
                ? "the answer is an HTML page, not JSON: a login page, or not a Room Alert's "
                  "JSON status page"
                : "the answer is not valid JSON; is this a Room Alert's JSON status page?";
  } else {
    for (const Row& row : kRows) {
      if (Has(e, row.in_error)) {
        cause = row.cause;
        break;
      }
    }
  }
  if (cause.empty()) cause = "see the trace for the step that failed";
  return facts.url + ": " + cause;
}

}  // namespace kestrel::host
