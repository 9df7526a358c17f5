#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

#include "app/signals.h"

namespace kestrel::app {

namespace {

sigset_t SetOf(Signals which) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (which == Signals::kStopAndReload) sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockSignals(Signals which) {
  const sigset_t set = SetOf(which);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void IgnoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

struct SignalThread::Platform {
  sigset_t set;
  std::thread thread;
};

SignalThread::SignalThread(Signals which, SignalHooks hooks)
    : hooks_(std::move(hooks)), platform_(std::make_unique<Platform>()) {
  platform_->set = SetOf(which);
  // Blocked already when main began with BlockSignals; blocked here too, so that a program that
  // did not still never has the signals' default action race this thread.
  pthread_sigmask(SIG_BLOCK, &platform_->set, nullptr);
  platform_->thread = std::thread([this] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&platform_->set, &signal_number) != 0) continue;
      if (!Take(signal_number)) return;
    }
  });
}

SignalThread::~SignalThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quitting_ = true;
  }
  // A signal of the set sent to the thread alone wakes its sigwait; it sees quitting_ and ends.
  pthread_kill(platform_->thread.native_handle(), SIGTERM);
  platform_->thread.join();
  EndReloads();
}

}  // namespace kestrel::app
