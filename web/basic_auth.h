// HTTP basic authentication against bcrypt hashes: the credentials a request carries, the check,
// and what earlier checks decided, so that a scrape every few seconds does not cost a bcrypt
// each, nor does a client that keeps sending the same wrong password.
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
// results takes the same time wherever they differ. A password holding a NUL never matches:
// crypt_r would read it only up to the NUL.
bool BcryptMatches(const std::string& password, const std::string& hash);

struct Credentials {
  bool given = false;  // an Authorization: Basic header that decodes
  std::string user;
  std::string password;
};

// The credentials of the request's Authorization header: "Basic " (any case) and the base64 of
// user ':' password; not given when there is none, it does not decode or it holds a NUL.
Credentials CredentialsOf(const Request& request);

class BasicAuth {
 public:
  using Matcher = std::function<bool(const std::string& password, const std::string& hash)>;
  using Clock = std::chrono::steady_clock;
  // How long a decided user and password are known without a new bcrypt, from their last use:
  // a login in use never lapses. A reload makes a new BasicAuth, which keeps only what was
  // decided for users whose hash it keeps, so a changed or removed password ends at once.
  static constexpr std::chrono::minutes kRemembered{5};
  static constexpr std::size_t kMostRemembered = 256;
  static constexpr std::size_t kMostRefused = 1024;

  // previous: the users before a reload, whose decisions carry over where a user's hash stays.
  explicit BasicAuth(std::map<std::string, std::string> users, Matcher matches = BcryptMatches,
                     BasicAuth* previous = nullptr);

  enum class Known { kUnknown, kAccepted, kRefused };
  bool Open() const { return users_.empty(); }
  // What an earlier check decided for these credentials, cheap enough for the event loop; each
  // use extends it by kRemembered.
  Known Recall(const Credentials& credentials, Clock::time_point now);
  // The full check, bcrypt included; remembers what it decided.
  bool Check(const Credentials& credentials, Clock::time_point now);

 private:
  using Digest = std::array<unsigned char, 32>;
  struct Decision {
    std::string user;
    Clock::time_point until;
  };
  using Decisions = std::map<Digest, Decision>;
  // What is remembered is a digest, never the password itself.
  static Digest DigestOf(const Credentials& credentials);
  // Whether user has the same hash (or none) here as in other.
  bool SameHash(const BasicAuth& other, const std::string& user) const;
  void Keep(const BasicAuth& previous, const Decisions& from, Decisions& to) const;
  static void Note(Decisions& decisions, std::size_t most, const Digest& digest,
                   const std::string& user, Clock::time_point now);

  const std::map<std::string, std::string> users_;
  const Matcher matches_;
  std::mutex mutex_;
  Decisions accepted_;
  Decisions refused_;
};

}  // namespace kestrel::web
