// HTTP basic authentication against bcrypt hashes, and the thread that runs the checks: a bcrypt
// of cost 10 takes 55 ms of a core (libxcrypt on a 2-core Xeon virtual machine; 150 ms while
// the machine is busy), so the checks run beside the HTTP event loop, where a client guessing
// passwords would otherwise stall every connection that shares its loop thread.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel::exporter {

// Whether password hashes to hash (bcrypt, through libxcrypt's crypt_r); the comparison of the
// results takes the same time wherever they differ.
bool BcryptMatches(const std::string& password, const std::string& hash);

struct Credentials {
  bool given = false;  // an Authorization: Basic header that decodes
  std::string user;
  std::string password;
};

class BasicAuth {
 public:
  using Matcher = std::function<bool(const std::string& password, const std::string& hash)>;
  using Clock = std::chrono::steady_clock;
  // How long an accepted user and password pass without a new bcrypt: a scrape every few
  // seconds would otherwise cost a bcrypt each. A reload makes a new BasicAuth, so a changed or
  // removed password ends at once.
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

}  // namespace kestrel::exporter
