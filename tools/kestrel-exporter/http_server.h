// The exporter's front door, on GNU libmicrohttpd: a few event-loop threads serve every connection,
// so idle or slow clients cost a descriptor and a little memory, never a thread. Handlers answer
// through a reply they may call later from any thread; until then the connection is suspended,
// not waited on.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "tools/kestrel-exporter/exporter.h"

struct MHD_Daemon;

namespace kestrel::exporter {

struct HttpRequest {
  bool head = false;  // HEAD: the body of the answer is dropped, so nothing costly is worth doing
  std::string path;
  std::string query;           // as sent, still percent-encoded
  std::string scrape_timeout;  // X-Prometheus-Scrape-Timeout-Seconds
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
  explicit HttpServer(HttpLimits limits) : limits_(limits) {}
  ~HttpServer() { Stop(); }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Before Start: the handler of GET and HEAD on one path.
  void Handle(const std::string& path, HttpHandler handler) { routes_[path] = std::move(handler); }
  // Binds address:port (port 0: any free one) without sharing the port with another process,
  // and starts serving; false with the reason (the system's, for a taken port).
  bool Start(const std::string& address, int port, std::string& error);
  int Port() const { return port_; }
  // Answers the suspended requests 503 and ends every connection.
  void Stop();

  struct Exchange;

 private:
  friend struct HttpCallbacks;
  // False once stopping: the request is answered 503 rather than left suspended.
  bool Suspend(const std::shared_ptr<Exchange>& exchange);
  void Resumed(const std::shared_ptr<Exchange>& exchange);
  void Route(const std::shared_ptr<Exchange>& exchange, const HttpRequest& request);

  HttpLimits limits_;
  std::map<std::string, HttpHandler> routes_;
  MHD_Daemon* daemon_ = nullptr;
  int socket_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  bool stopping_ = false;
  std::set<std::shared_ptr<Exchange>> suspended_;
};

}  // namespace kestrel::exporter
