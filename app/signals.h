// Signals, one way for every program: SIGINT and SIGTERM ask it to stop, SIGHUP (where a program
// takes it) to reload. They are blocked from the first line of main, so every thread inherits
// the block and a signal that comes early, before the program is ready for it, waits, pending,
// for the one thread that takes them: none is lost and none ends a program half started. The
// program's hooks run on threads of the SignalThread, never inside a signal handler, so they may
// lock, log and wake other threads: the stop hook on the thread that takes the signals, the
// reload hook on one of its own, so that the signals go on being taken while a reload runs.
//
// On Windows, Ctrl-C plays SIGINT: the console runs its handler on a thread of its own, which
// calls the stop hook the same way. Nothing there is blocked early.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrel::app {

enum class Signals {
  kStop,           // SIGINT, SIGTERM; a hang-up (SIGHUP) still ends the program
  kStopAndReload,  // and SIGHUP, which then reloads instead
};

// Call first in main, before any thread starts.
void BlockSignals(Signals which);

// For servers: a client that goes away is an error of the write to it, not the end of the
// program. (A command whose reader goes away, as in "| head", should end.)
void IgnoreBrokenPipes();

struct SignalHooks {
  // A stop signal came: its number, and how many have come in all (1 for the first). Called for
  // every one, so a second Ctrl-C can mean "now".
  std::function<void(int signal_number, int count)> stop;
  // SIGHUP came (with Signals::kStopAndReload): called once for every SIGHUP taken, one call at
  // a time and never beside the stop hook. Never called once a stop signal has come: a program
  // that is stopping does not reload, and reloads asked for but not begun are dropped.
  std::function<void()> reload;
};

// The thread that takes the signals BlockSignals blocked, from its construction to its
// destruction. Start it once the hooks can run; signals that came before are taken then. Its
// destruction waits for a reload that runs.
class SignalThread {
 public:
  SignalThread(Signals which, SignalHooks hooks);
  ~SignalThread();
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

  // Blocks until a stop signal has come and its hook has run; answers the first one's number.
  int WaitForStop();
  bool StopRequested() const;
  // How many SIGHUPs were taken with a reload to run.
  int ReloadsAsked() const;

 private:
  struct Platform;
  // One signal taken (on the platform's thread). Answers false once the thread should end.
  bool Take(int signal_number);
  // The reload thread: one reload hook call for each SIGHUP taken.
  void Reloads();
  // Ends the reload thread once a reload that runs is over (at destruction).
  void EndReloads();

  const SignalHooks hooks_;
  // One hook at a time, also where the platform calls from more than one thread.
  std::mutex hook_mutex_;
  mutable std::mutex mutex_;
  std::condition_variable stop_handled_;
  int stops_ = 0;
  int first_stop_ = 0;
  bool handled_ = false;
  bool quitting_ = false;
  std::condition_variable reload_wanted_;
  int reloads_asked_ = 0;
  int reloads_begun_ = 0;
  std::thread reloader_;  // started by the first SIGHUP
  std::unique_ptr<Platform> platform_;
};

}  // namespace kestrel::app
