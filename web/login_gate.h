// Login checks shared fairly between clients. A bcrypt of cost 10 takes 55 ms of a core
// (libxcrypt on a 2-core Xeon virtual machine; 150 ms while the machine is busy), so checks run
// on a thread of their own, one at a time, never on the server's event loop.
//
// Each client network (web/address.h: Prefix) has a budget of failed checks, a bucket of
// `failures` tokens that refills over `window`; a check takes a token while it waits and runs,
// and gets it back unless it failed. A network without a token is refused at once, with the
// time until its next one and without a bcrypt. Checks wait in a line per network; the next to
// run comes from the network that spent least of its budget, and among those from the one
// served longest ago. So a client with nothing spent waits for the check that runs and no
// longer, however many others flood, and a network's flood runs its own checks in turn.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "web/address.h"

namespace kestrel::web {

struct GateLimits {
  std::size_t failures = 5;         // a network's failed checks per window
  std::chrono::seconds window{60};  // in which a spent budget refills
  std::size_t waiting = 1024;       // checks waiting at once, all networks together
};

class LoginGate {
 public:
  using Clock = std::chrono::steady_clock;

  struct Check {
    // Runs the check on the gate's thread; true when it failed, which keeps its token spent.
    std::function<bool()> run;
    // Answers the request of a check that will not run: a waiting check dropped for a client
    // that spent less, told when its network has a token again (seconds).
    std::function<void(int retry_after)> refuse;
  };

  enum class Verdict {
    kQueued,
    kSpent,    // the network has no token; retry_after says when it has one
    kFull,     // as many checks wait as may, from networks that spent no more than this one
    kStopped,  // after Stop
  };

  explicit LoginGate(GateLimits limits) : limits_(limits) {}
  ~LoginGate() { Stop(); }
  LoginGate(const LoginGate&) = delete;
  LoginGate& operator=(const LoginGate&) = delete;

  Verdict Post(const IpAddress& network, Check check, Clock::time_point now, int& retry_after);
  // Drops the checks not begun (their requests get no answer from here) and waits for the one
  // running; later posts are refused.
  void Stop();

 private:
  struct Line {
    double tokens = 0;
    Clock::time_point updated;
    std::deque<Check> waiting;
    uint64_t served = 0;  // when it last ran a check, as a count of checks run; 0: never
    bool running = false;
  };

  void Run();
  void Refill(Line& line, Clock::time_point now) const;
  double Spent(const Line& line) const {
    return static_cast<double>(limits_.failures) - line.tokens;
  }
  int SecondsToToken(const Line& line) const;
  // The waiting check of the network that spent most, when that is more than spent; its token
  // goes back.
  bool DropWorseThan(double spent, const IpAddress& network, Clock::time_point now, Check& dropped,
                     int& retry_after);
  std::map<IpAddress, Line>::iterator Next(Clock::time_point now);
  void Prune(Clock::time_point now);

  const GateLimits limits_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<IpAddress, Line> lines_;
  std::size_t waiting_ = 0;
  uint64_t runs_ = 0;
  std::size_t prune_at_ = 1024;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kestrel::web
