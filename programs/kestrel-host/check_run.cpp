#include "programs/kestrel-host/check_run.h"

#include <stdlib.h>
#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/signals.h"
#include "host/module_loader.h"
#include "host/session.h"
#include "programs/kestrel-host/session.h"

namespace kestrel::host {

namespace {

namespace fs = std::filesystem;

bool MakePrivateFolder(std::string& folder, std::string& error) {
#if defined(_WIN32)
  std::error_code failed;
  const fs::path base = fs::temp_directory_path(failed);
  if (failed) {
    error = "no folder for temporary files: " + failed.message();
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        base / ("kestrel-check-" + std::to_string(_getpid()) + "-" + std::to_string(attempt));
    if (fs::create_directory(candidate, failed)) {
      folder = candidate.string();
      return true;
    }
  }
  error = "cannot create a private folder in " + base.string() + ": " + failed.message();
  return false;
#else
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string base = tmpdir != nullptr && *tmpdir != 0 ? tmpdir : "/tmp";
  std::string pattern = base + "/kestrel-check-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = "cannot create a private folder in " + base + ": " + std::strerror(errno);
    return false;
  }
  folder = pattern;
  return true;
#endif
}

void RemoveFolder(const std::string& folder) {
  // A load still running on the worker may add a file between the listing and the removal.
  std::error_code ignored;
  for (int attempt = 0; attempt < 3 && fs::exists(folder, ignored); ++attempt) {
    fs::remove_all(folder, ignored);
  }
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// What -v asks for, beyond the sensors: level 1 where and how long, level 2 the trace and the
// settings, level 3 the module's own last error text.
struct Verbose {
  std::string url;
  std::string trace;
  double load_ms = -1;
  std::string last_error;
};

std::vector<std::string> VerboseLines(const Options& o, const Job& job, const Verbose& v) {
  std::vector<std::string> lines;
  if (o.verbosity >= 1) {
    lines.push_back("url: " + v.url);
    if (v.load_ms >= 0) {
      char ms[32];
      std::snprintf(ms, sizeof ms, "%.1f", v.load_ms);
      lines.push_back("load time: " + std::string(ms) + " ms");
    }
  }
  if (o.verbosity >= 2) {
    lines.push_back("trace: " + v.trace +
                    (o.trace.empty() ? " (removed with the check's private folder)" : ""));
    std::string settings =
        "settings: user=" + (o.user.empty() ? "-" : o.user) +
        " password=" + (job.password.empty() ? "no" : "yes") +
        " timeout=" + Seconds(job.timeout_seconds) + ":" + CheckStateName(job.timeout_state) +
        " unreachable=" + CheckStateName(job.unreachable_state) +
        " no-reading=" + CheckStateName(job.policy.no_reading) +
        " switch-alarm=" + (job.policy.switch_alarm.empty() ? "none" : job.policy.switch_alarm);
    for (const std::string& s : job.policy.sensors) settings += " sensor=" + s;
    for (const std::string& w : o.warning) settings += " warning=" + w;
    for (const std::string& c : o.critical) settings += " critical=" + c;
    lines.push_back(settings);
  }
  if (o.verbosity >= 3 && !v.last_error.empty()) lines.push_back("last error: " + v.last_error);
  return lines;
}

std::string WithLines(std::string output, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) output += line + "\n";
  return output;
}

std::vector<std::string> WarningLines(const Job& job) {
  std::vector<std::string> lines;
  for (const std::string& warning : job.warnings) lines.push_back("warning: " + warning);
  return lines;
}

// The device as a status line names it: host[:port] of its URL.
std::string Where(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t end = url.find('/', start);
  std::string where = url.substr(start, end == std::string::npos ? end : end - start);
  const std::size_t at = where.rfind('@');
  return at == std::string::npos ? where : where.substr(at + 1);
}

struct CheckRun {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  bool interrupted = false;
  CheckOutcome outcome;
};

CheckOutcome Judge(const Options& o, const Job& job, Session& session, const std::string& folder,
                   const std::string& trace, Verbose& verbose) {
  session.Apply(SettingsFor(o, job, {folder + "/device.xml", folder + "/device-data.xml", trace}));
  verbose.url = session.Url();
  const LoadView view = session.Load();
  verbose.load_ms = view.load_ms;
  verbose.last_error = view.last_error;
  if (view.result != 0) {
    const int state = LoadFailureState(view.failure, job.unreachable_state);
    const std::string summary = view.failure.Summary(Where(verbose.url), view.load_ms / 1000.0);
    return {state, CheckProblemOutput(state, summary, {view.last_error, session.Guidance(view)})};
  }
  if (!view.Ok()) return {kCheckUnknown, CheckUnknownLine(view.read_error)};
  return EvaluateCheck(CheckSensors(view.device), job.policy);
}

CheckOutcome LoadAndJudge(const Options& o, const Job& job, const std::string& folder,
                          const std::string& trace) {
  LoadedModule module;
  std::string error;
  if (!LoadModule(o.plugin, module, error)) return {kCheckUnknown, CheckUnknownLine(error)};
  Session session(module);
  if (!session.Problem().empty()) return {kCheckUnknown, CheckUnknownLine(session.Problem())};
  Verbose verbose;
  verbose.trace = trace;
  CheckOutcome outcome = Judge(o, job, session, folder, trace, verbose);
  outcome.output = WithLines(outcome.output, VerboseLines(o, job, verbose));
  outcome.output = WithLines(outcome.output, WarningLines(job));
  return outcome;
}

// Leaves a check that can no longer finish: the status lines, then no file behind.
[[noreturn]] void Abandon(int state, const std::string& output, const std::string& folder) {
  std::fputs(output.c_str(), stdout);
  std::fflush(stdout);
  RemoveFolder(folder);
  _exit(state);
}

std::string TimeOutOutput(const Options& o, const Job& job, const std::string& trace) {
  Verbose verbose;
  verbose.url = job.has_host ? DeviceUrl(job.host, job.secure, job.port) : "the device";
  verbose.trace = trace;
  const std::string reason = "no answer from " + Where(verbose.url) + " within " +
                             Seconds(job.timeout_seconds) + " s (--timeout)";
  return WithLines(
      WithLines(CheckProblemOutput(job.timeout_state, reason), VerboseLines(o, job, verbose)),
      WarningLines(job));
}

}  // namespace

