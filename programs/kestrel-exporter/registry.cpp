#include "programs/kestrel-exporter/registry.h"

#include <algorithm>
#include <iterator>

#include "programs/kestrel-exporter/networks.h"

namespace kestrel::exporter {

namespace {

// Unlisted targets each keep a provider; past this many, new ones are refused rather than let a
// caller grow the process without end.
constexpr std::size_t kMostUnlisted = 1000;

}  // namespace

void Registry::Apply(const Config& config) {
  std::vector<std::shared_ptr<Device>> devices;
  std::map<std::string, std::shared_ptr<Device>> by_name;
  std::vector<std::shared_ptr<Device>> retired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = folders_.begin(); it != folders_.end();) {
      it = it->second.expired() ? folders_.erase(it) : std::next(it);
    }
    for (const DeviceConfig& wanted : config.devices) {
      const AuthModule* auth = wanted.auth.empty() ? nullptr : config.FindAuth(wanted.auth);
      std::shared_ptr<Device> device;
      const auto old = by_name_.find(wanted.name);
      if (old != by_name_.end() && old->second->SameProvider(wanted, auth)) {
        device = old->second;
        device->Retune(wanted);
      } else {
        device = std::make_shared<Device>(wanted, auth, factory_(wanted, auth),
                                          FolderGuard(wanted.name));
      }
      devices.push_back(device);
      by_name.emplace(wanted.name, device);
    }
    config_ = config;
    retired.swap(devices_);
    devices_.swap(devices);
    by_name_.swap(by_name);
    for (auto& entry : unlisted_) retired.push_back(std::move(entry.second));
    unlisted_.clear();
  }
  // Providers that left the configuration go when their last load ends, outside the lock.
  retired.clear();
}

std::shared_ptr<Device> Registry::Find(const std::string& target, std::string& error,
                                       const web::IpAddress& client) {
  std::vector<std::shared_ptr<Device>> idle;  // let go of after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = Clock::now();
  TakeIdleUnlisted(now, idle);
  const auto found = by_name_.find(target);
  if (found != by_name_.end()) return found->second;
  if (!config_.allow_unlisted_targets) {
    error = "target is not a configured device (allow_unlisted_targets is off)";
    return nullptr;
  }
  if (!config_.MayAskForUnlisted(client)) {
    error = "target is not a configured device, and unlisted targets are not allowed from " +
            client.Text() + " (unlisted_targets_allowed_networks)";
    return nullptr;
  }
  if (!IsHostAndPort(target)) {
    error =
        "target is neither a configured device nor host[:port] (no user, path, query or "
        "fragment)";
    return nullptr;
  }
  std::shared_ptr<Device> device;
  const auto unlisted = unlisted_.find(target);
  if (unlisted != unlisted_.end()) {
    device = unlisted->second;
  } else if (unlisted_.size() >= kMostUnlisted) {
    error = "too many unlisted targets; list the device in the configuration";
    return nullptr;
  } else {
    const DeviceConfig config = config_.UnlistedDevice(target);
    device = std::make_shared<Device>(config, nullptr, factory_(config, nullptr),
                                      FolderGuard(std::string(1, '\0') + target));
    unlisted_.emplace(target, device);
  }
  std::lock_guard<std::mutex> device_lock(device->mutex_);
  device->last_used_ = now;
  return device;
}

void Registry::TakeIdleUnlisted(Clock::time_point now, std::vector<std::shared_ptr<Device>>& idle) {
  if (now < next_sweep_) return;
  next_sweep_ = now + std::min<Clock::duration>(unlisted_idle_, std::chrono::seconds(10));
  for (auto it = unlisted_.begin(); it != unlisted_.end();) {
    bool unused;
    {
      std::lock_guard<std::mutex> device_lock(it->second->mutex_);
      unused = !it->second->loading_ && now - it->second->last_used_ >= unlisted_idle_;
    }
    if (unused) {
      idle.push_back(std::move(it->second));
      it = unlisted_.erase(it);
    } else {
      ++it;
    }
  }
}

std::size_t Registry::UnlistedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unlisted_.size();
}

std::shared_ptr<std::mutex> Registry::FolderGuard(const std::string& key) {
  std::shared_ptr<std::mutex> guard = folders_[key].lock();
  if (guard == nullptr) {
    guard = std::make_shared<std::mutex>();
    folders_[key] = guard;
  }
  return guard;
}

std::vector<std::shared_ptr<Device>> Registry::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

Config Registry::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

double Registry::TimeoutSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.timeout_seconds;
}

double Registry::PollIntervalSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.poll_interval_seconds;
}

}  // namespace kestrel::exporter
