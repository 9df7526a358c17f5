#include "web/http_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "web/request_rules.h"
#include "web/web_tls.h"

namespace kestrel::web {

// One libmicrohttpd daemon on the listening socket, with the TLS settings it was started with;
// a TLS change replaces it.
struct HttpServer::Daemon {
  HttpServer* server = nullptr;
  MHD_Daemon* mhd = nullptr;
  int fd = -1;  // a duplicate of the listening socket, this daemon's own
  bool tls = false;
  ClientAuth client_auth = ClientAuth::kNoClientCert;
  std::string cert, key, trust, priorities;       // the library keeps pointers to these
  std::set<std::shared_ptr<Exchange>> suspended;  // under the server's mutex
  bool stopping = false;                          // likewise; nothing more may be suspended
  // Answered as the daemon stops and not yet sent, under the server's mutex; set once the
  // exchanges that end must say so.
  std::set<std::shared_ptr<Exchange>> draining;
  std::atomic<bool> drains{false};
};

struct HttpServer::Exchange {
  Daemon* daemon = nullptr;
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
  for (const auto& [name, value] : response.headers) {
    MHD_add_response_header(out, name.c_str(), value.c_str());
  }
  if (extra.first != nullptr) MHD_add_response_header(out, extra.first, extra.second);
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), out);
  MHD_destroy_response(out);
  return queued;
}

ConnectionGuard::Link* LinkOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<ConnectionGuard::Link*>(info->socket_context) : nullptr;
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

MHD_Result AddHeader(void* cls, MHD_ValueKind, const char* name, const char* value) {
  static_cast<HeaderList*>(cls)->emplace_back(name != nullptr ? name : "",
                                              value != nullptr ? value : "");
  return MHD_YES;
}

}  // namespace

// The library's callbacks, with access to the server's insides.
struct HttpCallbacks {
  static void* Begin(void* cls, const char* uri, MHD_Connection* connection) {
    static_cast<HttpServer::Daemon*>(cls)->server->guard_.RequestBegun(LinkOf(connection));
    auto* holder = new Holder(std::make_shared<Exchange>());
    (*holder)->daemon = static_cast<HttpServer::Daemon*>(cls);
    (*holder)->uri = uri != nullptr ? uri : "";
    (*holder)->connection = connection;
    return holder;
  }

  static void Completed(void* cls, MHD_Connection* connection, void** state,
                        MHD_RequestTerminationCode) {
    auto& guard = static_cast<HttpServer::Daemon*>(cls)->server->guard_;
    guard.Answered(LinkOf(connection));
    auto* holder = static_cast<Holder*>(*state);
    if (holder == nullptr) return;
    {
      std::lock_guard<std::mutex> lock((*holder)->mutex);
      (*holder)->closed = true;
    }
    auto& daemon = *static_cast<HttpServer::Daemon*>(cls);
    if (daemon.drains) {
      std::lock_guard<std::mutex> lock(daemon.server->mutex_);
      daemon.draining.erase(*holder);
      daemon.server->resumed_.notify_all();
    }
    delete holder;
    *state = nullptr;
  }

  // Queues an answer, which then has the request time to leave.
  static MHD_Result Answer(HttpServer::Daemon& daemon, MHD_Connection* connection,
                           Response response) {
    daemon.server->guard_.Answering(LinkOf(connection));
    return Queue(connection, std::move(response));
  }

