// Why a load failed, for every host alike: the class alerts and dashboards group by, who must act
// (the check's state), the likely cause and next step for the operator, and the runbook section.
// All of it follows from the module's own error table (common/error_messages.h): a last error
// text is taken apart the way the module puts it together and looked up, never searched for
// words.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::host {

// In the order a reader would look for the cause: the network first, then the answer, then what
// the host does with it. kOther takes what fits none of them (a connection closed mid-answer, a
// component that could not be made, a text no table knows).
enum class FailureClass : uint8_t {
  kTimeout,
  kRefused,
  kDns,
  kTls,
  kAuth,
  kHttpStatus,
  kNotJson,
  kNoSensors,
  kWrite,
  kOther,
};
constexpr FailureClass kFailureClasses[] = {
    FailureClass::kTimeout, FailureClass::kRefused,   FailureClass::kDns,
    FailureClass::kTls,     FailureClass::kAuth,      FailureClass::kHttpStatus,
    FailureClass::kNotJson, FailureClass::kNoSensors, FailureClass::kWrite,
    FailureClass::kOther,
};

// "timeout", "refused", ... as metrics and the runbook name them.
const char* FailureClassName(FailureClass failure_class);

// The section of the packaged runbook (RUNBOOK.md) about the class: "class-" and its name
// ("class-timeout", "class-http_status").
std::string RunbookAnchor(FailureClass failure_class);

// Who can make the failure go away. The device or the network (refused, timed out, unresolved,
// broken, TLS, not a Room Alert answer): a monitoring check reports the state chosen for an
// unreachable device, CRITICAL unless the operator said otherwise. The operator (no host set, a
// refused login, a folder that cannot be written, a missing component): UNKNOWN.
enum class FailureOwner : uint8_t { kDevice, kOperator };

// What the operator knows besides the last error text, to tell causes of one class apart.
struct FailureFacts {
  bool has_user = false;  // a user name was set
  // Where the password came from, as the advice names it ("the first line of --password-file
  // FILE"); empty: none was given.
  std::string password_source;
  std::string component_line;  // the network component's last trace line of this load, if any
  std::string body;            // the start of the JSON working file of this load, if written
};

struct Failure {
  FailureClass failure_class = FailureClass::kOther;
  FailureOwner owner = FailureOwner::kDevice;
  // Likely cause and next step, in the words of the command-line host's options; refine, when
  // set, tells causes of the class apart by the facts.
  const char* advice = "see the trace for the step that failed";
  std::string (*refine)(const FailureFacts& facts) = nullptr;
  // false: the text is none the module gives.
  bool known = false;
  // What failed in a few plain words of ours, for a status line; {where} stands for the device,
  // {seconds} for how long the load took, {status} for the HTTP status it answered.
  const char* summary = "reading {where} failed";
  int32_t http_status = 0;  // the status the device answered, when it was one

  std::string Advice(const FailureFacts& facts) const {
    return refine != nullptr ? refine(facts) : advice;
  }
  // where: the device as host[:port]; seconds: how long the load took.
  std::string Summary(const std::string& where, double seconds) const;
};

// The failure the module's last error text stands for (UTF-8 or the module's code page: the
// module's own texts are ASCII).
Failure ClassifyLastError(const std::string& last_error);

// A failure of the host's own around a load: what it could not do with the module's files.
Failure HostFailure(FailureClass failure_class);

// Whether a device that failed so is worth leaving alone for a while: it did not answer at all.
bool IsUnreachable(FailureClass failure_class);

}  // namespace kestrel::host
