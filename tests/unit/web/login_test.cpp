#include "web/login.h"

#include <gtest/gtest.h>

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

Request With(const char* authorization) {
  Request request;
  request.method = "GET";
  request.path = "/metrics";
  if (authorization != nullptr) request.headers.emplace_back("Authorization", authorization);
  return request;
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
      {"no credentials", nullptr, 401, 0}, {"not basic", "Bearer x", 401, 0},
      {"wrong password", kWrong, 401, 1},  {"wrong again: nothing remembered", kWrong, 401, 1},
      {"right", kRight, 200, 1},           {"right again: remembered", kRight, 200, 0},
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

TEST(LoginTest, TheCheckQueueIsBounded) {
  CheckQueue queue(2);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> started;
  ASSERT_TRUE(queue.Post([&] {
    started.set_value();
    released.wait();
  }));
  started.get_future().wait();
  int ran = 0;
  EXPECT_TRUE(queue.Post([&] { ++ran; }));
  EXPECT_TRUE(queue.Post([&] { ++ran; }));
  EXPECT_FALSE(queue.Post([&] { ++ran; }));
  std::promise<void> done;
  release.set_value();
  while (!queue.Post([&] { done.set_value(); })) std::this_thread::yield();
  done.get_future().wait();
  EXPECT_EQ(ran, 2);
  queue.Stop();
  EXPECT_FALSE(queue.Post([] {}));
}

}  // namespace