  // The first call sees the headers only. Answering now, before the body is read, makes the
  // library close the connection after the answer instead of reading what the client still
  // sends; any other answer waits for the next call, or the connection could not be kept alive.
  static MHD_Result Screen(HttpServer::Daemon& daemon, MHD_Connection* connection,
                           const char* method, const char* version) {
    HeaderList headers;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &AddHeader, &headers);
    std::string certificate;
    if (daemon.tls) {
      // The library asks for a certificate whenever it has CAs; what a missing or untrusted one
      // means is the policy's. The handshake is over by now, so the refusal is an answer.
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
      certificate = ClientCertificateProblem(info != nullptr ? info->tls_session : nullptr,
                                             daemon.client_auth);
    }
    Refusal refusal =
        ScreenRequest(method, version != nullptr ? version : "", headers, certificate);
    if (refusal.status == 0) return MHD_YES;
    Response answer = PlainText(refusal.status, refusal.text);
    answer.headers = std::move(refusal.headers);
    return Answer(daemon, connection, std::move(answer));
  }

  static Request Copy(const Exchange& exchange, MHD_Connection* connection, const char* url,
                      const char* method) {
    Request request;
    request.method = method;
    request.path = url;
    const std::size_t question = exchange.uri.find('?');
    if (question != std::string::npos) request.query = exchange.uri.substr(question + 1);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &AddHeader, &request.headers);
    const MHD_ConnectionInfo* peer =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.client = IpAddress::FromSockaddr(peer != nullptr ? peer->client_addr : nullptr);
    return request;
  }

  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char*,
                           size_t* upload_size, void** state) {
    auto& daemon = *static_cast<HttpServer::Daemon*>(cls);
    HttpServer* server = daemon.server;
    auto* holder = static_cast<Holder*>(*state);
    if (holder == nullptr) return MHD_NO;
    const std::shared_ptr<Exchange> exchange = *holder;
    std::unique_lock<std::mutex> lock(exchange->mutex);
    if (exchange->routed) {
      // Resumed: the answer is there.
      if (!exchange->answered) return MHD_YES;
      Response answer = std::move(exchange->answer);
      lock.unlock();
      return Answer(daemon, connection, std::move(answer));
    }
    if (!exchange->checked) {
      exchange->checked = true;
      lock.unlock();
      return Screen(daemon, connection, method, version);
    }
    *upload_size = 0;
    exchange->routed = true;
    lock.unlock();
    server->guard_.Handling(LinkOf(connection));

    server->Serve(exchange, Copy(*exchange, connection, url, method));

    lock.lock();
    if (!exchange->answered) {
      if (server->Suspend(exchange)) {
        exchange->suspended = true;
        MHD_suspend_connection(connection);
        return MHD_YES;
      }
      exchange->answered = true;
      exchange->answer = PlainText(MHD_HTTP_SERVICE_UNAVAILABLE, "the exporter is stopping");
    }
    Response answer = std::move(exchange->answer);
    lock.unlock();
    return Answer(daemon, connection, std::move(answer));
  }

  static void Notify(void* cls, MHD_Connection* connection, void** socket_context,
                     MHD_ConnectionNotificationCode code) {
    auto& daemon = *static_cast<HttpServer::Daemon*>(cls);
    ConnectionGuard& guard = daemon.server->guard_;
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      guard.Closed(static_cast<ConnectionGuard::Link*>(*socket_context));
      *socket_context = nullptr;
      return;
    }
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* peer =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (fd == nullptr) return;
    *socket_context = guard.Opened(
        fd->connect_fd, IpAddress::FromSockaddr(peer != nullptr ? peer->client_addr : nullptr),
        daemon.tls);
  }

  static MHD_Result MayConnect(void* cls, const sockaddr* address, socklen_t) {
    auto& daemon = *static_cast<HttpServer::Daemon*>(cls);
    return daemon.server->guard_.MayConnect(IpAddress::FromSockaddr(address)) ? MHD_YES : MHD_NO;
  }
};

namespace {

GuardSettings GuardOf(const HttpLimits& limits) {
  GuardSettings settings;
  settings.limits = limits.connections;
  settings.request = limits.request_timeout;
  settings.handshake = limits.handshake_timeout;
  settings.idle = limits.idle_timeout;
  return settings;
}

}  // namespace

HttpServer::HttpServer(HttpLimits limits, Handler handler)
    : limits_(limits), handler_(std::move(handler)), guard_(GuardOf(limits)) {}

HttpServer::~HttpServer() {
  Stop();
}

