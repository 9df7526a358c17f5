#include "programs/kestrel-host/interrupts.h"

#include <signal.h>
#include <stdlib.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kestrel::host {

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_loading = 0;
volatile sig_atomic_t g_checking = 0;

// The module gives up on a silent device after its retries: three attempts of at most 10 s
// each, the last starting before 15 s have passed.
constexpr char kStopNotice[] =
    "\nkestrel-host: stopping after the current load (up to 30 s while the device does not "
    "answer); Ctrl-C again quits at once\n";

void OnInterrupt(int signal_number) {
  if (g_stop != 0 && g_checking == 0) _exit(128 + signal_number);
  g_stop = 1;
#if defined(_WIN32)
  // The Windows C runtime resets a handler to the default once it has run.
  ::signal(signal_number, &OnInterrupt);
  if (g_loading != 0) _write(2, kStopNotice, sizeof kStopNotice - 1);
#else
  if (g_loading != 0) {
    const ssize_t written = ::write(2, kStopNotice, sizeof kStopNotice - 1);
    (void)written;
  }
#endif
}

}  // namespace

void CatchInterrupts() {
#if defined(_WIN32)
  ::signal(SIGINT, &OnInterrupt);
  ::signal(SIGTERM, &OnInterrupt);
#else
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

bool StopRequested() {
  return g_stop != 0;
}

void SetLoading(bool loading) {
  g_loading = loading ? 1 : 0;
}

void SetChecking() {
  g_checking = 1;
}

}  // namespace kestrel::host
