#include "host/failures.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "common/error_messages.h"

namespace kestrel::host {

namespace {

using Detail = LoadErrorParts::Detail;

bool Has(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// Which certificate check failed, from libcurl's own words in the component's line.
std::string CertificateAdvice(const FailureFacts& facts) {
  const std::string& line = facts.component_line;
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

std::string LoginAdvice(const FailureFacts& facts) {
  if (!facts.has_user) {
    return "the device asks for a login; give --user NAME and a password (--password-file FILE, "
           "or password= in an --extra-opts file)";
  }
  if (facts.password_source.empty()) {
    return "the device refused the user name without a password; give one (--password-file "
           "FILE, or password= in an --extra-opts file)";
  }
  return "the device refused the user name or password; check --user and " + facts.password_source;
}

std::string NotJsonAdvice(const FailureFacts& facts) {
  const std::size_t first = facts.body.find_first_not_of(" \t\r\n");
  return first != std::string::npos && facts.body[first] == '<'
             ? "the answer is an HTML page, not JSON: a login page, or not a Room Alert's JSON "
               "status page"
             : "the answer is not valid JSON; is this a Room Alert's JSON status page?";
}

constexpr FailureOwner kDevice = FailureOwner::kDevice;
constexpr FailureOwner kOperator = FailureOwner::kOperator;

struct Outcome {
  FailureClass failure_class;
  FailureOwner owner;
  const char* summary;
  const char* advice;
  std::string (*refine)(const FailureFacts&);
};

constexpr Outcome kTimedOut = {
    FailureClass::kTimeout, kDevice, "no answer from {where} within {seconds} s",
    "no answer in time; check the host, the port, a firewall on the way and --secure", nullptr};
constexpr Outcome kRefused = {FailureClass::kRefused, kDevice, "{where} refused the connection",
                              "nothing accepts connections there; check the host, the port "
                              "(--port) and whether the device wants --secure",
                              nullptr};
constexpr Outcome kNoRoute = {
    FailureClass::kRefused, kDevice, "no route to {where}",
    "no route to the device; check the address and the network on the way", nullptr};
constexpr Outcome kUnresolved = {
    FailureClass::kDns, kDevice, "the host name of {where} does not resolve",
    "the host name cannot be resolved; check --host and the DNS", nullptr};
constexpr Outcome kHttpError = {
    FailureClass::kHttpStatus, kDevice, "{where} answered with an HTTP error",
    "the device answered with an HTTP error; check the device, then try again", nullptr};
constexpr Outcome kForbidden = {
    FailureClass::kAuth, kOperator, "{where} forbids this account",
    "the device forbids this account; check --user and the device's access settings", nullptr};
constexpr Outcome kLogin = {FailureClass::kAuth, kOperator, "{where} refused the login", "",
                            LoginAdvice};
constexpr Outcome kOther = {FailureClass::kOther, kDevice, "reading {where} failed",
                            "see the trace for the step that failed", nullptr};
constexpr Outcome kComponentMissing = {
    FailureClass::kOther, kOperator, "the network component could not be set up",
    "the network component could not be set up (on Windows: is mvnetwork.dll registered?)",
    nullptr};

// The module's result codes that mean more than "see the trace", by what they say.
struct CodeRow {
  int32_t code;
  Outcome outcome;
};
constexpr CodeRow kCodes[] = {
    {10060, kTimedOut},
    {22407, kTimedOut},
    {22410, kTimedOut},
    {22425, kTimedOut},
    {10061, kRefused},
    {22404, kRefused},
    {10050, kNoRoute},
    {10051, kNoRoute},
    {10064, kNoRoute},
    {10065, kNoRoute},
    {11001, kUnresolved},
    {11002, kUnresolved},
    {11003, kUnresolved},
    {11004, kUnresolved},
    {22450,
     {FailureClass::kTls, kDevice, "the certificate of {where} was refused", "",
      CertificateAdvice}},
    {22449,
     {FailureClass::kOther, kDevice, "the connection to {where} broke off",
      "the connection broke off before a whole answer arrived; check --secure (HTTPS to an HTTP "
      "port or the reverse) and the network",
      nullptr}},
    {1101, kLogin},
    {1102, kLogin},
    {22412, kLogin},
    {22417, kForbidden},
    {22416, kHttpError},
    {22418, kHttpError},
    {22419, kHttpError},
    {22420, kHttpError},
    {22421, kHttpError},
    {22422, kHttpError},
    {22427, kHttpError},
};

struct StatusRow {
  int32_t status;  // 0: any other
  Outcome outcome;
};
constexpr StatusRow kStatuses[] = {
    {401, kLogin},
    {403, kForbidden},
    {404,
     {FailureClass::kHttpStatus, kDevice, "{where} has no /getData.json (HTTP 404)",
      "the device has no /getData.json; is it a Room Alert with its JSON status page, and is any "
      "path in --host right?",
      nullptr}},
    {0,
     {FailureClass::kHttpStatus, kDevice, "{where} answered HTTP {status}", kHttpError.advice,
      nullptr}},
};

struct TextRow {
  LoadText text;
  Outcome outcome;
};
constexpr TextRow kTexts[] = {
    {LoadText::kHostNotSet,
     {FailureClass::kOther, kOperator, "no device is named", "no device is named; give --host",
      nullptr}},
    {LoadText::kComponentMissing, kComponentMissing},
    {LoadText::kConversionFailed,
     {FailureClass::kNotJson, kDevice, "{where} did not answer with JSON", "", NotJsonAdvice}},
    {LoadText::kXmlUnusable,
     {FailureClass::kNotJson, kDevice, "{where} answered JSON that is no Room Alert status",
      "the JSON is not a Room Alert status document; check that --host names a Room Alert",
      nullptr}},
    {LoadText::kSaveFailed,
     {FailureClass::kNoSensors, kDevice, "{where} lists no sensors, or a document was not written",
      "the device's JSON lists no sensors, or a document could not be written; see the trace",
      nullptr}},
};

// The details of a failed retrieval that are no result code.
struct DetailRow {
  Detail detail;
  Outcome outcome;
};
constexpr DetailRow kDetails[] = {
    // A component that could not be made leaves the retrieval without a detail.
    {Detail::kEmpty, kComponentMissing},
    {Detail::kBodyUnusable,
     {FailureClass::kNotJson, kDevice, "{where} answered nothing usable as JSON",
      "the answer was empty or does not start as JSON text; is this a Room Alert's JSON status "
      "page?",
      nullptr}},
};

constexpr Outcome kWriteFailed = {FailureClass::kWrite, kOperator,
                                  "the documents could not be written or read back",
                                  "the documents could not be written or read back; check the "
                                  "folder's free space and permissions",
                                  nullptr};

Failure Of(const Outcome& outcome, bool known) {
  Failure failure;
  failure.failure_class = outcome.failure_class;
  failure.owner = outcome.owner;
  failure.advice = outcome.advice;
  failure.refine = outcome.refine;
  failure.summary = outcome.summary;
  failure.known = known;
  return failure;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 9.95 ? "%.1f" : "%.0f", seconds);
  return text;
}

Outcome OutcomeOf(const LoadErrorParts& parts) {
  if (parts.text != LoadText::kRetrievalFailed) {
    for (const TextRow& row : kTexts) {
      if (row.text == parts.text) return row.outcome;
    }
    return kOther;
  }
  if (parts.detail == Detail::kCode) {
    for (const CodeRow& row : kCodes) {
      if (row.code == parts.code) return row.outcome;
    }
    return kOther;
  }
  if (parts.detail == Detail::kHttpStatus) {
    for (const StatusRow& row : kStatuses) {
      if (row.status == parts.code || row.status == 0) return row.outcome;
    }
  }
  for (const DetailRow& row : kDetails) {
    if (row.detail == parts.detail) return row.outcome;
  }
  return kOther;
}

}  // namespace

const char* FailureClassName(FailureClass failure_class) {
  static constexpr const char* kNames[] = {"timeout", "refused",     "dns",      "tls",
                                           "auth",    "http_status", "not_json", "no_sensors",
                                           "write",   "other"};
  static_assert(std::size(kNames) == std::size(kFailureClasses));
  const auto index = static_cast<std::size_t>(failure_class);
  return index < std::size(kNames) ? kNames[index] : "other";
}

std::string RunbookAnchor(FailureClass failure_class) {
  return std::string("class-") + FailureClassName(failure_class);
}

Failure ClassifyLastError(const std::string& last_error) {
  LoadErrorParts parts;
  if (!SplitLoadError(last_error.c_str(), parts)) return Of(kOther, false);
  Failure failure = Of(OutcomeOf(parts), true);
  if (parts.text == LoadText::kRetrievalFailed && parts.detail == Detail::kHttpStatus) {
    failure.http_status = parts.code;
  }
  return failure;
}

std::string Failure::Summary(const std::string& where, double seconds) const {
  const std::pair<const char*, std::string> kFields[] = {{"{where}", where},
                                                         {"{seconds}", Seconds(seconds)},
                                                         {"{status}", std::to_string(http_status)}};
  std::string text = summary;
  for (const auto& [field, value] : kFields) {
    const std::size_t at = text.find(field);
    if (at != std::string::npos) text.replace(at, std::strlen(field), value);
  }
  return text;
}

Failure HostFailure(FailureClass failure_class) {
  if (failure_class == FailureClass::kWrite) return Of(kWriteFailed, true);
  Failure failure = Of(kOther, true);
  failure.failure_class = failure_class;
  return failure;
}

bool IsUnreachable(FailureClass failure_class) {
  return failure_class == FailureClass::kTimeout || failure_class == FailureClass::kRefused;
}

}  // namespace kestrel::host
