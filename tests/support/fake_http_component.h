// A scripted network component and clock for tests: each Get takes the next answer, the clock
// only moves when a request "takes" time or the provider pauses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netcomp/component_factory.h"
#include "platform/platform.h"

namespace kestrel::testing {

using kestrel::platform::HttpComponent;
using kestrel::platform::WChar;

// One answer of the fake component to one Get.
struct Answer {
  int32_t error;
  int32_t status;
  std::u16string body;
  uint32_t takes_ms;
  bool null_body = false;
};

// What the fake component and the fake clock saw, shared with the factory.
struct World {
  std::vector<Answer> answers;
  std::size_t next = 0;
  int creation_failures = 0;
  int creations = 0;
  int releases = 0;
  int gets = 0;
  std::vector<uint32_t> pauses;
  uint32_t now = 0;
  std::u16string log_file;
  std::u16string last_url;
  std::u16string user;
  std::u16string password;
};

inline World* g_world = nullptr;

inline Answer Reply(int32_t error, int32_t status, const std::u16string& body,
                    uint32_t takes_ms = 1) {
  return Answer{error, status, body, takes_ms};
}

// The cases are written as UTF-16 literals; the seam's wide type is wchar_t on Windows.
inline std::u16string Utf16(const WChar* text) {
  return std::u16string(text, text + kestrel::platform::WideLength(text));
}

class FakeComponent final : public HttpComponent {
 public:
  void SetLogFile(const WChar* path) override { g_world->log_file = Utf16(path); }
  void SetUserName(const WChar* name) override { g_world->user = Utf16(name); }
  void SetPassword(const WChar* password) override { g_world->password = Utf16(password); }
  void Get(const WChar* url, WChar** body) override {
    World& w = *g_world;
    ++w.gets;
    w.last_url = Utf16(url);
    const Answer& a = w.answers.at(w.next < w.answers.size() ? w.next++ : w.answers.size() - 1);
    w.now += a.takes_ms;
    error_ = a.error;
    status_ = a.status;
    const std::basic_string<WChar> wide(a.body.begin(), a.body.end());
    *body = a.null_body ? nullptr : kestrel::platform::AllocWideString(wide.data(), wide.size());
  }
  int32_t LastError() override { return error_; }
  int32_t ResponseCode() override { return status_; }
  void Release() override {
    ++g_world->releases;
    delete this;
  }

 private:
  int32_t error_ = -1;
  int32_t status_ = -1;
};

inline int32_t FakeFactory(HttpComponent** component) {
  ++g_world->creations;
  if (g_world->creation_failures > 0) {
    --g_world->creation_failures;
    return -1;
  }
  *component = new FakeComponent;
  return 0;
}

inline uint32_t FakeTick() {
  return g_world->now;
}
inline void FakeSleep(uint32_t ms) {
  g_world->pauses.push_back(ms);
  g_world->now += ms;
}

// The fake component and clock in place for the object's lifetime, sharing its world.
struct FakeNetwork {
  World world;
  FakeNetwork() {
    g_world = &world;
    kestrel::netcomp::SetHttpComponentFactoryForTesting(&FakeFactory);
    kestrel::platform::SetClockForTesting(&FakeTick, &FakeSleep);
  }
  ~FakeNetwork() {
    kestrel::netcomp::SetHttpComponentFactoryForTesting(nullptr);
    kestrel::platform::SetClockForTesting(nullptr, nullptr);
    g_world = nullptr;
  }
  FakeNetwork(const FakeNetwork&) = delete;
  FakeNetwork& operator=(const FakeNetwork&) = delete;
};

}  // namespace kestrel::testing
