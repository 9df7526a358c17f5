// Ctrl-C and SIGTERM while kestrel-host loads. A load cannot be cancelled, so the first stop lets
// the running load finish and ends the polling after it, and a second quits at once. Before the
// first load there is nothing to finish: a stop quits at once, with the status of a program the
// signal ended (main blocks the signals first thing, so none is lost before this takes them).
#pragma once

namespace kestrel::host {

// Starts taking the stop signals for the loads that follow.
void CatchInterrupts();

// Whether a stop was asked for since CatchInterrupts.
bool StopRequested();

// While a load runs, a stop request says how long the load may still take.
void SetLoading(bool loading);

}  // namespace kestrel::host
