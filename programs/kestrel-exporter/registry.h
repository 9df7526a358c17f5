// The devices a probe may name: the configured ones, whose providers survive reloads, and the
// unlisted targets made on demand.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/device.h"
#include "web/address.h"

namespace kestrel::exporter {

// The configured devices by name, with the providers that survive reloads.
class Registry {
 public:
  // An unlisted target not probed for unlisted_idle is dropped, and its folder with it.
  explicit Registry(LoaderFactory factory,
                    std::chrono::seconds unlisted_idle = std::chrono::minutes(10))
      : factory_(std::move(factory)), unlisted_idle_(unlisted_idle) {}

  // Takes a new configuration: a device whose host, port, scheme, credentials and TLS trust are
  // unchanged keeps its provider (and its latest result); the others get new ones. Unlisted
  // devices are dropped, since the defaults they were made with may have changed.
  void Apply(const Config& config);
  // The device a probe names. Unlisted targets are made on first use when the configuration
  // allows them and the client's network is listed; error says why a target is refused.
  std::shared_ptr<Device> Find(const std::string& target, std::string& error,
                               const web::IpAddress& client = web::IpAddress());
  std::size_t UnlistedCount() const;
  // Configured devices, in file order.
  std::vector<std::shared_ptr<Device>> Devices() const;
  Config Current() const;
  // What every probe and poll needs, without copying the whole configuration.
  double TimeoutSeconds() const;
  double PollIntervalSeconds() const;

 private:
  // Under the lock: takes out unlisted devices nobody probed for a while (checked now and
  // then), for the caller to let go of outside the lock.
  void TakeIdleUnlisted(Clock::time_point now, std::vector<std::shared_ptr<Device>>& idle);
  LoaderFactory factory_;
  const std::chrono::seconds unlisted_idle_;
  Clock::time_point next_sweep_{};
  mutable std::mutex mutex_;
  Config config_;
  std::vector<std::shared_ptr<Device>> devices_;
  std::map<std::string, std::shared_ptr<Device>> by_name_;
  std::map<std::string, std::shared_ptr<Device>> unlisted_;
  // The folder guards of devices that may still load: by name, or NUL + host for unlisted ones.
  std::map<std::string, std::weak_ptr<std::mutex>> folders_;
  std::shared_ptr<std::mutex> FolderGuard(const std::string& key);
};

}  // namespace kestrel::exporter
