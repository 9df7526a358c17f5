#include "web/basic_auth.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

namespace {

using namespace kestrel::web;

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
  EXPECT_FALSE(BcryptMatches(std::string("secret\0garbage", 14), hash));
}

// What clients send in Authorization, and what of it counts as credentials: the user ends at
// the first ':', and anything that is not exactly base64 is no login at all.
TEST(BasicAuthTest, CredentialsComeFromABasicAuthorizationHeader) {
  const struct {
    const char* header;  // null: none sent
    bool given;
    std::string user;
    std::string password;
  } cases[] = {
      {"Basic cHJvbWV0aGV1czpwLXdvcmQ=", true, "prometheus", "p-word"},
      {"basic  cHJvbWV0aGV1czpwLXdvcmQ=", true, "prometheus", "p-word"},
      {"Basic dTpwOnc=", true, "u", "p:w"},
      {"Basic dTo=", true, "u", ""},
      {"Basic OnB3", true, "", "pw"},
      {"Basic YWI6Yw==", true, "ab", "c"},
      // crypt_r would stop at the NUL: "secret\0garbage" would pass for "secret".
      {"Basic dTpzZWNyZXQAZ2FyYmFnZQ==", false, "", ""},
      {nullptr, false, "", ""},
      {"Basic bm9jb2xvbg==", false, "", ""},  // no ':'
      {"Basic YWI6Yw", false, "", ""},        // padding missing
      {"Basic YWI6Yw=x", false, "", ""},      // data after the padding
      {"Basic YW=6Yw==", false, "", ""},      // padding inside
      {"Basic YWI6Y!==", false, "", ""},
      {"Basic ", false, "", ""},
      {"Bearer YWI6Yw==", false, "", ""},
      {"BasicYWI6Yw==", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header != nullptr ? c.header : "(none)");
    Request request;
    request.headers = {{"Host", "x"}};
    if (c.header != nullptr) request.headers.emplace_back("authorization", c.header);
    const Credentials credentials = CredentialsOf(request);
    EXPECT_EQ(credentials.given, c.given);
    EXPECT_EQ(credentials.user, c.user);
    EXPECT_EQ(credentials.password, c.password);
  }
}

using Known = BasicAuth::Known;

// Counts the bcrypts; a password matches hash-<its first letter>.
struct CountingMatcher {
  int* bcrypts;
  bool operator()(const std::string& password, const std::string& hash) const {
    ++*bcrypts;
    return hash == "hash-" + password.substr(0, 1);
  }
};

TEST(BasicAuthTest, ChecksRememberWhatTheyDecidedWhileItIsUsed) {
  int bcrypts = 0;
  BasicAuth auth({{"prometheus", "hash-p"}, {"grafana", "hash-g"}}, CountingMatcher{&bcrypts});
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
    EXPECT_EQ(auth.Recall(c.credentials, now), Known::kUnknown) << c.name;
    EXPECT_EQ(auth.Check(c.credentials, now), c.accepted) << c.name;
    EXPECT_EQ(bcrypts, c.bcrypts) << c.name;
    const Known known = !c.credentials.given ? Known::kUnknown
                        : c.accepted         ? Known::kAccepted
                                             : Known::kRefused;
    EXPECT_EQ(auth.Recall(c.credentials, now), known) << c.name;
  }
  // Each use extends a decision: a login in use never lapses; one left alone does.
  auto later = now;
  for (int use = 0; use < 4; ++use) {
    later += BasicAuth::kRemembered - std::chrono::seconds(1);
    EXPECT_EQ(auth.Recall(right, later), Known::kAccepted) << use;
  }
  EXPECT_EQ(auth.Recall(right, later + BasicAuth::kRemembered), Known::kUnknown);
  EXPECT_EQ(auth.Recall({true, "prometheus", "p-word2"}, now), Known::kUnknown);

  BasicAuth open({});
  EXPECT_TRUE(open.Open());
  EXPECT_TRUE(open.Check({}, now));
}

// A reload keeps what was decided for users whose hash it keeps, and nothing else.
TEST(BasicAuthTest, AReloadKeepsTheDecisionsOfUsersWhoseHashStays) {
  int bcrypts = 0;
  BasicAuth before({{"prometheus", "hash-p"}, {"grafana", "hash-g"}}, CountingMatcher{&bcrypts});
  const auto now = BasicAuth::Clock::now();
  const Credentials prometheus{true, "prometheus", "p-word"};
  const Credentials grafana{true, "grafana", "g-word"};
  const Credentials guess{true, "prometheus", "x-word"};
  const Credentials stranger{true, "mallory", "m-word"};
  for (const Credentials* c : {&prometheus, &grafana, &guess, &stranger}) before.Check(*c, now);
  const struct {
    const char* name;
    std::map<std::string, std::string> users;
    Known prometheus, grafana, guess, stranger;
  } cases[] = {
      {"same users",
       {{"prometheus", "hash-p"}, {"grafana", "hash-g"}},
       Known::kAccepted,
       Known::kAccepted,
       Known::kRefused,
       Known::kRefused},
      {"grafana's password changed",
       {{"prometheus", "hash-p"}, {"grafana", "hash-h"}},
       Known::kAccepted,
       Known::kUnknown,
       Known::kRefused,
       Known::kRefused},
      {"grafana removed, mallory added",
       {{"prometheus", "hash-p"}, {"mallory", "hash-m"}},
       Known::kAccepted,
       Known::kUnknown,
       Known::kRefused,
       Known::kUnknown},
      {"prometheus's password changed",
       {{"prometheus", "hash-x"}, {"grafana", "hash-g"}},
       Known::kUnknown,
       Known::kAccepted,
       Known::kUnknown,
       Known::kRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BasicAuth after(c.users, CountingMatcher{&bcrypts}, &before);
    EXPECT_EQ(after.Recall(prometheus, now), c.prometheus);
    EXPECT_EQ(after.Recall(grafana, now), c.grafana);
    EXPECT_EQ(after.Recall(guess, now), c.guess);
    EXPECT_EQ(after.Recall(stranger, now), c.stranger);
  }
}

}  // namespace
