#include "web/connection_guard.h"

#include <malloc.h>
#include <sys/socket.h>

#include <algorithm>
#include <iterator>

namespace kestrel::web {

namespace {

using Rep = ConnectionGuard::Clock::rep;

constexpr Rep kNever = ConnectionGuard::Clock::time_point::max().time_since_epoch().count();

Rep Ticks(ConnectionGuard::Clock::time_point when) {
  return when.time_since_epoch().count();
}

}  // namespace

struct ConnectionGuard::Link {
  int fd = -1;
  IpAddress client;
  bool counted = false;
  bool shut = false;  // under the guard's mutex
  bool handshaking = false;
  Clock::time_point accepted;
  // Set on the library's thread, read by the watch.
  std::atomic<Rep> deadline{kNever};
  std::list<Link>::iterator self;
};

ConnectionGuard::ConnectionGuard(const GuardSettings& settings)
    : settings_(settings), budget_(settings.limits), watch_([this] { Watch(); }) {}

ConnectionGuard::~ConnectionGuard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  watch_.join();
}

bool ConnectionGuard::MayConnect(const IpAddress& client) {
  std::lock_guard<std::mutex> lock(mutex_);
  return budget_.Fits(client);
}

ConnectionGuard::Link* ConnectionGuard::Opened(int fd, const IpAddress& client, bool tls) {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  Link& link = links_.emplace_back();
  link.self = std::prev(links_.end());
  link.fd = fd;
  link.client = client;
  link.accepted = now;
  link.handshaking = tls;
  link.deadline = Ticks(now + (tls ? settings_.handshake : settings_.request));
  link.counted = budget_.Admit(client);
  if (!link.counted) {
    link.shut = true;
    ::shutdown(fd, SHUT_RDWR);
  }
  peak_ = std::max(peak_, links_.size());
  if (links_.size() == 1) wake_.notify_all();
  return &link;
}

void ConnectionGuard::Closed(Link* link) {
  if (link == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (link->counted) budget_.Release(link->client);
  links_.erase(link->self);
}

void ConnectionGuard::RequestBegun(Link* link) {
  if (link == nullptr || !link->handshaking) return;
  link->handshaking = false;
  link->deadline = Ticks(link->accepted + settings_.request);
}

void ConnectionGuard::Handling(Link* link) {
  if (link != nullptr) link->deadline = kNever;
}

void ConnectionGuard::Answering(Link* link) {
  if (link != nullptr) link->deadline = Ticks(Clock::now() + settings_.request);
}

void ConnectionGuard::Answered(Link* link) {
  if (link != nullptr) link->deadline = Ticks(Clock::now() + settings_.idle);
}

std::size_t ConnectionGuard::Held() {
  std::lock_guard<std::mutex> lock(mutex_);
  return budget_.Held();
}

std::size_t ConnectionGuard::Expired() {
  std::lock_guard<std::mutex> lock(mutex_);
  return expired_;
}

void ConnectionGuard::Watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (links_.empty()) {
      HandBackMemory(lock);
      wake_.wait(lock, [this] { return stopping_ || !links_.empty(); });
      continue;
    }
    wake_.wait_for(lock, kTick, [this] { return stopping_; });
    ShutExpired(Clock::now());
    HandBackMemory(lock);
  }
}

// Under the mutex, so no socket is closed (and its number reused) while it is shut down here.
void ConnectionGuard::ShutExpired(Clock::time_point now) {
  const Rep ticks = Ticks(now);
  for (Link& link : links_) {
    if (link.shut || link.deadline.load(std::memory_order_relaxed) > ticks) continue;
    link.shut = true;
    ++expired_;
    ::shutdown(link.fd, SHUT_RDWR);
  }
}

// A flood's connections leave their memory to malloc, which keeps it; once most of them are
// gone it goes back to the system.
void ConnectionGuard::HandBackMemory(std::unique_lock<std::mutex>& lock) {
  if (peak_ < kFlood || links_.size() > peak_ / 4) return;
  peak_ = links_.size();
  lock.unlock();
  malloc_trim(0);
  lock.lock();
}

}  // namespace kestrel::web
