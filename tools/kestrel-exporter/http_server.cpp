#include "tools/kestrel-exporter/http_server.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kestrel::exporter {

struct HttpServer::Exchange {
  std::string uri;  // the request target as sent, before the library splits and decodes it
  std::mutex mutex;
  MHD_Connection* connection = nullptr;
  bool checked = false;  // headers seen and accepted
  bool routed = false;   // handed to its handler
  bool suspended = false;
  bool answered = false;
  bool closed = false;  // the connection ended: a late answer goes nowhere
  Response answer;
};

namespace {

using Exchange = HttpServer::Exchange;

// The library's connection state holds one of these per request, from the request line to the
// end of the exchange.
using Holder = std::shared_ptr<Exchange>;

MHD_Result Queue(MHD_Connection* connection, Response response,
                 const std::pair<const char*, const char*>& extra = {nullptr, nullptr}) {
  auto* body = new std::string(std::move(response.body));
  MHD_Response* out = MHD_create_response_from_buffer_with_free_callback_cls(
      body->size(), body->data(), [](void* text) { delete static_cast<std::string*>(text); }, body);
  if (out == nullptr) {
    delete body;
    return MHD_NO;
  }
  MHD_add_response_header(out, MHD_HTTP_HEADER_CONTENT_TYPE, response.content_type.c_str());
  if (extra.first != nullptr) MHD_add_response_header(out, extra.first, extra.second);
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), out);
  MHD_destroy_response(out);
  return queued;
}

Response Plain(int status, const std::string& text) {
  Response response;
  response.status = status;
  response.content_type = "text/plain; charset=utf-8";
  response.body = text + "\n";
  return response;
}

bool HasBody(MHD_Connection* connection) {
  const char* length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (length != nullptr && std::strcmp(length, "0") != 0) return true;
  return MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                     MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
}

// A socket of our own rather than the library's: its errors carry the system's reason, the
// backlog is ours to set, and SO_REUSEPORT is never set, so a second exporter cannot share the
// port and take half the requests.
int ListenSocket(const std::string& address, int port, int backlog, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
  const bool v6 = address.find(':') != std::string::npos;
  const std::string where = (v6 ? "[" + address + "]" : address) + ":" + service;
  if (resolved != 0) {
    error = "cannot listen on " + where + ": " + gai_strerror(resolved);
    return -1;
  }
  int fd = -1;
  for (const addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
    fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) {
      error = "cannot listen on " + where + ": " + std::strerror(errno);
      continue;
    }
    // Address reuse only lets a restart bind past connections lingering in TIME_WAIT; on Linux
    // it never lets two listeners share a port.
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(fd, backlog) != 0) {
      error = "cannot listen on " + where + ": " + std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return 0;
  if (bound.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

// What the library says while it starts (why it refused); later it would only repeat, once per
// refused client, what the limits are for.
struct StartLog {
  std::mutex mutex;
  bool starting = false;
  std::string text;
};

void Log(void* cls, const char* format, va_list arguments) {
  auto* log = static_cast<StartLog*>(cls);
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  std::lock_guard<std::mutex> lock(log->mutex);
  if (!log->starting) return;
  log->text = line;
  while (!log->text.empty() && (log->text.back() == '\n' || log->text.back() == ' ')) {
    log->text.pop_back();
  }
}

StartLog& TheStartLog() {
  static StartLog log;
  return log;
}

}  // namespace

// The library's callbacks, with access to the server's insides.
struct HttpCallbacks {
  static void* Begin(void*, const char* uri, MHD_Connection* connection) {
    auto* holder = new Holder(std::make_shared<Exchange>());
    (*holder)->uri = uri != nullptr ? uri : "";
    (*holder)->connection = connection;
    return holder;
  }

  static void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    auto* holder = static_cast<Holder*>(*state);
    if (holder == nullptr) return;
    {
      std::lock_guard<std::mutex> lock((*holder)->mutex);
      (*holder)->closed = true;
    }
    delete holder;
    *state = nullptr;
  }

  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char*, size_t* upload_size,
                           void** state) {
    auto* server = static_cast<HttpServer*>(cls);
    auto* holder = static_cast<Holder*>(*state);
    if (holder == nullptr) return MHD_NO;
    const std::shared_ptr<Exchange> exchange = *holder;
    std::unique_lock<std::mutex> lock(exchange->mutex);
    if (exchange->routed) {
      // Resumed: the answer is there.
      if (!exchange->answered) return MHD_YES;
      Response answer = std::move(exchange->answer);
      lock.unlock();
      return Queue(connection, std::move(answer));
    }
    if (!exchange->checked) {
      exchange->checked = true;
      lock.unlock();
      // The first call sees the headers only. Answering now, before the body is read, makes
      // the library close the connection after the answer instead of reading what the client
      // still sends; any other answer waits for the next call, or the connection could not be
      // kept alive.
      if (HasBody(connection)) {
        return Queue(connection,
                     Plain(MHD_HTTP_CONTENT_TOO_LARGE, "request bodies are not accepted"),
                     {MHD_HTTP_HEADER_CONNECTION, "close"});
      }
      if (std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0 &&
          std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
        return Queue(connection, Plain(MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD are served"),
                     {MHD_HTTP_HEADER_ALLOW, "GET, HEAD"});
      }
      return MHD_YES;
    }
    *upload_size = 0;
    exchange->routed = true;
    lock.unlock();

    HttpRequest request;
    request.head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    request.path = url;
    const std::size_t question = exchange->uri.find('?');
    if (question != std::string::npos) request.query = exchange->uri.substr(question + 1);
    const char* timeout = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                      "X-Prometheus-Scrape-Timeout-Seconds");
    if (timeout != nullptr) request.scrape_timeout = timeout;
    server->Route(exchange, request);

    lock.lock();
    if (!exchange->answered) {
      if (server->Suspend(exchange)) {
        exchange->suspended = true;
        MHD_suspend_connection(connection);
        return MHD_YES;
      }
      exchange->answered = true;
      exchange->answer = Plain(MHD_HTTP_SERVICE_UNAVAILABLE, "the exporter is stopping");
    }
    Response answer = std::move(exchange->answer);
    lock.unlock();
    return Queue(connection, std::move(answer));
  }
};

