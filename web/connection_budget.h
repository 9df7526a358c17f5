// How many connections the server holds, and for whom. One client address, one network (an IPv4
// /24 or /32, an IPv6 /64: one host is handed a whole /64) and all clients together each have a
// cap, and the last slots of the total are kept for networks that hold only a few connections:
// however many attackers sit at their caps, a scraper or a browser that comes later still gets in.
#pragma once

#include <cstddef>
#include <map>

#include "web/address.h"

namespace kestrel::web {

struct ConnectionLimits {
  std::size_t total = 1000;
  // One address cannot take every connection; Prometheus itself needs about one per scrape in
  // flight, so this stays well above the scrapes a large site keeps waiting at once.
  std::size_t per_address = 1024;
  std::size_t per_prefix = 2048;
  int ipv4_prefix = 24;  // bits of an IPv4 address that make its network (IPv6: always 64)
};

// Not thread-safe: its owner serialises the calls.
class ConnectionBudget {
 public:
  // A network that holds fewer connections than this may take the kept slots.
  static constexpr std::size_t kFew = 8;

  explicit ConnectionBudget(const ConnectionLimits& limits);

  // Whether a connection from client fits now; Admit counts it when it does.
  bool Fits(const IpAddress& client) const;
  bool Admit(const IpAddress& client);
  // An admitted connection ended.
  void Release(const IpAddress& client);

  std::size_t Held() const { return held_; }
  // The slots at the end of the total that only networks with fewer than kFew connections take.
  std::size_t Kept() const { return kept_; }

 private:
  const ConnectionLimits limits_;
  const std::size_t kept_;
  std::size_t held_ = 0;
  std::map<IpAddress, std::size_t> by_address_;
  std::map<IpAddress, std::size_t> by_prefix_;
};

}  // namespace kestrel::web
