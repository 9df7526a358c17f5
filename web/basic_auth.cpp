#include "web/basic_auth.h"

#include <crypt.h>
#include <gnutls/crypto.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>

namespace kestrel::web {

namespace {

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with its padding; false for anything else.
bool DecodeBase64(const std::string& text, std::string& out) {
  if (text.size() % 4 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 4) {
    uint32_t bits = 0;
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const bool last = i + 4 == text.size();
      if (c == '=' && last && k >= 2) {
        ++padding;
        bits <<= 6;
        continue;
      }
      const int digit = Base64Digit(c);
      if (digit < 0 || padding > 0) return false;
      bits = bits << 6 | static_cast<uint32_t>(digit);
    }
    out += static_cast<char>(bits >> 16);
    if (padding < 2) out += static_cast<char>(bits >> 8 & 0xFF);
    if (padding < 1) out += static_cast<char>(bits & 0xFF);
  }
  return true;
}

}  // namespace

Credentials CredentialsOf(const Request& request) {
  Credentials credentials;
  const std::string* header = request.Header("Authorization");
  constexpr std::size_t kScheme = 5;  // "Basic"
  if (header == nullptr || header->size() <= kScheme || (*header)[kScheme] != ' ') {
    return credentials;
  }
  for (std::size_t i = 0; i < kScheme; ++i) {
    if (std::tolower(static_cast<unsigned char>((*header)[i])) != "basic"[i]) return credentials;
  }
  const std::size_t start = header->find_first_not_of(' ', kScheme);
  std::string decoded;
  if (start == std::string::npos || !DecodeBase64(header->substr(start), decoded)) {
    return credentials;
  }
  const std::size_t colon = decoded.find(':');
  if (colon == std::string::npos || decoded.find('\0') != std::string::npos) return credentials;
  credentials.given = true;
  credentials.user = decoded.substr(0, colon);
  credentials.password = decoded.substr(colon + 1);
  return credentials;
}

bool BcryptMatches(const std::string& password, const std::string& hash) {
  if (password.find('\0') != std::string::npos) return false;
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

BasicAuth::BasicAuth(std::map<std::string, std::string> users, Matcher matches, BasicAuth* previous)
    : users_(std::move(users)), matches_(std::move(matches)) {
  if (previous == nullptr) return;
  std::lock_guard<std::mutex> lock(previous->mutex_);
  Keep(*previous, previous->accepted_, accepted_);
  Keep(*previous, previous->refused_, refused_);
}

bool BasicAuth::SameHash(const BasicAuth& other, const std::string& user) const {
  const auto here = users_.find(user);
  const auto there = other.users_.find(user);
  if (here == users_.end() || there == other.users_.end()) {
    return here == users_.end() && there == other.users_.end();
  }
  return here->second == there->second;
}

void BasicAuth::Keep(const BasicAuth& previous, const Decisions& from, Decisions& to) const {
  for (const auto& [digest, decision] : from) {
    if (SameHash(previous, decision.user)) to.emplace(digest, decision);
  }
}

BasicAuth::Known BasicAuth::Recall(const Credentials& credentials, Clock::time_point now) {
  if (!credentials.given) return Known::kUnknown;
  const Digest digest = DigestOf(credentials);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto* decisions : {&accepted_, &refused_}) {
    const auto found = decisions->find(digest);
    if (found == decisions->end() || found->second.until <= now) continue;
    found->second.until = now + kRemembered;
    return decisions == &accepted_ ? Known::kAccepted : Known::kRefused;
  }
  return Known::kUnknown;
}

// Full, the decisions lose what lapsed, then the one nearest to lapsing.
void BasicAuth::Note(Decisions& decisions, std::size_t most, const Digest& digest,
                     const std::string& user, Clock::time_point now) {
  if (decisions.size() >= most && decisions.find(digest) == decisions.end()) {
    for (auto it = decisions.begin(); it != decisions.end();) {
      it = it->second.until <= now ? decisions.erase(it) : std::next(it);
    }
    if (decisions.size() >= most) {
      decisions.erase(std::min_element(
          decisions.begin(), decisions.end(),
          [](const auto& a, const auto& b) { return a.second.until < b.second.until; }));
    }
  }
  decisions[digest] = Decision{user, now + kRemembered};
}

bool BasicAuth::Check(const Credentials& credentials, Clock::time_point now) {
  if (Open()) return true;
  if (!credentials.given) return false;
  const auto user = users_.find(credentials.user);
  // An unknown user costs a bcrypt too, so the time taken does not tell which users exist.
  const std::string& hash = user != users_.end() ? user->second : users_.begin()->second;
  const bool accepted = matches_(credentials.password, hash) && user != users_.end();
  const Digest digest = DigestOf(credentials);
  std::lock_guard<std::mutex> lock(mutex_);
  if (accepted) {
    Note(accepted_, kMostRemembered, digest, credentials.user, now);
  } else {
    Note(refused_, kMostRefused, digest, credentials.user, now);
  }
  return accepted;
}

}  // namespace kestrel::web