// A monitoring plug-in must answer within its time-out even when the device, the network or the
// module hangs, and the module offers no way to cancel a load. So the load runs on a worker
// thread and this thread keeps the clock: past the deadline it prints the time-out's state,
// removes the private folder and ends the process with _exit, which does not wait for the worker
// or run destructors that the worker's objects may still need.
int RunCheck(const Options& o, const Job& job) {
  std::string folder;
  std::string error;
  if (!MakePrivateFolder(folder, error)) {
    std::fputs(CheckUnknownLine(error).c_str(), stdout);
    return kCheckUnknown;
  }
  const std::string trace = o.trace.empty() ? folder + "/trace.log" : o.trace;
  auto run = std::make_shared<CheckRun>();
  // Signals blocked in main stay blocked in the worker; a stop, early or late, ends the wait
  // below, which then leaves as the plug-in must.
  auto interrupt = [run](int, int) {
    std::lock_guard<std::mutex> hold(run->lock);
    run->interrupted = true;
    run->finished.notify_all();
  };
  app::SignalThread signals(app::Signals::kStop, {interrupt, {}});
  std::thread worker([run, &o, &job, folder, trace] {
    CheckOutcome outcome = LoadAndJudge(o, job, folder, trace);
    std::lock_guard<std::mutex> hold(run->lock);
    run->outcome = std::move(outcome);
    run->done = true;
    run->finished.notify_all();
  });

  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(static_cast<long long>(job.timeout_seconds * 1000.0));
  std::unique_lock<std::mutex> hold(run->lock);
  run->finished.wait_until(hold, deadline, [&run] { return run->done || run->interrupted; });
  if (!run->done && run->interrupted) {
    Abandon(kCheckUnknown, CheckUnknownLine("interrupted before the device answered"), folder);
  }
  if (!run->done) Abandon(job.timeout_state, TimeOutOutput(o, job, trace), folder);
  hold.unlock();
  worker.join();
  std::fputs(run->outcome.output.c_str(), stdout);
  std::fflush(stdout);
  RemoveFolder(folder);
  return run->outcome.status;
}

}  // namespace kestrel::host
