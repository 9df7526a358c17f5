#include "web/login.h"

#include <string>
#include <utility>

namespace kestrel::web {

namespace {

constexpr int kUnauthorized = 401;
constexpr int kTooManyRequests = 429;
constexpr int kUnavailable = 503;

Response ComeBackLater(int status, const std::string& text, int seconds) {
  Response response = PlainText(status, text);
  response.headers.emplace_back("Retry-After", std::to_string(seconds));
  return response;
}

Response Spent(int seconds) {
  return ComeBackLater(kTooManyRequests,
                       "too many failed logins from this network; try again later", seconds);
}

}  // namespace

Login::Login(std::string realm, LoginLimits limits)
    : challenge_("Basic realm=\"" + realm + "\", charset=\"UTF-8\""),
      ipv4_prefix_(limits.ipv4_prefix),
      gate_(limits.gate) {}

void Login::SetUsers(std::map<std::string, std::string> users, BasicAuth::Matcher matches) {
  std::lock_guard<std::mutex> lock(mutex_);
  users_ = std::make_shared<BasicAuth>(std::move(users), std::move(matches), users_.get());
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
  const BasicAuth::Known known = users->Recall(credentials, BasicAuth::Clock::now());
  if (known == BasicAuth::Known::kAccepted) return (*inner)(request, std::move(reply));
  Response refusal = PlainText(kUnauthorized, "unauthorized");
  refusal.headers.emplace_back("WWW-Authenticate", challenge_);
  if (!credentials.given || known == BasicAuth::Known::kRefused) return reply(std::move(refusal));
  Queue(users, std::move(credentials), request, std::move(reply), inner, std::move(refusal));
}

void Login::Queue(const std::shared_ptr<BasicAuth>& users, Credentials credentials,
                  const Request& request, Reply reply, const std::shared_ptr<const Handler>& inner,
                  Response refusal) {
  LoginGate::Check check;
  // What another check decided while this one waited is not decided again.
  check.run = [users, credentials = std::move(credentials), request, reply, inner,
               refusal = std::move(refusal)]() mutable {
    const auto now = BasicAuth::Clock::now();
    const BasicAuth::Known known = users->Recall(credentials, now);
    const bool accepted = known == BasicAuth::Known::kAccepted ||
                          (known == BasicAuth::Known::kUnknown && users->Check(credentials, now));
    if (accepted) {
      (*inner)(request, std::move(reply));
    } else {
      reply(std::move(refusal));
    }
    return !accepted && known == BasicAuth::Known::kUnknown;
  };
  check.refuse = [reply](int seconds) { reply(Spent(seconds)); };
  int retry_after = 0;
  switch (gate_.Post(request.client.Prefix(ipv4_prefix_), std::move(check), LoginGate::Clock::now(),
                     retry_after)) {
    case LoginGate::Verdict::kQueued:
      return;
    case LoginGate::Verdict::kSpent:
      return reply(Spent(retry_after));
    case LoginGate::Verdict::kFull:
      return reply(ComeBackLater(kUnavailable, "too many logins are being checked; try again", 1));
    case LoginGate::Verdict::kStopped:
      return reply(PlainText(kUnavailable, "the exporter is stopping"));
  }
}

}  // namespace kestrel::web
