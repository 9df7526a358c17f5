// HTTP basic authentication against bcrypt hashes: the credentials a request carries, the check,
// and the logins remembered so that a scrape every few seconds does not cost a bcrypt each.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "web/http.h"

namespace kestrel::web {

// Whether password hashes to hash (bcrypt, through libxcrypt's crypt_r); the comparison of the
// results takes the same time wherever they differ.
bool BcryptMatches(const std::string& password, const std::string& hash);

struct Credentials {
  bool given = false;  // an Authorization: Basic header that decodes
  std::string user;
  std::string password;
};

// The credentials of the request's Authorization header: "Basic " (any case) and the base64 of
// user ':' password; not given when there is none or it does not decode.
Credentials CredentialsOf(const Request& request);

class BasicAuth {
 public:
  using Matcher = std::function<bool(const std::string& password, const std::string& hash)>;
  using Clock = std::chrono::steady_clock;
  // How long an accepted user and password pass without a new bcrypt. A reload makes a new
  // BasicAuth, so a changed or removed password ends at once.
  static constexpr std::chrono::minutes kRemembered{5};
  static constexpr std::size_t kMostRemembered = 256;

  explicit BasicAuth(std::map<std::string, std::string> users, Matcher matches = BcryptMatches)
      : users_(std::move(users)), matches_(std::move(matches)) {}

  bool Open() const { return users_.empty(); }
  // True when these credentials were accepted within kRemembered: cheap, for the event loop.
  bool Remembered(const Credentials& credentials, Clock::time_point now);
  // The full check, bcrypt included; remembers an accepted pair.
  bool Check(const Credentials& credentials, Clock::time_point now);

 private:
  using Digest = std::array<unsigned char, 32>;
  // What is remembered is a digest, never the password itself.
  static Digest DigestOf(const Credentials& credentials);

  const std::map<std::string, std::string> users_;
  const Matcher matches_;
  std::mutex mutex_;
  std::map<Digest, Clock::time_point> remembered_;  // digest -> accepted until
};

}  // namespace kestrel::web
