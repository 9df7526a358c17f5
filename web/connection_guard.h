// Every connection finishes or goes. The server's library has only a time-out of inactivity,
// which a client sending a byte now and then renews for ever; the guard gives each connection a
// deadline instead, for the phase it is in, and a watch thread shuts down the socket of one that
// passed it. The library then reads the end of the stream and closes the connection as it closes
// any other, on its own thread. The guard also keeps the connection budget.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <thread>

#include "web/address.h"
#include "web/connection_budget.h"

namespace kestrel::web {

struct GuardSettings {
  ConnectionLimits limits;
  // From the accept to the end of the first request's headers; also the time an answer has to
  // leave. Dribbling does not extend it.
  std::chrono::milliseconds request{10000};
  // From the accept of an HTTPS connection to its handshake's end and its request line.
  std::chrono::milliseconds handshake{5000};
  // From the end of an answer until the next request on the connection is whole.
  std::chrono::milliseconds idle{30000};
};

class ConnectionGuard {
 public:
  using Clock = std::chrono::steady_clock;
  struct Link;

  explicit ConnectionGuard(const GuardSettings& settings);
  ~ConnectionGuard();
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  // Whether a client would fit now: the look before an accepted socket costs anything more.
  bool MayConnect(const IpAddress& client);
  // A connection the library set up on socket fd. One that no longer fits (another thread took
  // the last slot since MayConnect) is shut down at once, and goes uncounted.
  Link* Opened(int fd, const IpAddress& client, bool tls);
  // The connection ends; called before the library closes the socket, which the guard then no
  // longer touches.
  void Closed(Link* link);

  // The phases of a connection, each on the library's thread that serves it: a request line came
  // (an HTTPS handshake is over); the handler has the request (its own wait bounds it); an answer
  // is queued; the answer has left.
  void RequestBegun(Link* link);
  void Handling(Link* link);
  void Answering(Link* link);
  void Answered(Link* link);

  std::size_t Held();
  // Connections shut down for a deadline so far.
  std::size_t Expired();

  // How often the watch looks for connections past their deadline.
  static constexpr std::chrono::milliseconds kTick{250};
  // Once most of this many connections ended, what malloc kept of them goes back to the system
  // (a TLS session's state is some 40 KB: 1,000 half-open handshakes kept 40 MB).
  static constexpr std::size_t kFlood = 256;

 private:
  void Watch();
  void ShutExpired(Clock::time_point now);
  void HandBackMemory(std::unique_lock<std::mutex>& lock);

  const GuardSettings settings_;
  std::mutex mutex_;
  std::condition_variable wake_;
  ConnectionBudget budget_;
  std::list<Link> links_;
  std::size_t peak_ = 0;  // the most connections held since memory was last handed back
  std::size_t expired_ = 0;
  bool stopping_ = false;
  std::thread watch_;  // last: it starts once the rest is ready
};

}  // namespace kestrel::web
