#include <windows.h>

#include <csignal>
#include <mutex>
#include <utility>

#include "app/signals.h"

namespace kestrel::app {

void BlockSignals(Signals) {}

void IgnoreBrokenPipes() {}

// The console calls the handler on a thread of its own for every event; that thread is the
// program's signal thread for the event.
struct SignalThread::Platform {
  static BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;  // the others keep the console's default
    std::lock_guard<std::mutex> lock(current_mutex);
    if (current != nullptr) current->Take(SIGINT);
    return TRUE;
  }
  static std::mutex current_mutex;
  static SignalThread* current;
};

std::mutex SignalThread::Platform::current_mutex;
SignalThread* SignalThread::Platform::current = nullptr;

// Windows has no hang-up to reload on.
SignalThread::SignalThread(Signals, SignalHooks hooks)
    : hooks_(std::move(hooks)), platform_(std::make_unique<Platform>()) {
  {
    std::lock_guard<std::mutex> lock(Platform::current_mutex);
    Platform::current = this;
  }
  SetConsoleCtrlHandler(&Platform::OnConsoleEvent, TRUE);
}

SignalThread::~SignalThread() {
  SetConsoleCtrlHandler(&Platform::OnConsoleEvent, FALSE);
  std::lock_guard<std::mutex> lock(Platform::current_mutex);
  Platform::current = nullptr;
}

}  // namespace kestrel::app
