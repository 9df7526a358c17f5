#include "web/connection_budget.h"

#include <algorithm>

namespace kestrel::web {

namespace {

std::size_t CountOf(const std::map<IpAddress, std::size_t>& counts, const IpAddress& key) {
  const auto found = counts.find(key);
  return found != counts.end() ? found->second : 0;
}

void Decrement(std::map<IpAddress, std::size_t>& counts, const IpAddress& key) {
  const auto found = counts.find(key);
  if (found == counts.end()) return;
  if (--found->second == 0) counts.erase(found);
}

}  // namespace

// An eighth of the total is kept: room for a newcomer from each of total / 64 networks at least,
// which only an attacker holding that many networks can take from them.
ConnectionBudget::ConnectionBudget(const ConnectionLimits& limits)
    : limits_(limits), kept_(std::max<std::size_t>(limits.total / 8, 1)) {}

bool ConnectionBudget::Fits(const IpAddress& client) const {
  if (held_ >= limits_.total) return false;
  if (CountOf(by_address_, client) >= limits_.per_address) return false;
  const std::size_t prefix = CountOf(by_prefix_, client.Prefix(limits_.ipv4_prefix));
  if (prefix >= limits_.per_prefix) return false;
  return held_ + kept_ < limits_.total || prefix < kFew;
}

bool ConnectionBudget::Admit(const IpAddress& client) {
  if (!Fits(client)) return false;
  ++held_;
  ++by_address_[client];
  ++by_prefix_[client.Prefix(limits_.ipv4_prefix)];
  return true;
}

void ConnectionBudget::Release(const IpAddress& client) {
  if (held_ > 0) --held_;
  Decrement(by_address_, client);
  Decrement(by_prefix_, client.Prefix(limits_.ipv4_prefix));
}

}  // namespace kestrel::web
