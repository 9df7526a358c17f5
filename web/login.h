// Logins in front of any handler, as the web configuration's basic_auth_users asks. A request
// passes at once when there are no users or its credentials were accepted lately, and is refused
// at once when the same credentials were refused lately; any other credentials wait for a bcrypt
// check, shared fairly between client networks (login_gate.h), which also bound how many checks
// a network may fail before it is told to come back later (429 with Retry-After).
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "web/basic_auth.h"
#include "web/http.h"
#include "web/login_gate.h"

namespace kestrel::web {

struct LoginLimits {
  GateLimits gate;
  int ipv4_prefix = 24;  // the bits of an IPv4 client's address that make its network
};

class Login {
 public:
  // realm: what a refusal names in WWW-Authenticate.
  explicit Login(std::string realm, LoginLimits limits = LoginLimits());
  Login(const Login&) = delete;
  Login& operator=(const Login&) = delete;

  // The users (user -> bcrypt hash; none: no login) from the next request on. What was decided
  // for a user whose hash stays carries over: a reload does not make a scraper log in again.
  void SetUsers(std::map<std::string, std::string> users,
                BasicAuth::Matcher matches = BcryptMatches);
  // inner behind the login. The handler refers to this Login, which must outlive its use.
  Handler Wrap(Handler inner);
  // Drops the checks not begun (their requests get no answer from here) and waits for the
  // running one; later logins that need a check are answered 503.
  void Stop() { gate_.Stop(); }

 private:
  void Admit(const Request& request, Reply reply, const std::shared_ptr<const Handler>& inner);
  // Queues the bcrypt check of credentials; answers the request at once when it cannot wait.
  void Queue(const std::shared_ptr<BasicAuth>& users, Credentials credentials,
             const Request& request, Reply reply, const std::shared_ptr<const Handler>& inner,
             Response refusal);
  std::shared_ptr<BasicAuth> Users();

  const std::string challenge_;  // the WWW-Authenticate of a refusal
  const int ipv4_prefix_;
  std::mutex mutex_;
  std::shared_ptr<BasicAuth> users_ =
      std::make_shared<BasicAuth>(std::map<std::string, std::string>());
  LoginGate gate_;  // last: its thread ends before what its checks use
};

}  // namespace kestrel::web
