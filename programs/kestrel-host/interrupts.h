// Ctrl-C and SIGTERM: the first lets the running load finish, a second ends the program at once.
#pragma once

namespace kestrel::host {

void CatchInterrupts();

// Whether a stop was asked for since CatchInterrupts.
bool StopRequested();

// While a load runs, a stop request says how long the load may still take.
void SetLoading(bool loading);

// In check mode the waiting thread ends the process itself, after removing its private folder,
// so a second signal must not end it first.
void SetChecking();

}  // namespace kestrel::host