void HttpServer::Route(const std::shared_ptr<Exchange>& exchange, const HttpRequest& request) {
  HttpReply reply = [this, exchange](Response response) {
    std::lock_guard<std::mutex> lock(exchange->mutex);
    if (exchange->answered || exchange->closed) return;
    exchange->answered = true;
    exchange->answer = std::move(response);
    if (!exchange->suspended) return;  // the library's thread queues it when the handler returns
    exchange->suspended = false;
    Resumed(exchange);
    MHD_resume_connection(exchange->connection);
  };
  const auto route = routes_.find(request.path);
  if (route == routes_.end()) {
    reply(Plain(MHD_HTTP_NOT_FOUND, "not found"));
    return;
  }
  route->second(request, std::move(reply));
}

bool HttpServer::Suspend(const std::shared_ptr<Exchange>& exchange) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return false;
  suspended_.insert(exchange);
  return true;
}

void HttpServer::Resumed(const std::shared_ptr<Exchange>& exchange) {
  std::lock_guard<std::mutex> lock(mutex_);
  suspended_.erase(exchange);
}

bool HttpServer::Start(const std::string& address, int port, std::string& error) {
  socket_ = ListenSocket(address, port, limits_.backlog, error);
  if (socket_ < 0) return false;
  port_ = BoundPort(socket_);
  StartLog& log = TheStartLog();
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.starting = true;
    log.text.clear();
  }
  daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, nullptr,
      nullptr, &HttpCallbacks::Access, this, MHD_OPTION_LISTEN_SOCKET, socket_,
      MHD_OPTION_THREAD_POOL_SIZE, limits_.threads, MHD_OPTION_CONNECTION_LIMIT,
      limits_.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.per_address,
      MHD_OPTION_CONNECTION_TIMEOUT, limits_.idle_timeout_seconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.connection_memory, MHD_OPTION_URI_LOG_CALLBACK,
      &HttpCallbacks::Begin, this, MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::Completed, this,
      MHD_OPTION_EXTERNAL_LOGGER, &Log, &log, MHD_OPTION_END);
  std::lock_guard<std::mutex> lock(log.mutex);
  log.starting = false;
  if (daemon_ == nullptr) {
    error = "cannot start the HTTP server" + (log.text.empty() ? "" : ": " + log.text);
    ::close(socket_);
    socket_ = -1;
    return false;
  }
  return true;
}

void HttpServer::Stop() {
  if (daemon_ == nullptr) return;
  std::set<std::shared_ptr<Exchange>> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    waiting = suspended_;
  }
  // The library must not be stopped with suspended connections: each gets its answer now.
  for (const auto& exchange : waiting) {
    std::lock_guard<std::mutex> lock(exchange->mutex);
    if (exchange->answered || exchange->closed) continue;
    exchange->answered = true;
    exchange->answer = Plain(MHD_HTTP_SERVICE_UNAVAILABLE, "the exporter is stopping");
    exchange->suspended = false;
    MHD_resume_connection(exchange->connection);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_.clear();
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  ::close(socket_);
  socket_ = -1;
}

}  // namespace kestrel::exporter
