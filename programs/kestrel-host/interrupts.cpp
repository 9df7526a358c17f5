#include "programs/kestrel-host/interrupts.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/exit_codes.h"
#include "app/log.h"
#include "app/signals.h"

namespace kestrel::host {

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_loading{false};
std::atomic<bool> g_began{false};

app::Log g_log("kestrel-host");
// Lives until the program ends; declared after the log its hook writes to.
std::optional<app::SignalThread> g_signals;

void OnStop(int signal_number, int count) {
  if (count > 1 || !g_began) std::_Exit(app::ExitStatusForSignal(signal_number));
  g_stop = true;
  if (g_loading) {
    // After the terminal's "^C".
    std::fputs("\n", stderr);
    // The module gives up on a silent device after its retries: three attempts of at most 10 s
    // each, the last starting before 15 s have passed.
    g_log.Line(
        "stopping after the current load (up to 30 s while the device does not answer); "
        "Ctrl-C again quits at once");
  }
}

}  // namespace

void CatchInterrupts() {
  if (!g_signals) g_signals.emplace(app::Signals::kStop, app::SignalHooks{&OnStop, {}});
}

bool StopRequested() {
  return g_stop;
}

void SetLoading(bool loading) {
  if (loading) g_began = true;
  g_loading = loading;
}

}  // namespace kestrel::host
