// The front door, on GNU libmicrohttpd: a few event-loop threads serve every connection, so idle
// or slow clients cost a descriptor and a little memory, never a thread. The handler answers
// through a reply it may call later from any thread; until then the connection is suspended, not
// waited on. What reaches the handler has passed the server's own checks: GET or HEAD, no body,
// a client certificate as the TLS settings ask. HTTPS is served by the library itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "web/http.h"
#include "web/web_config.h"

struct MHD_Daemon;

namespace kestrel::web {

struct HttpLimits {
  unsigned threads = 2;
  unsigned connections = 1000;
  // One address cannot take every connection; Prometheus itself needs about one per scrape in
  // flight, so this stays well above the scrapes a large site keeps waiting at once.
  unsigned per_address = 1024;
  unsigned idle_timeout_seconds = 30;
  // Request line and headers must fit; a request that does not gets 414 or 431 and is closed.
  std::size_t connection_memory = 32 * 1024;
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
  // refused meanwhile), lets the old one finish the requests it holds suspended (up to
  // kTlsHandover) and ends it with its kept-alive connections, whose clients connect again. The
  // listen address cannot change without a restart. False with the reason when the new daemon
  // cannot start: the running one goes on as it was.
  bool SetTls(const WebConfig& web, std::string& error);
  // Binds address:port (port 0: any free one) without sharing the port with another process,
  // and starts serving; false with the reason (the system's, for a taken port).
  bool Start(const std::string& address, int port, std::string& error);
  int Port() const { return port_; }
  // Answers the suspended requests 503 and ends every connection.
  void Stop();

  static constexpr std::chrono::seconds kTlsHandover{15};
  // How long the answers given at a stop may take to leave.
  static constexpr std::chrono::seconds kLastAnswers{2};

  struct Exchange;
  struct Daemon;

 private:
  friend struct HttpCallbacks;
  std::unique_ptr<Daemon> StartDaemon(bool tls, const TlsServerConfig& settings,
                                      std::string& error);
  // Ends a daemon once its suspended requests are answered or the deadline passes.
  void StopDaemon(std::unique_ptr<Daemon> daemon, std::chrono::steady_clock::time_point deadline);
  // False once stopping: the request is answered 503 rather than left suspended.
  bool Suspend(const std::shared_ptr<Exchange>& exchange);
  void Resumed(const std::shared_ptr<Exchange>& exchange);
  // Hands the request to the handler with a reply that answers this exchange.
  void Serve(const std::shared_ptr<Exchange>& exchange, const Request& request);

  const HttpLimits limits_;
  const Handler handler_;
  bool tls_ = false;
  TlsServerConfig tls_server_;
  std::unique_ptr<Daemon> daemon_;
  int socket_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable resumed_;
  bool stopping_ = false;
};

}  // namespace kestrel::web
