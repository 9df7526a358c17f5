#include "programs/kestrel-host/load_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "host/provider_text.h"
#include "host/session.h"
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

void ShowXml(const Options& o, const Poll& poll, const LoadStamp& stamp, const LoadView& view) {
  const std::string bytes = view.result == 0 ? FileBytes(o.config_only ? o.config : o.data) : "";
  if (poll.polling) {
    std::fputs(XmlPollLoad(stamp, view.result, view.last_error, bytes).c_str(), stdout);
  } else {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
}

// Shows one load; answers the exit status it stands for.
int ShowLoad(const Options& o, const Job& job, const Session& session, Poll& poll,
             const LoadStamp& stamp, const LoadView& view) {
  if (view.result != 0) {
    std::fprintf(stderr, "kestrel-host: load failed (%d): %s\n", view.result,
                 view.last_error.c_str());
    std::fprintf(stderr, "kestrel-host: %s\nkestrel-host: the trace is in %s\n",
                 session.Guidance(view).c_str(), view.files.trace.c_str());
  } else if (job.format != Format::kXml && !view.Ok()) {
    std::fprintf(stderr, "kestrel-host: %s\n", view.read_error.c_str());
    return kExitLoadFailed;
  }
  const DeviceView* shown = view.result == 0 ? &view.device : nullptr;
  switch (job.format) {
    case Format::kXml:
      ShowXml(o, poll, stamp, view);
      break;
    case Format::kJson:
      std::printf("%s\n",
                  StampJson(FormatJson(view.result, view.last_error, shown), stamp).c_str());
      break;
    case Format::kTable:
      if (view.result == 0 && !poll.identity_shown) {
        std::fputs(FormatTable(view.device).c_str(), stdout);
        poll.identity_shown = true;
      } else if (poll.polling) {
        std::fputs(FormatPollLine(stamp, shown, view.last_error).c_str(), stdout);
      }
      break;
  }
  return view.result == 0 ? kExitSuccess : kExitLoadFailed;
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
  Session session(provider);
  session.Apply(SettingsFor(o, job, {o.config, o.data, o.trace}));
  CatchInterrupts();
  Poll poll;
  poll.polling = o.count != 1;
  if (poll.polling && job.format == Format::kXml) std::fputs(XmlPollHead().c_str(), stdout);
  std::vector<double> times;
  int status = kExitSuccess;
  LoadStamp stamp;
  stamp.host = session.HostText();
  for (long n = 0; (o.count == 0 || n < o.count) && !StopRequested(); ++n) {
    if (n > 0) {
      if (poll.polling && job.format == Format::kTable && n == 1) std::fputs("\n", stdout);
      PauseBetweenLoads(o.interval);
      if (StopRequested()) break;
    }
    SetLoading(true);
    const LoadView view = session.Load(o.config_only ? LoadKind::kConfigOnly : LoadKind::kData);
    SetLoading(false);
    stamp.duration_ms = view.load_ms;
    stamp.time = Rfc3339Utc(view.started);
    stamp.clock = LocalClock(std::chrono::system_clock::to_time_t(view.started));
    times.push_back(stamp.duration_ms);
    if (ShowLoad(o, job, session, poll, stamp, view) != kExitSuccess) status = kExitLoadFailed;
    std::fflush(stdout);
  }
  if (poll.polling && job.format == Format::kXml) std::fputs(XmlPollTail().c_str(), stdout);
  if (poll.polling && !times.empty()) PrintLoadTimes(times);
  return status;
}

}  // namespace kestrel::host