void HttpServer::Serve(const std::shared_ptr<Exchange>& exchange, const Request& request) {
  handler_(request, [this, exchange](Response response) {
    std::lock_guard<std::mutex> lock(exchange->mutex);
    if (exchange->answered || exchange->closed) return;
    exchange->answered = true;
    exchange->answer = std::move(response);
    if (!exchange->suspended) return;  // the library's thread queues it when the handler returns
    exchange->suspended = false;
    Resumed(exchange);
    MHD_resume_connection(exchange->connection);
  });
}

bool HttpServer::Suspend(const std::shared_ptr<Exchange>& exchange) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || exchange->daemon->stopping) return false;
  exchange->daemon->suspended.insert(exchange);
  return true;
}

void HttpServer::Resumed(const std::shared_ptr<Exchange>& exchange) {
  std::lock_guard<std::mutex> lock(mutex_);
  exchange->daemon->suspended.erase(exchange);
  resumed_.notify_all();
}

bool HttpServer::SetTls(const WebConfig& web, std::string& error) {
  if (daemon_ != nullptr && (web.tls != tls_ || web.tls_server != tls_server_)) {
    std::unique_ptr<Daemon> fresh = StartDaemon(web.tls, web.tls_server, error);
    if (fresh == nullptr) return false;
    std::unique_ptr<Daemon> old = std::move(daemon_);
    daemon_ = std::move(fresh);
    // Both accept on the socket for a moment; from here on only the new one does.
    MHD_quiesce_daemon(old->mhd);
    std::lock_guard<std::mutex> lock(mutex_);
    retiring_.emplace_back(std::move(old), std::chrono::steady_clock::now() + kTlsHandover);
    if (!retirer_.joinable()) retirer_ = std::thread([this] { Retire(); });
    resumed_.notify_all();
  }
  tls_ = web.tls;
  tls_server_ = web.tls_server;
  return true;
}

std::unique_ptr<HttpServer::Daemon> HttpServer::StartDaemon(bool tls_on, const TlsServerConfig& tls,
                                                            std::string& error) {
  auto daemon = std::make_unique<Daemon>();
  daemon->server = this;
  daemon->fd = fcntl(socket_, F_DUPFD_CLOEXEC, 0);
  if (daemon->fd < 0) {
    error = std::string("cannot start the HTTP server: ") + std::strerror(errno);
    return nullptr;
  }
  std::vector<MHD_OptionItem> tls_options;
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (tls_on) {
    // With epoll, libmicrohttpd 0.9.75 spins while a TLS handshake waits for the client: a
    // connection is taken off its list of ready sockets only when one of its own reads comes
    // back empty, and the handshake's reads are GnuTLS's, so three bytes of a ClientHello keep a
    // thread calling recvfrom and epoll_wait(0) until the client goes (15,000 times a second).
    // poll() asks the kernel each time instead; it costs a pass over the daemon's sockets per
    // wake, which the connection budget bounds.
    flags = MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    daemon->tls = true;
    daemon->client_auth = tls.client_auth;
    daemon->cert = tls.cert_pem;
    daemon->key = tls.key_pem;
    daemon->priorities = TlsPriorities(tls.min_version);
    // The library asks clients for a certificate only when it has CAs to name; without a
    // client_ca_file the server's own certificate stands in. Such a request names that
    // certificate as the one CA, so Go clients (Prometheus) send a certificate only when it
    // comes from there: RequestClientCert and RequireAnyClientCert work best with a CA file.
    if (tls.client_auth != ClientAuth::kNoClientCert) {
      daemon->trust = tls.client_ca_pem.empty() ? tls.cert_pem : tls.client_ca_pem;
    }
    flags |= MHD_USE_TLS;
    tls_options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, daemon->cert.data()});
    tls_options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, daemon->key.data()});
    tls_options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, daemon->priorities.data()});
    if (!daemon->trust.empty()) {
      tls_options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, daemon->trust.data()});
    }
  }
  tls_options.push_back({MHD_OPTION_END, 0, nullptr});
  StartLog& log = TheStartLog();
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.starting = true;
    log.text.clear();
  }
  // The guard keeps the budget over every thread and daemon; the library's own limit splits
  // evenly between its threads, so each thread may hold the whole budget.
  const auto limit = static_cast<unsigned>(
      std::min<std::size_t>(limits_.connections.total * limits_.threads, UINT_MAX));
  daemon->mhd = MHD_start_daemon(
      flags, 0, &HttpCallbacks::MayConnect, daemon.get(), &HttpCallbacks::Access, daemon.get(),
      MHD_OPTION_LISTEN_SOCKET, daemon->fd, MHD_OPTION_THREAD_POOL_SIZE, limits_.threads,
      MHD_OPTION_CONNECTION_LIMIT, limit, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(limits_.idle_timeout.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits_.connection_memory, MHD_OPTION_URI_LOG_CALLBACK, &HttpCallbacks::Begin, daemon.get(),
      MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::Completed, daemon.get(),
      MHD_OPTION_NOTIFY_CONNECTION, &HttpCallbacks::Notify, daemon.get(),
      MHD_OPTION_EXTERNAL_LOGGER, &Log, &log, MHD_OPTION_ARRAY, tls_options.data(), MHD_OPTION_END);
  std::lock_guard<std::mutex> lock(log.mutex);
  log.starting = false;
  if (daemon->mhd == nullptr) {
    error = "cannot start the HTTP server" + (log.text.empty() ? "" : ": " + log.text);
    ::close(daemon->fd);
    return nullptr;
  }
  return daemon;
}

