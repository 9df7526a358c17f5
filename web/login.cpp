#include "web/login.h"

#include <utility>

namespace kestrel::web {

namespace {

constexpr int kUnauthorized = 401;
constexpr int kUnavailable = 503;

}  // namespace

bool CheckQueue::Post(std::function<void()> job) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || jobs_.size() >= capacity_) return false;
  jobs_.push_back(std::move(job));
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  wake_.notify_one();
  return true;
}

void CheckQueue::Stop() {
  std::thread running;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
    running = std::move(thread_);
  }
  wake_.notify_all();
  if (running.joinable()) running.join();
}

void CheckQueue::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

Login::Login(std::string realm, std::size_t waiting_checks)
    : challenge_("Basic realm=\"" + realm + "\", charset=\"UTF-8\""), checks_(waiting_checks) {}

void Login::SetUsers(std::map<std::string, std::string> users, BasicAuth::Matcher matches) {
  auto fresh = std::make_shared<BasicAuth>(std::move(users), std::move(matches));
  std::lock_guard<std::mutex> lock(mutex_);
  users_ = std::move(fresh);
}

std::shared_ptr<BasicAuth> Login::Users() {
  std::lock_guard<std::mutex> lock(mutex_);
  return users_;
}

Handler Login::Wrap(Handler inner) {
  auto shared = std::make_shared<const Handler>(std::move(inner));
  return [this, shared](const Request& request, Reply reply) {
    Admit(request, std::move(reply), shared);
  };
}

void Login::Admit(const Request& request, Reply reply,
                  const std::shared_ptr<const Handler>& inner) {
  const std::shared_ptr<BasicAuth> users = Users();
  if (users->Open()) return (*inner)(request, std::move(reply));
  Credentials credentials = CredentialsOf(request);
  if (users->Remembered(credentials, BasicAuth::Clock::now())) {
    return (*inner)(request, std::move(reply));
  }
  Response refusal = PlainText(kUnauthorized, "unauthorized");
  refusal.headers.emplace_back("WWW-Authenticate", challenge_);
  if (!credentials.given) return reply(std::move(refusal));
  auto check = [users, credentials = std::move(credentials), request, reply, inner,
                refusal = std::move(refusal)]() mutable {
    if (!users->Check(credentials, BasicAuth::Clock::now())) return reply(std::move(refusal));
    (*inner)(request, std::move(reply));
  };
  if (!checks_.Post(std::move(check))) {
    reply(PlainText(kUnavailable, "too many logins are being checked; try again"));
  }
}

}  // namespace kestrel::web
