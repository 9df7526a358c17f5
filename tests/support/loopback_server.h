// An HTTP server on loopback for the network component's tests: it answers every request on every
// connection with the same bytes, then closes the connection or keeps it for the next request as
// asked, and counts the connections it accepted. It listens before the constructor returns.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel::testing {

class LoopbackServer {
 public:
  enum class After { kClose, kKeepOpen };

  LoopbackServer(std::string reply, After after) : reply_(std::move(reply)), after_(after) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 64);
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackServer() {
    const char stop = 's';
    if (::write(wake_[1], &stop, 1) != 1) ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // A 200 answer with this body, announced by its length; it says whether the connection stays.
  static std::string Ok(const std::string& body, After after) {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n") +
           (after == After::kClose ? "Connection: close\r\n" : "") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/getData.json"; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  int Connections() const { return connections_.load(); }

 private:
  void Serve() {
    std::map<int, std::string> clients;  // descriptor -> request bytes not yet answered
    for (;;) {
      std::vector<pollfd> watched = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      for (const auto& client : clients) watched.push_back({client.first, POLLIN, 0});
      if (::poll(watched.data(), watched.size(), -1) < 0) continue;
      if (watched[0].revents != 0) break;
      if ((watched[1].revents & POLLIN) != 0) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) break;
        ++connections_;
        clients[client];
      }
      for (std::size_t i = 2; i < watched.size(); ++i) {
        if (watched[i].revents != 0 && !Answer(watched[i].fd, clients[watched[i].fd])) {
          ::close(watched[i].fd);
          clients.erase(watched[i].fd);
        }
      }
    }
    for (const auto& client : clients) ::close(client.first);
  }

  // Reads what the client sent and answers each whole request; false when the connection ends.
  bool Answer(int client, std::string& pending) {
    char buffer[4096];
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end = pending.find("\r\n\r\n"); end != std::string::npos;
         end = pending.find("\r\n\r\n")) {
      pending.erase(0, end + 4);
      for (std::size_t sent = 0; sent < reply_.size();) {
        const ssize_t k = ::send(client, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
        if (k <= 0) return false;
        sent += static_cast<std::size_t>(k);
      }
      if (after_ == After::kClose) return false;
    }
    return true;
  }

  std::string reply_;
  After after_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace kestrel::testing