bool HttpServer::Start(const std::string& address, int port, std::string& error) {
  socket_ = ListenSocket(address, port, limits_.backlog, error);
  if (socket_ < 0) return false;
  port_ = BoundPort(socket_);
  daemon_ = StartDaemon(tls_, tls_server_, error);
  if (daemon_ == nullptr) {
    ::close(socket_);
    socket_ = -1;
    return false;
  }
  return true;
}

void HttpServer::StopDaemon(std::unique_ptr<Daemon> daemon,
                            std::chrono::steady_clock::time_point deadline) {
  std::set<std::shared_ptr<Exchange>> waiting;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    resumed_.wait_until(lock, deadline, [&] { return stopping_ || daemon->suspended.empty(); });
    waiting = daemon->suspended;
    daemon->suspended.clear();
    daemon->stopping = true;
  }
  // The library must not be stopped with suspended connections: each gets its answer now, and
  // a moment to send it before the connections close.
  daemon->drains = true;
  for (const auto& exchange : waiting) {
    std::lock_guard<std::mutex> lock(exchange->mutex);
    if (exchange->closed) continue;
    {
      std::lock_guard<std::mutex> server_lock(mutex_);
      daemon->draining.insert(exchange);
    }
    // Its own answer may have come meanwhile and resumed it already.
    if (exchange->answered) continue;
    exchange->answered = true;
    exchange->answer = PlainText(MHD_HTTP_SERVICE_UNAVAILABLE, "the exporter is stopping");
    exchange->suspended = false;
    MHD_resume_connection(exchange->connection);
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    resumed_.wait_for(lock, kLastAnswers, [&] { return daemon->draining.empty(); });
    daemon->draining.clear();
  }
  // Quiesced first, the library leaves the socket to us rather than closing it.
  MHD_quiesce_daemon(daemon->mhd);
  MHD_stop_daemon(daemon->mhd);
  ::close(daemon->fd);
}

void HttpServer::Retire() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    resumed_.wait(lock, [this] { return stopping_ || !retiring_.empty(); });
    if (retiring_.empty()) return;
    auto [daemon, deadline] = std::move(retiring_.front());
    retiring_.pop_front();
    lock.unlock();
    StopDaemon(std::move(daemon), deadline);
    lock.lock();
  }
}

void HttpServer::Stop() {
  if (daemon_ == nullptr) return;
  std::thread retirer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    retirer = std::move(retirer_);
  }
  resumed_.notify_all();
  if (retirer.joinable()) retirer.join();
  StopDaemon(std::move(daemon_), std::chrono::steady_clock::now());
  ::close(socket_);
  socket_ = -1;
}

}  // namespace kestrel::web
