#include <csignal>
#include <utility>

#include "app/signals.h"

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace kestrel::app {

bool SignalThread::Take(int signal_number) {
  std::lock_guard<std::mutex> hooks(hook_mutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (quitting_) return false;
#if !defined(_WIN32)
  if (signal_number == SIGHUP) {
    const bool reload = stops_ == 0 && hooks_.reload;
    lock.unlock();
    if (reload) hooks_.reload();
    return true;
  }
#endif
  const int count = ++stops_;
  if (count == 1) first_stop_ = signal_number;
  lock.unlock();
  if (hooks_.stop) hooks_.stop(signal_number, count);
  lock.lock();
  handled_ = true;
  stop_handled_.notify_all();
  return true;
}

int SignalThread::WaitForStop() {
  std::unique_lock<std::mutex> lock(mutex_);
  stop_handled_.wait(lock, [this] { return handled_; });
  return first_stop_;
}

bool SignalThread::StopRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stops_ > 0;
}

}  // namespace kestrel::app
