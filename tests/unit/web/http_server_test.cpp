// The server over real loopback sockets: what reaches the handler, what the server answers
// itself, and replies that come later or never.
#include "web/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kestrel::web;
using namespace std::chrono_literals;

// One connection of a client that says what it sends byte for byte.
class Client {
 public:
  explicit Client(int port, const char* source = nullptr)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (source != nullptr) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, source, &from.sin_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Send(const std::string& bytes) {
    return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(bytes.size());
  }
  // Everything the server sends until it closes (or sent until), or what came within the
  // deadline.
  std::string Receive(std::chrono::milliseconds within = 30s, const std::string& until = "") {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
      if (!until.empty() && text.find(until) != std::string::npos) break;
    }
    return text;
  }
  // Whether the server closed the connection within the time given, meanwhile sending one byte
  // of drip every interval (none when empty).
  bool ClosedWithin(std::chrono::milliseconds within, const std::string& drip = "",
                    std::chrono::milliseconds interval = 50ms) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    std::size_t at = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!drip.empty()) ::send(fd_, &drip[at++ % drip.size()], 1, MSG_NOSIGNAL);
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(interval.count())) > 0) {
        char buffer[4096];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) return true;
      }
    }
    return false;
  }

 private:
  int fd_;
  bool connected_ = false;
};

// Replies the handler kept for later, by path.
struct Kept {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Reply> replies;
  int handled = 0;

  bool AwaitReplies(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 30s, [&] { return replies.size() >= count; });
  }
};

// /now answers with what it saw of the request, /later and /never keep their reply.
Handler Recording(Kept& kept) {
  return [&kept](const Request& request, Reply reply) {
    std::unique_lock<std::mutex> lock(kept.mutex);
    ++kept.handled;
    if (request.path != "/now") {
      kept.replies.push_back(std::move(reply));
      kept.changed.notify_all();
      return;
    }
    lock.unlock();
    const std::string* seen = request.Header("x-test");
    Response response = PlainText(200, request.method + " " + request.path + " ?" + request.query +
                                           " x-test=" + (seen != nullptr ? *seen : "(none)") +
                                           " from " + request.client.Text());
    response.headers.emplace_back("X-Out", "1");
    reply(std::move(response));
  };
}

TEST(HttpServerTest, RequestsReachTheHandlerOnlyPastTheServersOwnChecks) {
  const struct {
    const char* name;
    std::string request;
    const char* status_line;
    const char* header;  // a line of the answer's head
    const char* body;
    bool handled;
  } cases[] = {
      {"a GET with its query and headers",
       "GET /now?target=a%20b HTTP/1.1\r\nHost: x\r\nX-Test: seen\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 200 ", "X-Out: 1", "GET /now ?target=a%20b x-test=seen from 127.0.0.1\n", true},
      {"HEAD is served without a body",
       "HEAD /now HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 ", "X-Out: 1",
       "", true},
      {"another method", "POST /now HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 405 ", "Allow: GET, HEAD", "only GET and HEAD are served\n", false},
      {"a body", "GET /now HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 413 ",
       "Connection: close", "request bodies are not accepted\n", false},
      {"HTTP/1.1 without Host", "GET /now HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 400 ",
       "Connection: close", "a Host header is required\n", false},
      {"Content-Length 00 is no body",
       "GET /now HTTP/1.1\r\nHost: x\r\nContent-Length: 00\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 200 ", "X-Out: 1", "GET /now ? x-test=(none) from 127.0.0.1\n", true},
      {"lengths that differ",
       "GET /now HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\nhello",
       "HTTP/1.1 400 ", "Connection: close", "Content-Length headers that differ\n", false},
  };
  Kept kept;
  HttpServer server(HttpLimits(), Recording(kept));
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int handled;
    {
      std::lock_guard<std::mutex> lock(kept.mutex);
      handled = kept.handled;
    }
    Client client(server.Port());
    ASSERT_TRUE(client.Send(c.request));
    const std::string answer = client.Receive();
    const std::size_t head_end = answer.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos) << answer;
    EXPECT_EQ(answer.rfind(c.status_line, 0), 0u) << answer;
    EXPECT_NE(answer.substr(0, head_end + 2).find(std::string("\r\n") + c.header + "\r\n"),
              std::string::npos)
        << answer;
    EXPECT_EQ(answer.substr(head_end + 4), c.body);
    std::lock_guard<std::mutex> lock(kept.mutex);
    EXPECT_EQ(kept.handled, handled + (c.handled ? 1 : 0));
  }
}

