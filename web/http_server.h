// The front door, on GNU libmicrohttpd: a few event-loop threads serve every connection, so idle
// or slow clients cost a descriptor and a little memory, never a thread. The handler answers
// through a reply it may call later from any thread; until then the connection is suspended, not
// waited on. What reaches the handler has passed the server's own checks (request_rules.h): GET
// or HEAD, no body, unambiguous framing, a client certificate as the TLS settings ask. HTTPS is
// served by the library itself. Every connection is counted in a budget and has a deadline for
// the phase it is in (connection_guard.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "web/connection_budget.h"
#include "web/connection_guard.h"
#include "web/http.h"
#include "web/web_config.h"

struct MHD_Daemon;

namespace kestrel::web {

struct HttpLimits {
  unsigned threads = 2;
  ConnectionLimits connections;
  // A request whole from the accept (or, on a kept-alive connection, from the end of the answer
  // before, within the idle time); an HTTPS client's handshake and request line from the accept.
  std::chrono::milliseconds request_timeout{10000};
  std::chrono::milliseconds handshake_timeout{5000};
  std::chrono::seconds idle_timeout{30};
  // Request line and headers must fit; a request that does not gets 414 or 431 and is closed.
  // Above 32 KB libmicrohttpd maps each connection's memory of its own rather than taking it
  // from malloc, and unmaps it when the connection ends: 16,000 dribbling connections that the
  // deadlines close and the attacker reopens grew the exporter by 145 MB with 32 KB, 76 MB now.
  std::size_t connection_memory = 36 * 1024;
  int backlog = 4096;
};

class HttpServer {
 public:
  // handler serves every request that passes the server's checks.
  HttpServer(HttpLimits limits, Handler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // HTTPS with these settings (web.tls) or plain HTTP; before Start, or while serving (SIGHUP).
  // A change starts a new libmicrohttpd daemon on the same listening socket (no client is
  // refused meanwhile) and answers at once; the server's own thread lets the old daemon finish
  // the requests it holds suspended (up to kTlsHandover) and ends it with its kept-alive
  // connections, whose clients connect again. The listen address cannot change without a
  // restart. False with the reason when the new daemon cannot start: the running one goes on.
  bool SetTls(const WebConfig& web, std::string& error);
  // Binds address:port (port 0: any free one) without sharing the port with another process,
  // and starts serving; false with the reason (the system's, for a taken port).
  bool Start(const std::string& address, int port, std::string& error);
  int Port() const { return port_; }
  // Answers the suspended requests 503 and ends every connection.
  void Stop();
  // Connections held now, and those ended so far for passing a deadline.
  std::size_t Held() { return guard_.Held(); }
  std::size_t Expired() { return guard_.Expired(); }

  static constexpr std::chrono::seconds kTlsHandover{15};
  // How long the answers given at a stop may take to leave.
  static constexpr std::chrono::seconds kLastAnswers{2};

  struct Exchange;
  struct Daemon;

 private:
  friend struct HttpCallbacks;
  std::unique_ptr<Daemon> StartDaemon(bool tls, const TlsServerConfig& settings,
                                      std::string& error);
  // Ends a daemon once its suspended requests are answered or the deadline passes (at once when
  // the server stops).
  void StopDaemon(std::unique_ptr<Daemon> daemon, std::chrono::steady_clock::time_point deadline);
  // The thread that ends the daemons a TLS change replaced, so that a reload never waits for
  // the requests they still hold.
  void Retire();
  // False once stopping: the request is answered 503 rather than left suspended.
  bool Suspend(const std::shared_ptr<Exchange>& exchange);
  void Resumed(const std::shared_ptr<Exchange>& exchange);
  // Hands the request to the handler with a reply that answers this exchange.
  void Serve(const std::shared_ptr<Exchange>& exchange, const Request& request);

  const HttpLimits limits_;
  const Handler handler_;
  ConnectionGuard guard_;
  bool tls_ = false;
  TlsServerConfig tls_server_;
  std::unique_ptr<Daemon> daemon_;
  int socket_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable resumed_;
  bool stopping_ = false;
  // Daemons a TLS change replaced, with the time they may take to answer what they hold; under
  // mutex_.
  std::deque<std::pair<std::unique_ptr<Daemon>, std::chrono::steady_clock::time_point>> retiring_;
  std::thread retirer_;
};

}  // namespace kestrel::web
