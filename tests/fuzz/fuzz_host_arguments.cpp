// Any bytes as kestrel-host's own option values: the first line as --host, every further line as
// a --warning or --critical threshold, judged against a fixed device. Each value is either taken
// or refused with a message, and a check always ends in a status line with a plug-in status and one
// perfdata separator.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/session.h"
#include "programs/kestrel-host/check_mode.h"
#include "programs/kestrel-host/host_input.h"

namespace {

std::vector<kestrel::host::CheckSensor> Device() {
  return {{"Internal Sensor", "temperature", "C", "22.31", "2"},
          {"Rack 4 Intake", "humidity", "%RH", "45.00", "2"},
          {"Door Contact", "switch", "open/closed", "1", "0"},
          {"Rack 4 Intake", "temperature", "C", "", "2", false}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));

  kestrel::host::DeviceAddress address;
  std::string error;
  if (kestrel::host::ParseDeviceAddress(lines[0], address, error)) {
    const std::string url = kestrel::host::DeviceUrl(address.host, address.secure, 8443);
    if (url.rfind(address.secure ? "https://" : "http://", 0) != 0) std::abort();
  } else if (error.empty()) {
    std::abort();
  }

  kestrel::host::CheckPolicy policy;
  std::vector<kestrel::host::Threshold>& warning = policy.warning;
  std::vector<kestrel::host::Threshold>& critical = policy.critical;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    kestrel::host::Threshold threshold;
    error.clear();
    if (!kestrel::host::ParseThreshold(lines[i], threshold, error)) {
      if (error.empty()) std::abort();
      continue;
    }
    const kestrel::host::Range& r = threshold.range;
    if (!r.start_infinite && !r.end_infinite && r.start > r.end) std::abort();
    (i % 2 == 0 ? critical : warning).push_back(threshold);
  }
  const kestrel::host::CheckOutcome outcome = kestrel::host::EvaluateCheck(Device(), policy);
  if (outcome.status < kestrel::host::kCheckOk || outcome.status > kestrel::host::kCheckUnknown ||
      outcome.output.rfind("ROOMALERT ", 0) != 0 || outcome.output.back() != '\n' ||
      outcome.output.find('|') != outcome.output.rfind('|')) {
    std::abort();
  }
  return 0;
}
