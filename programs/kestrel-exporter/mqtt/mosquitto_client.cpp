// The broker connection on libmosquitto. Its own thread runs the library's loop and does every
// connection try, so that a failed try is seen and classed here and retried with our back-off:
// the library's loop_start thread ends for good on a lookup or TLS failure, which would leave the
// exporter silent until a restart.
#include <mosquitto.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "programs/kestrel-exporter/mqtt/client.h"

namespace kestrel::exporter::mqtt {

namespace {

constexpr int kQos = 1;
// How long one turn of the library's loop may wait for the socket: also how soon a stop is seen.
constexpr int kLoopMs = 200;

// A connection refused under TLS: libmosquitto 2.0 takes the socket's error while it starts the
// handshake and then waits on the dead socket until the keep-alive ends. The socket tells.
bool RefusedUnderTls(mosquitto* mosq, int& error) {
  pollfd socket{mosquitto_socket(mosq), POLLOUT, 0};
  if (socket.fd < 0 || ::poll(&socket, 1, 0) != 1 || (socket.revents & (POLLHUP | POLLERR)) == 0) {
    return false;
  }
  socklen_t size = sizeof error;
  error = 0;
  ::getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &size);
  if (error == 0) error = ECONNREFUSED;
  return true;
}

void InitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

class MosquittoClient : public Client {
 public:
  MosquittoClient(const MqttConfig& config, Message will, std::vector<std::string> subscriptions,
                  Events events)
      : config_(config),
        will_(std::move(will)),
        subscriptions_(std::move(subscriptions)),
        events_(std::move(events)),
        backoff_(config.reconnect_seconds) {
    InitialiseOnce();
    thread_ = std::thread([this] { Run(); });
  }

  ~MosquittoClient() override { Stop(Message(), Clock::now()); }

  void Publish(Message message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // The handle lives as long as the thread; sending from here is what the library's threaded
    // mode is for (its own locks, and a wake-up of its loop).
    if (mosq_ == nullptr || !connected_ || stopping_) return;
    mosquitto_publish(mosq_, nullptr, message.topic.c_str(),
                      static_cast<int>(message.payload.size()), message.payload.data(), kQos,
                      message.retain);
  }

