#include <csignal>
#include <utility>

#include "app/signals.h"

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace kestrel::app {

bool SignalThread::Take(int signal_number) {
#if !defined(_WIN32)
  // Counted and handed over, never run here: while a reload ran on this thread, the SIGHUPs that
  // came meanwhile would merge into one pending signal.
  if (signal_number == SIGHUP) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quitting_) return false;
    if (stops_ == 0 && hooks_.reload) {
      ++reloads_asked_;
      if (!reloader_.joinable()) reloader_ = std::thread([this] { Reloads(); });
      reload_wanted_.notify_all();
    }
    return true;
  }
#endif
  std::lock_guard<std::mutex> hooks(hook_mutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (quitting_) return false;
  const int count = ++stops_;
  if (count == 1) first_stop_ = signal_number;
  reload_wanted_.notify_all();
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

int SignalThread::ReloadsAsked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reloads_asked_;
}

void SignalThread::Reloads() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    reload_wanted_.wait(
        lock, [this] { return quitting_ || stops_ > 0 || reloads_asked_ > reloads_begun_; });
    if (quitting_ || stops_ > 0) return;
    ++reloads_begun_;
    lock.unlock();
    {
      std::lock_guard<std::mutex> hooks(hook_mutex_);
      // A stop taken while this waited for the stop hook to end.
      if (!StopRequested()) hooks_.reload();
    }
    lock.lock();
  }
}

void SignalThread::EndReloads() {
  std::thread reloader;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quitting_ = true;
    reloader = std::move(reloader_);
  }
  reload_wanted_.notify_all();
  if (reloader.joinable()) reloader.join();
}

}  // namespace kestrel::app
