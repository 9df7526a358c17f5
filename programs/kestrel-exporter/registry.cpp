#include "programs/kestrel-exporter/registry.h"

#include <algorithm>
#include <future>
#include <iterator>

#include "programs/kestrel-exporter/networks.h"

namespace kestrel::exporter {

namespace {

// Unlisted targets each keep a provider; past this many, new ones are refused rather than let
// callers grow the process without end.
constexpr std::size_t kMostUnlisted = 1000;
// Names resolved at once, and probes that may wait for a name: a name server that does not
// answer holds these and nothing else.
constexpr std::size_t kResolversAtOnce = 4;
constexpr std::size_t kMostWaitingForNames = 256;

// Whose share an unlisted target counts in: an IPv4 client by its address, an IPv6 one by its
// /64, which a single host may hold whole.
std::string ClientShare(web::IpAddress client) {
  if (client.family != AF_INET6) return client.Text();
  std::fill(client.bytes.begin() + 8, client.bytes.end(), 0);
  return client.Text() + "/64";
}

}  // namespace

Registry::Registry(LoaderFactory factory, std::chrono::seconds unlisted_idle)
    : factory_(std::move(factory)),
      unlisted_idle_(unlisted_idle),
      own_addresses_(OwnAddresses()),
      resolver_(kResolversAtOnce) {}

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
    for (auto& entry : unlisted_) retired.push_back(std::move(entry.second.device));
    unlisted_.clear();
    unlisted_per_client_.clear();
  }
  // Providers that left the configuration go when their last load ends, outside the lock.
  retired.clear();
}

void Registry::SetOwnPort(uint16_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  own_port_ = port;
}

void Registry::Find(const std::string& target, const web::IpAddress& client, Found found) {
  std::vector<std::shared_ptr<Device>> idle;  // let go of after the lock
  std::shared_ptr<Device> device;
  std::string error;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    TakeIdleUnlisted(Clock::now(), idle);
    const auto configured = by_name_.find(target);
    if (configured != by_name_.end()) {
      device = configured->second;
    } else if (error = RefusedClient(client); error.empty()) {
      std::string host;
      uint16_t port = 0;
      web::IpAddress address;
      if (!SplitHostAndPort(target, host, port)) {
        error =
            "target is neither a configured device nor host[:port] (no user, path, query or "
            "fragment)";
      } else if (LiteralAddress(host, address)) {
        device = Admit({address}, port, client, error);
      } else if (waiters_ >= kMostWaitingForNames) {
        error = "too many probes wait for names of unlisted targets to be resolved";
      } else {
        std::vector<Waiter>& waiting = resolving_[host];
        waiting.push_back(Waiter{port, client, std::move(found)});
        ++waiters_;
        // One resolution answers every probe of that name that comes meanwhile.
        if (waiting.size() == 1) resolver_.Submit([this, host] { Resolve(host); });
        return;
      }
    }
  }
  found(std::move(device), error);
}

std::shared_ptr<Device> Registry::Find(const std::string& target, std::string& error,
                                       const web::IpAddress& client) {
  std::promise<std::shared_ptr<Device>> answer;
  Find(target, client, [&](std::shared_ptr<Device> device, const std::string& why) {
    error = why;
    answer.set_value(std::move(device));
  });
  return answer.get_future().get();
}

void Registry::Resolve(const std::string& host) {
  std::string resolve_error;
  const std::vector<web::IpAddress> addresses = ResolveHost(host, resolve_error);
  std::vector<std::pair<Found, std::shared_ptr<Device>>> answers;
  std::vector<std::string> errors;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Waiter> waiting = std::move(resolving_[host]);
    resolving_.erase(host);
    waiters_ -= waiting.size();
    for (Waiter& waiter : waiting) {
      std::string error = resolve_error;
      std::shared_ptr<Device> device;
      // The configuration may have changed while the name was resolved.
      if (error.empty()) error = RefusedClient(waiter.client);
      if (error.empty()) device = Admit(addresses, waiter.port, waiter.client, error);
      answers.emplace_back(std::move(waiter.found), std::move(device));
      errors.push_back(std::move(error));
    }
  }
  for (std::size_t i = 0; i < answers.size(); ++i) {
    answers[i].first(std::move(answers[i].second), errors[i]);
  }
}

std::string Registry::RefusedClient(const web::IpAddress& client) const {
  if (!config_.allow_unlisted_targets) {
    return "target is not a configured device (allow_unlisted_targets is off)";
  }
  if (!config_.MayAskForUnlisted(client)) {
    return "target is not a configured device, and unlisted targets are not allowed from " +
           client.Text() + " (unlisted_targets_allowed_networks)";
  }
  return std::string();
}

std::shared_ptr<Device> Registry::Admit(const std::vector<web::IpAddress>& addresses, uint16_t port,
                                        const web::IpAddress& client, std::string& error) {
  if (port == 0) port = config_.port != 0 ? config_.port : config_.secure ? 443 : 80;
  const web::IpAddress* chosen = nullptr;
  for (const web::IpAddress& address : addresses) {
    const std::string why = UnreachableReason(
        address, port, config_.unlisted_targets_reachable_networks, own_port_, own_addresses_);
    if (why.empty()) {
      chosen = &address;
      break;
    }
    if (error.empty()) error = why;
  }
  if (chosen == nullptr) return nullptr;
  error.clear();
  const std::string name = AddressAndPort(*chosen, port);
  std::shared_ptr<Device> device;
  const auto known = unlisted_.find(name);
  const std::string share = ClientShare(client);
  std::size_t& held = unlisted_per_client_[share];
  if (known != unlisted_.end()) {
    device = known->second.device;
  } else if (unlisted_.size() >= kMostUnlisted) {
    error = "too many unlisted targets; list the device in the configuration";
  } else if (held >= config_.unlisted_targets_per_client) {
    error = "client " + share + " holds " + std::to_string(held) +
            " unlisted targets already (unlisted_targets_per_client); list the devices in the "
            "configuration";
  } else {
    const DeviceConfig config = config_.UnlistedDevice(name);
    device = std::make_shared<Device>(config, nullptr, factory_(config, nullptr),
                                      FolderGuard(std::string(1, '\0') + name));
    unlisted_.emplace(name, Unlisted{device, share});
    ++held;
  }
  if (held == 0) unlisted_per_client_.erase(share);
  if (device == nullptr) return nullptr;
  std::lock_guard<std::mutex> device_lock(device->mutex_);
  device->last_used_ = Clock::now();
  return device;
}

void Registry::TakeIdleUnlisted(Clock::time_point now, std::vector<std::shared_ptr<Device>>& idle) {
  if (now < next_sweep_) return;
  next_sweep_ = now + std::min<Clock::duration>(unlisted_idle_, std::chrono::seconds(10));
  own_addresses_ = OwnAddresses();
  for (auto it = unlisted_.begin(); it != unlisted_.end();) {
    bool unused;
    {
      std::lock_guard<std::mutex> device_lock(it->second.device->mutex_);
      unused =
          !it->second.device->loading_ && now - it->second.device->last_used_ >= unlisted_idle_;
    }
    if (!unused) {
      ++it;
      continue;
    }
    const auto share = unlisted_per_client_.find(it->second.client);
    if (share != unlisted_per_client_.end() && --share->second == 0) {
      unlisted_per_client_.erase(share);
    }
    idle.push_back(std::move(it->second.device));
    it = unlisted_.erase(it);
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
