#include "programs/kestrel-exporter/basic_auth.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

namespace {

using namespace kestrel::exporter;

constexpr const char* kHash = "$2b$04$SAivdxu8Jb5/tO8.CmRwguF4TOC6yZWCP/nDCyEbrNrdrHEE3DnA.";

TEST(BasicAuthTest, BcryptChecksThePasswordAgainstItsHash) {
  const std::string hash = kHash;
  const struct {
    std::string password;
    std::string hash;
    bool matches;
  } cases[] = {
      {"secret", hash, true},
      {"secret", "$2y$" + hash.substr(4), true},  // htpasswd writes $2y$, Python $2b$
      {"Secret", hash, false},
      {"secret ", hash, false},
      {"", hash, false},
      {"secret", hash.substr(0, 59), false},
      {"secret", hash.substr(0, 59) + "/", false},
      {"secret", "$2b$04$", false},
      {"secret", "", false},
      {"secret", "secret", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BcryptMatches(c.password, c.hash), c.matches) << c.password << " " << c.hash;
  }
}

TEST(BasicAuthTest, ChecksRememberOnlyAcceptedPairsForAWhile) {
  int bcrypts = 0;
  BasicAuth auth({{"prometheus", "hash-p"}, {"grafana", "hash-g"}},
                 [&](const std::string& password, const std::string& hash) {
                   ++bcrypts;
                   return hash == "hash-" + password.substr(0, 1);
                 });
  const auto now = BasicAuth::Clock::now();
  const Credentials right{true, "prometheus", "p-word"};
  const struct {
    const char* name;
    Credentials credentials;
    bool accepted;
    int bcrypts;  // an unknown user costs one too
  } cases[] = {
      {"right", right, true, 1},
      {"wrong password", {true, "prometheus", "g-word"}, false, 1},
      {"another user's password", {true, "grafana", "p-word"}, false, 1},
      {"unknown user", {true, "mallory", "p-word"}, false, 1},
      {"no credentials", {false, "prometheus", "p-word"}, false, 0},
  };
  for (const auto& c : cases) {
    bcrypts = 0;
    EXPECT_FALSE(auth.Remembered(c.credentials, now)) << c.name;
    EXPECT_EQ(auth.Check(c.credentials, now), c.accepted) << c.name;
    EXPECT_EQ(bcrypts, c.bcrypts) << c.name;
    EXPECT_EQ(auth.Remembered(c.credentials, now), c.accepted && c.credentials.given) << c.name;
  }
  EXPECT_TRUE(auth.Remembered(right, now + BasicAuth::kRemembered - std::chrono::seconds(1)));
  EXPECT_FALSE(auth.Remembered(right, now + BasicAuth::kRemembered));
  EXPECT_FALSE(auth.Remembered({true, "prometheus", "p-word2"}, now));

  BasicAuth open({});
  EXPECT_TRUE(open.Open());
  EXPECT_TRUE(open.Check({}, now));
}

TEST(BasicAuthTest, TheCheckQueueIsBounded) {
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
