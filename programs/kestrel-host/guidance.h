// After a failed load the module's own text says what failed; operators also need to know why it
// likely failed and what to try next. That line is the host's.
#pragma once

#include <string>

namespace kestrel::host {

struct FailureFacts {
  std::string url;             // the URL the module fetched
  std::string last_error;      // the module's last error text
  bool has_user = false;       // --user was given
  std::string component_line;  // the network component's last trace line, if any
  std::string body;            // the start of the JSON working file of this load, if written
};

// "URL: likely cause; next step" on one line.
std::string FailureGuidance(const FailureFacts& facts);

}  // namespace kestrel::host