  void Stop(const Message& last, Clock::time_point deadline) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
      last_ = last;
      deadline_ = deadline;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    mosquitto* mosq = Make();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      mosq_ = mosq;
    }
    if (mosq == nullptr) {
      events_.failed({"other", "cannot set up an MQTT client: " + setup_problem_});
      return;
    }
    while (!Stopping()) {
      if (!socket_open_ && !TryWhenDue(mosq)) continue;
      int error = 0;
      if (config_.secure && !connected_ && RefusedUnderTls(mosq, error)) {
        mosquitto_disconnect(mosq);
        Drop(Classify(MOSQ_ERR_ERRNO, error));
        continue;
      }
      errno = 0;
      const int rc = mosquitto_loop(mosq, kLoopMs, 1);
      if (rc != MOSQ_ERR_SUCCESS) Drop(Classify(rc, errno));
    }
    Goodbye(mosq);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      mosq_ = nullptr;
    }
    mosquitto_destroy(mosq);
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }

  // The handle with everything but the connection; null with setup_problem_ when it cannot be.
  mosquitto* Make() {
    mosquitto* mosq = mosquitto_new(config_.client_id.c_str(), true, this);
    if (mosq == nullptr) {
      setup_problem_ = std::strerror(errno);
      return nullptr;
    }
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, &MosquittoClient::OnConnect);
    mosquitto_message_callback_set(mosq, &MosquittoClient::OnMessage);
    mosquitto_log_callback_set(mosq, &MosquittoClient::OnLog);
    int rc = MOSQ_ERR_SUCCESS;
    if (!config_.user.empty()) {
      rc = mosquitto_username_pw_set(mosq, config_.user.c_str(),
                                     config_.password.empty() ? nullptr : config_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !will_.topic.empty()) {
      rc = mosquitto_will_set(mosq, will_.topic.c_str(), static_cast<int>(will_.payload.size()),
                              will_.payload.data(), kQos, true);
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.secure) rc = SetUpTls(mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
      setup_problem_ = mosquitto_strerror(rc);
      mosquitto_destroy(mosq);
      return nullptr;
    }
    return mosq;
  }

  int SetUpTls(mosquitto* mosq) {
    auto path = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
    if (config_.ca_path.empty()) mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    int rc = mosquitto_tls_set(mosq, path(config_.ca_path), nullptr, path(config_.cert_path),
                               path(config_.key_path), nullptr);
    if (rc == MOSQ_ERR_SUCCESS && config_.insecure_skip_verify) {
      rc = mosquitto_tls_opts_set(mosq, SSL_VERIFY_NONE, nullptr, nullptr);
      if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(mosq, true);
    }
    return rc;
  }

  // Waits for the next try's time (false: woken early) or makes the try.
  bool TryWhenDue(mosquitto* mosq) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (wake_.wait_until(lock, next_try_, [this] { return stopping_; })) return false;
    }
    refused_ = Problem();
    library_error_.clear();
    errno = 0;
    const int rc = tried_ ? mosquitto_reconnect_async(mosq)
                          : mosquitto_connect_async(mosq, config_.host.c_str(), config_.port,
                                                    static_cast<int>(config_.keep_alive_seconds));
    tried_ = true;
    if (rc != MOSQ_ERR_SUCCESS) {
      Drop(Classify(rc, errno));
      return false;
    }
    socket_open_ = true;
    return true;
  }

  // The try failed or the connection ended: said once, and the next try after the back-off.
  void Drop(const Problem& problem) {
    const bool was_connected = connected_.exchange(false);
    socket_open_ = false;
    // A connection that was up starts the back-off again; failed tries double it.
    if (was_connected) backoff_ = config_.reconnect_seconds;
    next_try_ = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(backoff_ * 1e6));
    backoff_ = std::min(backoff_ * 2, std::max(config_.reconnect_max_seconds, backoff_));
    events_.failed(problem);
  }

  // The words say what happened, not where: the log and the metric name the broker.
  Problem Classify(int rc, int error_number) const {
    const std::string reason = library_error_.empty() ? "" : ": " + library_error_;
    switch (rc) {
      case MOSQ_ERR_EAI:
        return {"dns", "cannot resolve " + config_.host + ": " + gai_strerror(error_number)};
      case MOSQ_ERR_TLS:
      case MOSQ_ERR_TLS_HANDSHAKE:
        return {"tls", "the TLS handshake failed" + reason};
      case MOSQ_ERR_CONN_REFUSED:
        if (!refused_.kind.empty()) return refused_;
        return {"other", "the broker refused the connection"};
      case MOSQ_ERR_CONN_LOST:
        // Over TLS 1.3 a broker that wants a client certificate, or refuses the one it got, says
        // so only by closing the connection once the handshake is done.
        if (!connected_ && config_.secure) {
          return {"tls",
                  "the broker closed the connection before the login (does it want a client "
                  "certificate, or refuse the one given?)"};
        }
        break;
      case MOSQ_ERR_KEEPALIVE:
        return connected_ ? Problem{"lost", "no answer within the keep-alive"}
                          : Problem{"timeout", "no answer to the login within the keep-alive"};
      case MOSQ_ERR_ERRNO:
        if (error_number == ECONNREFUSED || error_number == EHOSTUNREACH ||
            error_number == ENETUNREACH) {
          return {"refused", std::strerror(error_number)};
        }
        if (error_number == ETIMEDOUT) return {"timeout", std::strerror(ETIMEDOUT)};
        // A TLS alert from the broker, e.g. for a client certificate it wants and did not get.
        if (error_number == EPROTO) return {"tls", "the broker refused the TLS handshake" + reason};
        break;
      default:
        break;
    }
    const std::string text = rc == MOSQ_ERR_ERRNO && error_number != 0
                                 ? std::strerror(error_number)
                                 : std::string(mosquitto_strerror(rc));
    return {connected_ ? "lost" : "other", "the connection ended: " + text};
  }

  void Goodbye(mosquitto* mosq) {
    Message last;
    Clock::time_point deadline;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last = last_;
      deadline = deadline_;
    }
    if (!connected_) return;
    if (!last.topic.empty()) {
      int mid = 0;
      mosquitto_publish(mosq, &mid, last.topic.c_str(), static_cast<int>(last.payload.size()),
                        last.payload.data(), kQos, last.retain);
    }
    // The goodbye goes out before the disconnect, in the order they were queued.
    mosquitto_disconnect(mosq);
    while (Clock::now() < deadline && mosquitto_loop(mosq, 50, 1) == MOSQ_ERR_SUCCESS) {
    }
  }

  static void OnConnect(mosquitto* mosq, void* self_pointer, int rc) {
    auto* self = static_cast<MosquittoClient*>(self_pointer);
    if (rc != 0) {
      // 4 and 5: a user, password or client certificate the broker does not take.
      const bool login = rc == 4 || rc == 5;
      self->refused_ = {login ? "auth" : "other",
                        std::string("the broker refused the login") +
                            (self->config_.user.empty() ? "" : " of " + self->config_.user) + ": " +
                            mosquitto_connack_string(rc)};
      return;
    }
    for (const std::string& topic : self->subscriptions_) {
      mosquitto_subscribe(mosq, nullptr, topic.c_str(), kQos);
    }
    // Not under mutex_: the library calls this holding a lock of its own.
    self->connected_ = true;
    self->backoff_ = self->config_.reconnect_seconds;
    self->events_.connected();
  }

  static void OnMessage(mosquitto*, void* self_pointer, const mosquitto_message* message) {
    auto* self = static_cast<MosquittoClient*>(self_pointer);
    Message received;
    received.topic = message->topic != nullptr ? message->topic : "";
    if (message->payload != nullptr && message->payloadlen > 0) {
      received.payload.assign(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
    }
    received.retain = message->retain;
    self->events_.received(received);
  }

  // OpenSSL's reason for a failed handshake reaches us only as a line of the library's log.
  static void OnLog(mosquitto*, void* self_pointer, int level, const char* line) {
    if (level != MOSQ_LOG_ERR || line == nullptr) return;
    auto* self = static_cast<MosquittoClient*>(self_pointer);
    if (self->library_error_.empty()) self->library_error_ = line;
  }

  const MqttConfig config_;
  const Message will_;
  const std::vector<std::string> subscriptions_;
  const Events events_;
  // The thread's own.
  bool tried_ = false;
  bool socket_open_ = false;
  double backoff_;
  Clock::time_point next_try_{};
  Problem refused_;
  std::string library_error_;
  std::string setup_problem_;
  // Shared with Publish and Stop.
  std::mutex mutex_;
  std::condition_variable wake_;
  mosquitto* mosq_ = nullptr;
  std::atomic<bool> connected_{false};
  bool stopping_ = false;
  Message last_;
  Clock::time_point deadline_{};
  std::thread thread_;  // last: it starts once everything above is there
};

}  // namespace

