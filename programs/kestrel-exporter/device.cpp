#include "programs/kestrel-exporter/device.h"

namespace kestrel::exporter {

const std::vector<double>& LoadStatistics::Bounds() {
  static const std::vector<double> kBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                              0.5,   1,    2.5,   5,    10,  30};
  return kBounds;
}

std::shared_ptr<const LoadResult> KeptResult(const DeviceConfig& config,
                                             std::shared_ptr<const LoadResult> load) {
  if (!config.unlisted || load->device.interfaces.empty()) return load;
  auto kept = std::make_shared<LoadResult>();
  kept->finished = load->finished;
  kept->result = load->result;
  kept->error = load->error;
  kept->unreachable = load->unreachable;
  kept->failure_class = load->failure_class;
  kept->duration_seconds = load->duration_seconds;
  kept->finished_at = load->finished_at;
  return kept;
}

Device::Device(DeviceConfig config, const AuthModule* auth, std::unique_ptr<DeviceLoader> loader,
               std::shared_ptr<std::mutex> files)
    : config_(std::move(config)), loader_(std::move(loader)), files_(std::move(files)) {
  if (auth != nullptr) {
    user_ = auth->user;
    password_ = auth->password;
  }
  statistics_.buckets.assign(LoadStatistics::Bounds().size(), 0);
}

DeviceConfig Device::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

void Device::Retune(const DeviceConfig& config) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.labels = config.labels;
  config_.thresholds = config.thresholds;
  config_.min_interval_seconds = config.min_interval_seconds;
}

std::shared_ptr<const LoadResult> Device::Last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

bool Device::Loading() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loading_;
}

int Device::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

LoadStatistics Device::Statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statistics_;
}

Clock::time_point Device::RetryAt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return retry_at_;
}

bool Device::SameProvider(const DeviceConfig& config, const AuthModule* auth) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string user = auth != nullptr ? auth->user : std::string();
  const std::string password = auth != nullptr ? auth->password : std::string();
  return config.host == config_.host && config.secure == config_.secure &&
         config.port == config_.port && user == user_ && password == password_ &&
         config.tls == config_.tls;
}

}  // namespace kestrel::exporter
