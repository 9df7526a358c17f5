#include "programs/kestrel-host/load_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "host/provider_text.h"
#include "host/value_format.h"
#include "programs/kestrel-host/host_output.h"
#include "programs/kestrel-host/interrupts.h"
#include "programs/kestrel-host/session.h"

namespace kestrel::host {

namespace {

struct Poll {
  bool polling = false;
  bool identity_shown = false;
};

void PauseBetweenLoads(double seconds) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
  while (!StopRequested() && std::chrono::steady_clock::now() < until) {
    const auto left = until - std::chrono::steady_clock::now();
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(100)));
  }
}

std::string LocalClock(std::time_t when) {
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

void ShowXml(const Options& o, const Poll& poll, const LoadStamp& stamp, int32_t result,
             const std::string& last_error) {
  const std::string bytes = result == 0 ? FileBytes(o.config_only ? o.config : o.data) : "";
  if (poll.polling) {
    std::fputs(XmlPollLoad(stamp, result, last_error, bytes).c_str(), stdout);
  } else {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
}

// Shows one load; answers the exit status it stands for.
int ShowLoad(const Options& o, const Job& job, IEnvProvider* provider, Poll& poll,
             const LoadStamp& stamp, std::size_t trace_start, int32_t result) {
  const std::string last_error = ReadProviderText(provider, &IEnvProvider::GetLastErrorText);
  DeviceView device;
  std::string error;
  if (result != 0) {
    std::fprintf(stderr, "kestrel-host: load failed (%d): %s\n", result,
                 Windows1252ToUtf8(last_error).c_str());
    std::fprintf(stderr, "kestrel-host: %s\nkestrel-host: the trace is in %s\n",
                 Guidance(o, job, provider, o.config, o.trace, trace_start, last_error).c_str(),
                 o.trace.c_str());
  } else if (job.format != Format::kXml &&
             !ReadLoad(o.config, o.data, o.config_only, device, error)) {
    std::fprintf(stderr, "kestrel-host: %s\n", error.c_str());
    return kExitLoadFailed;
  }
  const DeviceView* shown = result == 0 ? &device : nullptr;
  switch (job.format) {
    case Format::kXml:
      ShowXml(o, poll, stamp, result, last_error);
      break;
    case Format::kJson:
      std::printf("%s\n", StampJson(FormatJson(result, last_error, shown), stamp).c_str());
      break;
    case Format::kTable:
      if (result == 0 && !poll.identity_shown) {
        std::fputs(FormatTable(device).c_str(), stdout);
        poll.identity_shown = true;
      } else if (poll.polling) {
        std::fputs(FormatPollLine(stamp, shown, last_error).c_str(), stdout);
      }
      break;
  }
  return result == 0 ? kExitSuccess : kExitLoadFailed;
}

void PrintLoadTimes(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::fprintf(stderr, "kestrel-host: %zu loads, load time min %.3f / median %.3f / max %.3f ms\n",
               times.size(), times.front(), times[times.size() / 2], times.back());
}

}  // namespace

int PrintInfo(IEnvProvider* provider) {
  std::printf("provider name:        %s\n",
              ReadProviderText(provider, &IEnvProvider::GetProviderName).c_str());
  std::printf("provider id:          %s\n",
              ReadProviderText(provider, &IEnvProvider::GetProviderId).c_str());
  std::printf("default host:         %s\n",
              ReadProviderText(provider, &IEnvProvider::GetDefaultHost).c_str());
  const uint32_t type_id = provider->GetDeviceTypeId();
  std::printf("device type id:       0x%05X (%u)\n", type_id, type_id);
  std::printf("supported protocols:  %u\n", provider->GetSupportedProtocols());
  return kExitSuccess;
}

int RunLoads(const Options& o, const Job& job, IEnvProvider* provider) {
  ApplySettings(o, job, provider, o.config, o.data, o.trace);
  CatchInterrupts();
  Poll poll;
  poll.polling = o.count != 1;
  if (poll.polling && job.format == Format::kXml) std::fputs(XmlPollHead().c_str(), stdout);
  std::vector<double> times;
  int status = kExitSuccess;
  LoadStamp stamp;
  stamp.host = HostText(job, provider);
  for (long n = 0; (o.count == 0 || n < o.count) && !StopRequested(); ++n) {
    if (n > 0) {
      if (poll.polling && job.format == Format::kTable && n == 1) std::fputs("\n", stdout);
      PauseBetweenLoads(o.interval);
      if (StopRequested()) break;
    }
    const std::size_t trace_start = FileSize(o.trace);
    const auto wall = std::chrono::system_clock::now();
    const auto started = std::chrono::steady_clock::now();
    SetLoading(true);
    const int32_t result =
        o.config_only ? provider->LoadDeviceConfig() : provider->LoadDeviceData();
    SetLoading(false);
    stamp.duration_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    stamp.time = Rfc3339Utc(wall);
    stamp.clock = LocalClock(std::chrono::system_clock::to_time_t(wall));
    times.push_back(stamp.duration_ms);
    if (ShowLoad(o, job, provider, poll, stamp, trace_start, result) != kExitSuccess) {
      status = kExitLoadFailed;
    }
    std::fflush(stdout);
  }
  if (poll.polling && job.format == Format::kXml) std::fputs(XmlPollTail().c_str(), stdout);
  if (poll.polling && !times.empty()) PrintLoadTimes(times);
  return status;
}

}  // namespace kestrel::host