ClientFactory MosquittoClientFactory() {
  return [](const MqttConfig& config, const Message& will,
            const std::vector<std::string>& subscriptions, Client::Events events) {
    return std::make_unique<MosquittoClient>(config, will, subscriptions, std::move(events));
  };
}

Problem TryBroker(const MqttConfig& config, double seconds) {
  MqttConfig trial = config;
  trial.client_id = config.client_id + "-check";
  trial.reconnect_seconds = trial.reconnect_max_seconds = seconds;
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  Problem problem{"timeout",
                  "no answer within " + std::to_string(static_cast<int>(seconds)) + " s"};
  auto answer = [&](const Problem& result) {
    std::lock_guard<std::mutex> lock(mutex);
    if (done) return;
    done = true;
    problem = result;
    answered.notify_all();
  };
  Client::Events events;
  events.connected = [&] { answer(Problem()); };
  events.failed = answer;
  events.received = [](const Message&) {};
  MosquittoClient client(trial, Message(), {}, events);
  {
    std::unique_lock<std::mutex> lock(mutex);
    answered.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; });
  }
  client.Stop(Message(), Clock::now() + std::chrono::seconds(1));
  std::lock_guard<std::mutex> lock(mutex);
  return problem;
}

}  // namespace kestrel::exporter::mqtt
