// Logins in front of any handler, as the web configuration's basic_auth_users asks. A request
// passes at once when there are no users or its credentials were accepted lately; any other
// credentials wait for a bcrypt check on a thread of its own. A bcrypt of cost 10 takes 55 ms of
// a core (libxcrypt on a 2-core Xeon virtual machine; 150 ms while the machine is busy): on the
// server's event loop, a client guessing passwords would stall every connection sharing its thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "web/basic_auth.h"
#include "web/http.h"

namespace kestrel::web {

// One thread that runs posted jobs in order; it starts with the first job, so an endpoint
// without logins has none.
class CheckQueue {
 public:
  explicit CheckQueue(std::size_t capacity) : capacity_(capacity) {}
  ~CheckQueue() { Stop(); }
  CheckQueue(const CheckQueue&) = delete;
  CheckQueue& operator=(const CheckQueue&) = delete;

  // False when capacity jobs are waiting already, or after Stop.
  bool Post(std::function<void()> job);
  // Drops the jobs not started and waits for the one running.
  void Stop();

 private:
  void Run();
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

class Login {
 public:
  // realm: what a refusal names in WWW-Authenticate. Past waiting_checks logins waiting for
  // their bcrypt, a login is answered 503 at once.
  explicit Login(std::string realm, std::size_t waiting_checks = 256);
  Login(const Login&) = delete;
  Login& operator=(const Login&) = delete;

  // The users (user -> bcrypt hash; none: no login) from the next request on; the logins
  // remembered under the previous users are forgotten.
  void SetUsers(std::map<std::string, std::string> users,
                BasicAuth::Matcher matches = BcryptMatches);
  // inner behind the login. The handler refers to this Login, which must outlive its use.
  Handler Wrap(Handler inner);
  // Drops the checks not begun (their requests get no answer from here) and waits for the
  // running one; later logins are answered 503.
  void Stop() { checks_.Stop(); }

 private:
  void Admit(const Request& request, Reply reply, const std::shared_ptr<const Handler>& inner);
  std::shared_ptr<BasicAuth> Users();

  const std::string challenge_;  // the WWW-Authenticate of a refusal
  std::mutex mutex_;
  std::shared_ptr<BasicAuth> users_ =
      std::make_shared<BasicAuth>(std::map<std::string, std::string>());
  CheckQueue checks_;  // last: its thread ends before what its jobs use
};

}  // namespace kestrel::web
