#include "app/signals.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace {

using kestrel::app::BlockSignals;
using kestrel::app::Signals;
using kestrel::app::SignalThread;

// Signals sent to the whole process must find every thread but the signal thread blocking them;
// a child forked from this test thread has no other thread, whatever ran in this process before.
// Answers the child's exit status: 0 when scenario answered 0, 99 past the deadline.
int InChild(const std::function<int()>& scenario) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(60);  // a signal that is never taken would otherwise hang the suite
    ::_exit(scenario());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGALRM ? 99 : 100 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  int reloads = 0;
  int stops = 0;
  int last_signal = 0;
  void WaitFor(int* counter, int value) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return *counter >= value; });
  }
};

// A SIGTERM that comes while the program is still starting used to be lost (the simulator then
// served for ever): it must wait for the signal thread and stop the program once it runs.
TEST(SignalThreadTest, ASignalBeforeTheThreadStartsIsTakenWhenItDoes) {
  EXPECT_EQ(InChild([] {
              BlockSignals(Signals::kStop);
              ::kill(::getpid(), SIGTERM);
              SignalThread signals(Signals::kStop, {});
              return signals.WaitForStop() == SIGTERM && signals.StopRequested() ? 0 : 1;
            }),
            0);
}

TEST(SignalThreadTest, HookOrderReloadsAndEveryStopIsCounted) {
  EXPECT_EQ(InChild([] {
              BlockSignals(Signals::kStopAndReload);
              Seen seen;
              auto note = [&seen](int* counter, int signal_number) {
                std::lock_guard<std::mutex> lock(seen.mutex);
                ++*counter;
                seen.last_signal = signal_number;
                seen.changed.notify_all();
              };
              SignalThread signals(Signals::kStopAndReload, {[&](int signal_number, int count) {
                                                               note(&seen.stops, signal_number);
                                                               if (count != seen.stops) ::_exit(2);
                                                             },
                                                             [&] { note(&seen.reloads, SIGHUP); }});
              ::kill(::getpid(), SIGHUP);
              seen.WaitFor(&seen.reloads, 1);
              if (signals.StopRequested()) return 3;
              ::kill(::getpid(), SIGINT);
              if (signals.WaitForStop() != SIGINT) return 4;
              ::kill(::getpid(), SIGTERM);
              seen.WaitFor(&seen.stops, 2);
              // SIGHUP, sent first and the lower number, is taken before the SIGINT after it;
              // a stopping program does not reload.
              ::kill(::getpid(), SIGHUP);
              ::kill(::getpid(), SIGINT);
              seen.WaitFor(&seen.stops, 3);
              std::lock_guard<std::mutex> lock(seen.mutex);
              return seen.reloads == 1 && seen.last_signal == SIGINT ? 0 : 5;
            }),
            0);
}

// A reload runs beside the signal thread, which goes on taking signals: every SIGHUP taken
// meanwhile makes a reload of its own once the running one ends, and a stop still stops.
TEST(SignalThreadTest, EverySighupMakesOneReloadWhileAReloadRuns) {
  EXPECT_EQ(InChild([] {
              BlockSignals(Signals::kStopAndReload);
              Seen seen;
              bool released = false;
              SignalThread signals(Signals::kStopAndReload,
                                   {{}, [&] {
                                      std::unique_lock<std::mutex> lock(seen.mutex);
                                      ++seen.reloads;
                                      seen.changed.notify_all();
                                      seen.changed.wait(lock, [&] { return released; });
                                    }});
              ::kill(::getpid(), SIGHUP);
              seen.WaitFor(&seen.reloads, 1);
              for (int sent = 2; sent <= 4; ++sent) {
                ::kill(::getpid(), SIGHUP);
                while (signals.ReloadsAsked() < sent) ::usleep(1000);
              }
              {
                std::lock_guard<std::mutex> lock(seen.mutex);
                if (seen.reloads != 1) return 1;
                released = true;
                seen.changed.notify_all();
              }
              seen.WaitFor(&seen.reloads, 4);
              ::kill(::getpid(), SIGTERM);
              if (signals.WaitForStop() != SIGTERM) return 2;
              std::lock_guard<std::mutex> lock(seen.mutex);
              return seen.reloads == 4 ? 0 : 3;
            }),
            0);
}

}  // namespace
#endif
