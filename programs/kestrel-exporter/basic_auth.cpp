#include "programs/kestrel-exporter/basic_auth.h"

#include <crypt.h>
#include <gnutls/crypto.h>

#include <cstring>
#include <memory>

namespace kestrel::exporter {

bool BcryptMatches(const std::string& password, const std::string& hash) {
  // crypt_r's state is some 32 KB: too much for the stack of a small thread.
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
  // libxcrypt answers a text starting with '*' for a hash it cannot use, never the hash.
  if (result == nullptr || result[0] == '*') return false;
  const std::size_t length = std::strlen(result);
  if (length != hash.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < length; ++i) {
    difference |= static_cast<unsigned char>(result[i] ^ hash[i]);
  }
  return difference == 0;
}

BasicAuth::Digest BasicAuth::DigestOf(const Credentials& credentials) {
  // The user cannot hold ':', so user ':' password names one pair only.
  const std::string text = credentials.user + ":" + credentials.password;
  Digest digest{};
  gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest.data());
  return digest;
}

bool BasicAuth::Remembered(const Credentials& credentials, Clock::time_point now) {
  if (!credentials.given) return false;
  const Digest digest = DigestOf(credentials);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = remembered_.find(digest);
  return found != remembered_.end() && found->second > now;
}

bool BasicAuth::Check(const Credentials& credentials, Clock::time_point now) {
  if (Open()) return true;
  if (!credentials.given) return false;
  const auto user = users_.find(credentials.user);
  // An unknown user costs a bcrypt too, so the time taken does not tell which users exist.
  const std::string& hash = user != users_.end() ? user->second : users_.begin()->second;
  const bool accepted = matches_(credentials.password, hash) && user != users_.end();
  if (!accepted) return false;
  const Digest digest = DigestOf(credentials);
  std::lock_guard<std::mutex> lock(mutex_);
  if (remembered_.size() >= kMostRemembered) {
    for (auto it = remembered_.begin(); it != remembered_.end();) {
      it = it->second <= now ? remembered_.erase(it) : std::next(it);
    }
    if (remembered_.size() >= kMostRemembered) remembered_.clear();
  }
  remembered_[digest] = now + kRemembered;
  return true;
}

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

}  // namespace kestrel::exporter
