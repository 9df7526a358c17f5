#include "web/login_gate.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrel::web {

void LoginGate::Refill(Line& line, Clock::time_point now) const {
  if (now <= line.updated) return;
  const double seconds = std::chrono::duration<double>(now - line.updated).count();
  const double per_second = static_cast<double>(limits_.failures) /
                            static_cast<double>(std::max<long long>(limits_.window.count(), 1));
  line.tokens = std::min(static_cast<double>(limits_.failures), line.tokens + seconds * per_second);
  line.updated = now;
}

int LoginGate::SecondsToToken(const Line& line) const {
  const double per_token = static_cast<double>(limits_.window.count()) /
                           static_cast<double>(std::max<std::size_t>(limits_.failures, 1));
  // Less a hair, so that a whole number of seconds computed in floating point stays whole.
  return std::max(1, static_cast<int>(std::ceil((1.0 - line.tokens) * per_token - 1e-9)));
}

LoginGate::Verdict LoginGate::Post(const IpAddress& network, Check check, Clock::time_point now,
                                   int& retry_after) {
  Check dropped;
  int dropped_retry = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return Verdict::kStopped;
    if (lines_.size() >= prune_at_) Prune(now);
    auto [at, fresh] = lines_.try_emplace(network);
    Line& line = at->second;
    if (fresh) {
      line.tokens = static_cast<double>(limits_.failures);
      line.updated = now;
    }
    Refill(line, now);
    if (line.tokens < 1.0) {
      retry_after = SecondsToToken(line);
      return Verdict::kSpent;
    }
    if (waiting_ >= limits_.waiting &&
        !DropWorseThan(Spent(line) + 1.0, network, now, dropped, dropped_retry)) {
      return Verdict::kFull;
    }
    line.tokens -= 1.0;
    line.waiting.push_back(std::move(check));
    ++waiting_;
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  wake_.notify_one();
  if (dropped.refuse) dropped.refuse(dropped_retry);
  return Verdict::kQueued;
}

bool LoginGate::DropWorseThan(double spent, const IpAddress& network, Clock::time_point now,
                              Check& dropped, int& retry_after) {
  Line* worst = nullptr;
  for (auto& [key, line] : lines_) {
    if (line.waiting.empty() || key == network) continue;
    Refill(line, now);
    if (Spent(line) > spent && (worst == nullptr || Spent(line) > Spent(*worst))) worst = &line;
  }
  if (worst == nullptr) return false;
  dropped = std::move(worst->waiting.back());
  worst->waiting.pop_back();
  --waiting_;
  worst->tokens += 1.0;
  retry_after = worst->tokens >= 1.0 ? 1 : SecondsToToken(*worst);
  return true;
}

std::map<IpAddress, LoginGate::Line>::iterator LoginGate::Next(Clock::time_point now) {
  auto next = lines_.end();
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    Line& line = it->second;
    if (line.waiting.empty()) continue;
    Refill(line, now);
    if (next == lines_.end() || Spent(line) < Spent(next->second) ||
        (Spent(line) == Spent(next->second) && line.served < next->second.served)) {
      next = it;
    }
  }
  return next;
}

void LoginGate::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || waiting_ > 0; });
    if (stopping_) return;
    const auto next = Next(Clock::now());
    if (next == lines_.end()) continue;
    Line& line = next->second;
    Check check = std::move(line.waiting.front());
    line.waiting.pop_front();
    --waiting_;
    line.served = ++runs_;
    line.running = true;
    lock.unlock();
    const bool failed = check.run();
    check = Check();  // its request's state goes now, not with the next check
    lock.lock();
    line.running = false;
    if (!failed) line.tokens = std::min(static_cast<double>(limits_.failures), line.tokens + 1.0);
  }
}

// Networks with nothing spent and nothing waiting are the same as networks never seen.
void LoginGate::Prune(Clock::time_point now) {
  for (auto it = lines_.begin(); it != lines_.end();) {
    Line& line = it->second;
    Refill(line, now);
    const bool idle = line.waiting.empty() && !line.running &&
                      line.tokens >= static_cast<double>(limits_.failures);
    it = idle ? lines_.erase(it) : std::next(it);
  }
  prune_at_ = std::max<std::size_t>(1024, 2 * lines_.size());
}

void LoginGate::Stop() {
  std::thread running;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (auto& [key, line] : lines_) {
      line.waiting.clear();
    }
    waiting_ = 0;
    running = std::move(thread_);
  }
  wake_.notify_all();
  if (running.joinable()) running.join();
}

}  // namespace kestrel::web
