// The exporter's front door, on GNU libmicrohttpd: a few event-loop threads serve every connection,
// so idle or slow clients cost a descriptor and a little memory, never a thread. Handlers answer
// through a reply they may call later from any thread; until then the connection is suspended,
// not waited on. The web configuration adds HTTPS (served by the library itself) and logins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "programs/kestrel-exporter/basic_auth.h"
#include "programs/kestrel-exporter/exporter.h"
#include "programs/kestrel-exporter/web_config.h"

struct MHD_Daemon;

namespace kestrel::exporter {

struct HttpRequest {
  bool head = false;  // HEAD: the body of the answer is dropped, so nothing costly is worth doing
  std::string path;
  std::string query;           // as sent, still percent-encoded
  std::string scrape_timeout;  // X-Prometheus-Scrape-Timeout-Seconds
  IpAddress client;            // the peer, for the networks unlisted targets may come from
};

// Callable once, from any thread; later calls, and calls after the client left, do nothing.
using HttpReply = std::function<void(Response)>;
using HttpHandler = std::function<void(const HttpRequest&, HttpReply)>;

struct HttpLimits {
  unsigned threads = 2;
  unsigned connections = 1000;
  // One address cannot take every connection; Prometheus itself needs about one per probe in
  // flight, so this stays well above the probes a large site keeps waiting at once.
  unsigned per_address = 1024;
  unsigned idle_timeout_seconds = 30;
  // Request line and headers must fit; a request that does not gets 414 or 431 and is closed.
  std::size_t connection_memory = 32 * 1024;
  int backlog = 4096;
};

class HttpServer {
 public:
  explicit HttpServer(HttpLimits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Before Start: the handler of GET and HEAD on one path.
  void Handle(const std::string& path, HttpHandler handler) { routes_[path] = std::move(handler); }
  // TLS and logins; before Start, or while serving (SIGHUP). Logins change for the next request.
  // A change of TLS starts a new libmicrohttpd daemon on the same listening socket (no client is
  // refused meanwhile), lets the old one finish the probes it holds (up to kTlsHandover) and
  // ends it with its kept-alive connections, whose clients connect again. The listen address
  // cannot change without a restart. False with the reason when the new daemon cannot start:
  // the running one goes on as it was.
  bool Configure(const WebConfig& web, std::string& error);
  // Binds address:port (port 0: any free one) without sharing the port with another process,
  // and starts serving; false with the reason (the system's, for a taken port).
  bool Start(const std::string& address, int port, std::string& error);
  int Port() const { return port_; }
  // Answers the suspended requests 503 and ends every connection.
  void Stop();

  static constexpr std::chrono::seconds kTlsHandover{15};

  struct Exchange;
  struct Daemon;

 private:
  friend struct HttpCallbacks;
  std::unique_ptr<Daemon> StartDaemon(const WebConfig& web, std::string& error);
  // Ends a daemon once its suspended probes are answered or the deadline passes.
  void StopDaemon(std::unique_ptr<Daemon> daemon, std::chrono::steady_clock::time_point deadline);
  // False once stopping: the request is answered 503 rather than left suspended.
  bool Suspend(const std::shared_ptr<Exchange>& exchange);
  void Resumed(const std::shared_ptr<Exchange>& exchange);
  void Route(const std::shared_ptr<Exchange>& exchange, const HttpRequest& request,
             Credentials credentials);
  std::shared_ptr<BasicAuth> Auth();

  HttpLimits limits_;
  std::map<std::string, HttpHandler> routes_;
  WebConfig web_;
  std::shared_ptr<BasicAuth> auth_ =
      std::make_shared<BasicAuth>(std::map<std::string, std::string>());
  // Logins waiting for their bcrypt; past this many a login is answered 503 at once.
  CheckQueue checks_{256};
  std::unique_ptr<Daemon> daemon_;
  int socket_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable resumed_;
  bool stopping_ = false;
};

}  // namespace kestrel::exporter
