#include "web/login.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace kestrel::web;
using namespace std::chrono_literals;

// A header that says prometheus:p-word, and one that says prometheus:g-word.
constexpr const char* kRight = "Basic cHJvbWV0aGV1czpwLXdvcmQ=";
constexpr const char* kWrong = "Basic cHJvbWV0aGV1czpnLXdvcmQ=";

Request With(const char* authorization, const char* client = "192.0.2.1") {
  Request request;
  request.method = "GET";
  request.path = "/metrics";
  request.client = IpAddress::FromText(client);
  if (authorization != nullptr) request.headers.emplace_back("Authorization", authorization);
  return request;
}

// Authorization for prometheus:<password>.
std::string Basic(const std::string& password) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string text = "prometheus:" + password;
  std::string out = "Basic ";
  for (std::size_t i = 0; i < text.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, text.size() - i);
    unsigned bits = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      bits = bits << 8 | (k < n ? static_cast<unsigned char>(text[i + k]) : 0U);
    }
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[bits >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

// The answer handler gives request, waited for: a check answers from its own thread.
Response Send(const Handler& handler, const Request& request) {
  auto answer = std::make_shared<std::promise<Response>>();
  std::future<Response> answered = answer->get_future();
  handler(request, [answer](Response response) { answer->set_value(std::move(response)); });
  EXPECT_EQ(answered.wait_for(30s), std::future_status::ready);
  return answered.get();
}

TEST(LoginTest, OnlyAcceptedOrRememberedCredentialsReachTheHandler) {
  Login login("kestrel-exporter");
  std::atomic<int> bcrypts{0};
  std::atomic<int> served{0};
  const Handler handler = login.Wrap([&](const Request& request, Reply reply) {
    ++served;
    reply(PlainText(200, "served " + request.path));
  });
  const auto matches = [&](const std::string& password, const std::string& hash) {
    ++bcrypts;
    return hash == "hash-" + password.substr(0, 1);
  };
  // Without users there is no login at all.
  EXPECT_EQ(Send(handler, With(nullptr)).status, 200);
  login.SetUsers({{"prometheus", "hash-p"}}, matches);
  const struct {
    const char* name;
    const char* authorization;  // null: none sent
    int status;
    int bcrypts;  // a remembered login costs none
  } steps[] = {
      {"no credentials", nullptr, 401, 0},
      {"not basic", "Bearer x", 401, 0},
      {"wrong password", kWrong, 401, 1},
      {"the same wrong password again: refused without a bcrypt", kWrong, 401, 0},
      {"right", kRight, 200, 1},
      {"right again: remembered", kRight, 200, 0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    bcrypts = 0;
    served = 0;
    const Response response = Send(handler, With(step.authorization));
    EXPECT_EQ(response.status, step.status);
    EXPECT_EQ(served, step.status == 200 ? 1 : 0);
    EXPECT_EQ(bcrypts, step.bcrypts);
    if (step.status == 401) {
      ASSERT_EQ(response.headers.size(), 1u);
      EXPECT_EQ(response.headers[0].first, "WWW-Authenticate");
      EXPECT_EQ(response.headers[0].second, "Basic realm=\"kestrel-exporter\", charset=\"UTF-8\"");
    } else {
      EXPECT_EQ(response.body, "served /metrics\n");
    }
  }
  // New users forget what the old ones let in: a changed password ends at once.
  login.SetUsers({{"prometheus", "hash-g"}}, matches);
  EXPECT_EQ(Send(handler, With(kRight)).status, 401);
  EXPECT_EQ(Send(handler, With(kWrong)).status, 200);
  // Once stopped, a login that needs a check is refused rather than left waiting.
  login.SetUsers({{"prometheus", "hash-p"}}, matches);
  login.Stop();
  EXPECT_EQ(Send(handler, With(kRight)).status, 503);
}

// Past its budget of failed checks a network is told when to come back, without a bcrypt; a
// login remembered there, and other networks, go on as before.
TEST(LoginTest, ANetworkThatSpentItsFailuresGets429WithoutABcrypt) {
  LoginLimits limits;
  limits.gate.failures = 2;
  Login login("kestrel-exporter", limits);
  std::atomic<int> bcrypts{0};
  login.SetUsers({{"prometheus", "hash-p"}}, [&](const std::string& password, const std::string&) {
    ++bcrypts;
    return password == "p-word";
  });
  const Handler handler =
      login.Wrap([](const Request&, Reply reply) { reply(PlainText(200, "served")); });
  const struct {
    const char* name;
    std::string authorization;
    const char* client;
    int status;
    int bcrypts;
  } steps[] = {
      {"right, then remembered", kRight, "192.0.2.1", 200, 1},
      {"a guess", Basic("guess-1"), "192.0.2.7", 401, 1},
      {"another guess from the same /24", Basic("guess-2"), "192.0.2.8", 401, 1},
      {"the budget is spent", Basic("guess-3"), "192.0.2.9", 429, 0},
      {"a login remembered there passes", kRight, "192.0.2.1", 200, 0},
      {"another network", Basic("guess-4"), "198.51.100.1", 401, 1},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    bcrypts = 0;
    const Response response = Send(handler, With(step.authorization.c_str(), step.client));
    EXPECT_EQ(response.status, step.status);
    EXPECT_EQ(bcrypts, step.bcrypts);
    const std::string* retry = nullptr;
    for (const auto& [name, value] : response.headers) {
      if (name == "Retry-After") retry = &value;
    }
    ASSERT_EQ(retry != nullptr, step.status == 429);
    // Two failures a minute: a token comes back every 30 s.
    if (retry != nullptr) {
      EXPECT_EQ(std::stoi(*retry), 30) << *retry;
    }
  }
}

}  // namespace
