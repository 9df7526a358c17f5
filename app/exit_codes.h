// Exit statuses every program shares. A program may give them names of its own meaning
// (kestrel-host's "a load failed" is kExitFailure), never other numbers for the same thing.
#pragma once

namespace kestrel::app {

constexpr int kExitSuccess = 0;
// The work could not be done: a load failed, the module or a folder cannot be used.
constexpr int kExitFailure = 1;
// What the operator gave cannot work: the command line, a configuration, a taken port.
constexpr int kExitUsage = 2;

// What a shell reports for a program that a signal ended. A program that ends itself on a
// signal, rather than dying of it, exits with this so that scripts see the same thing.
constexpr int ExitStatusForSignal(int signal_number) {
  return 128 + signal_number;
}

}  // namespace kestrel::app