// A reply from another thread resumes its connection; one that never comes is answered 503 when
// the server stops, and a reply after that goes nowhere.
TEST(HttpServerTest, LaterRepliesResumeAndStopAnswersTheOnesLeft) {
  Kept kept;
  HttpServer server(HttpLimits(), Recording(kept));
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  Client later(server.Port());
  Client never(server.Port());
  ASSERT_TRUE(later.Send("GET /later HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  ASSERT_TRUE(kept.AwaitReplies(1));
  ASSERT_TRUE(never.Send("GET /never HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  ASSERT_TRUE(kept.AwaitReplies(2));

  std::thread answering([&] { kept.replies[0](PlainText(200, "later")); });
  answering.join();
  const std::string answered = later.Receive();
  EXPECT_EQ(answered.rfind("HTTP/1.1 200 ", 0), 0u) << answered;
  EXPECT_NE(answered.find("\r\n\r\nlater\n"), std::string::npos) << answered;

  server.Stop();
  const std::string stopped = never.Receive();
  EXPECT_EQ(stopped.rfind("HTTP/1.1 503 ", 0), 0u) << stopped;
  kept.replies[1](PlainText(200, "too late"));
  kept.replies[0](PlainText(200, "twice"));
}

// Deadlines no client can stretch: dribbling, silence and a kept-alive connection that dribbles
// its next request all end; an answered request never waits for one.
TEST(HttpServerTest, ConnectionsThatDoNotFinishTheirRequestAreClosed) {
  HttpLimits limits;
  limits.request_timeout = 400ms;
  limits.idle_timeout = 1s;
  Kept kept;
  HttpServer server(limits, Recording(kept));
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  const std::string kept_alive = "GET /now HTTP/1.1\r\nHost: x\r\n\r\n";
  const struct {
    const char* name;
    std::string first;  // sent whole first, answered
    std::string drip;   // then a byte every 50 ms
  } cases[] = {
      {"silence", "", ""},
      {"a header a byte at a time", "", "GET / HTTP/1.1\r\nX-Slow: yyyyyyyyyyyyyyyyyyyyyyyyy"},
      {"a kept-alive connection dribbling its next request", kept_alive,
       "GET /now HTTP/1.1\r\nX-Slow: yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(server.Port());
    if (!c.first.empty()) {
      ASSERT_TRUE(client.Send(c.first));
      EXPECT_EQ(client.Receive(30s, "from 127.0.0.1\n").rfind("HTTP/1.1 200 ", 0), 0u);
    }
    // Far below the bound: only a deadline that dribbling extends would reach it.
    EXPECT_TRUE(client.ClosedWithin(20s, c.drip));
  }
  EXPECT_EQ(server.Expired(), std::size(cases));
}

// One address past its cap is closed without an answer; the others go on.
TEST(HttpServerTest, AnAddressPastItsCapIsTurnedAway) {
  HttpLimits limits;
  limits.connections.per_address = 2;
  Kept kept;
  HttpServer server(limits, Recording(kept));
  std::string error;
  ASSERT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
  Client first(server.Port(), "127.0.0.2");
  Client second(server.Port(), "127.0.0.2");
  ASSERT_TRUE(first.Send("GET /later HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(second.Send("GET /later HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(kept.AwaitReplies(2));
  Client third(server.Port(), "127.0.0.2");
  third.Send("GET /now HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(third.Receive(), "");
  Client other(server.Port(), "127.0.0.3");
  ASSERT_TRUE(other.Send("GET /now HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  EXPECT_EQ(other.Receive().rfind("HTTP/1.1 200 ", 0), 0u);
  // The closed one's slot goes back once the server has closed it.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (server.Held() > 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(server.Held(), 2u);
  for (auto& reply : kept.replies) reply(PlainText(200, "later"));
  EXPECT_EQ(first.Receive(30s, "later\n").rfind("HTTP/1.1 200 ", 0), 0u);
}

}  // namespace
