// The devices a probe may name: the configured ones, whose providers survive reloads, and the
// unlisted targets made on demand.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/device.h"
#include "programs/kestrel-exporter/worker_pool.h"
#include "web/address.h"

namespace kestrel::exporter {

// The configured devices by name, with the providers that survive reloads.
class Registry {
 public:
  // An unlisted target not probed for unlisted_idle is dropped, and its folder with it.
  explicit Registry(LoaderFactory factory,
                    std::chrono::seconds unlisted_idle = std::chrono::minutes(10));

  // Takes a new configuration: a device whose host, port, scheme, credentials and TLS trust are
  // unchanged keeps its provider (and its latest result); the others get new ones. Unlisted
  // devices are dropped, since the defaults they were made with may have changed.
  void Apply(const Config& config);
  // The port the exporter listens on: no unlisted target may point back at it.
  void SetOwnPort(uint16_t port);

  // The device a probe names, or nullptr with the reason a target is refused; answered exactly
  // once, at once for a configured device, a refusal or an address, else on a resolver thread
  // once the name is resolved (a name server that hangs holds no caller). An unlisted target
  // is made on first use when the configuration allows it, the client's network is listed and
  // the address is reachable; it is named by that address and port, so every spelling of one
  // address shares one provider.
  using Found = std::function<void(std::shared_ptr<Device> device, const std::string& error)>;
  void Find(const std::string& target, const web::IpAddress& client, Found found);
  // The same, waited for.
  std::shared_ptr<Device> Find(const std::string& target, std::string& error,
                               const web::IpAddress& client = web::IpAddress());
  std::size_t UnlistedCount() const;
  // Configured devices, in file order.
  std::vector<std::shared_ptr<Device>> Devices() const;
  Config Current() const;
  // What every probe and poll needs, without copying the whole configuration.
  double TimeoutSeconds() const;
  double PollIntervalSeconds() const;
  // Stops resolving names; false when a resolution still ran at the deadline.
  bool Stop(Clock::time_point deadline) { return resolver_.Stop(deadline); }

 private:
  struct Unlisted {
    std::shared_ptr<Device> device;
    std::string client;  // whose share it counts in
  };
  // A probe waiting for its target's name to be resolved.
  struct Waiter {
    uint16_t port;
    web::IpAddress client;
    Found found;
  };
  // Under the lock: takes out unlisted devices nobody probed for a while (checked now and
  // then), for the caller to let go of outside the lock.
  void TakeIdleUnlisted(Clock::time_point now, std::vector<std::shared_ptr<Device>>& idle);
  // Under the lock: why client may not name an unlisted target (empty: it may).
  std::string RefusedClient(const web::IpAddress& client) const;
  // Under the lock: the device of the first address that may be fetched, made when new.
  std::shared_ptr<Device> Admit(const std::vector<web::IpAddress>& addresses, uint16_t port,
                                const web::IpAddress& client, std::string& error);
  // On a resolver thread: resolves host and answers every probe that waits for it.
  void Resolve(const std::string& host);
  std::shared_ptr<std::mutex> FolderGuard(const std::string& key);

  LoaderFactory factory_;
  const std::chrono::seconds unlisted_idle_;
  Clock::time_point next_sweep_{};
  mutable std::mutex mutex_;
  Config config_;
  uint16_t own_port_ = 0;
  std::vector<web::IpAddress> own_addresses_;  // refreshed with every sweep
  std::vector<std::shared_ptr<Device>> devices_;
  std::map<std::string, std::shared_ptr<Device>> by_name_;
  std::map<std::string, Unlisted> unlisted_;  // by address and port
  std::map<std::string, std::size_t> unlisted_per_client_;
  // The folder guards of devices that may still load: by name, or NUL + host for unlisted ones.
  std::map<std::string, std::weak_ptr<std::mutex>> folders_;
  std::map<std::string, std::vector<Waiter>> resolving_;  // by name
  std::size_t waiters_ = 0;
  // last: its threads end before what they use
  WorkerPool resolver_;
};

}  // namespace kestrel::exporter
