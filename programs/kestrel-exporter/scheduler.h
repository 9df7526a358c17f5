// Who loads which device when. A provider serves one call at a time, so loads of one device run
// one after the other; different devices load in parallel on a bounded pool of workers. A probe
// joins the load that is running instead of starting another, and stops waiting at its deadline
// while the load goes on: one device that hangs never holds up the others. Whoever asks within a
// device's min_interval of its last load (a probe, the poll, the MQTT publisher) gets that load's
// result: the device serves one request at a time and is never loaded twice for one moment.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include "programs/kestrel-exporter/deadline_timer.h"
#include "programs/kestrel-exporter/device.h"
#include "programs/kestrel-exporter/worker_pool.h"

namespace kestrel::exporter {

// How long a device that timed out or refused is left alone: from initial, doubling with each
// such load up to most; 0 turns it off.
struct Backoff {
  double initial_seconds = 30;
  double most_seconds = 600;
};

class Scheduler {
 public:
  // on_load sees every ended load, on the worker that ran it.
  using LoadObserver = std::function<void(const DeviceConfig&, const LoadResult&)>;
  // Unlisted targets load on workers of their own, so they can never take the workers of
  // configured devices: a quarter of them, and never more than kUnlistedLoadsAtOnce, since a
  // large document takes a core and tens of MB while it loads.
  using Now = Clock::time_point (*)();
  static constexpr std::size_t kUnlistedLoadsAtOnce = 4;
  explicit Scheduler(std::size_t workers, LoadObserver on_load = nullptr, Now now = &Clock::now)
      : on_load_(std::move(on_load)),
        now_(now),
        unlisted_pool_(std::min(workers / 4, kUnlistedLoadsAtOnce)),
        pool_(workers) {}

  using ProbeDone = std::function<void(const LoadResult&)>;
  // Starts a load unless one runs, and returns at once: done gets that load's result on the
  // worker that ended it, or at deadline, on the timer's thread, a result that is not finished
  // and says how long the probe waited; whichever comes first, exactly once (at once, on this
  // thread, when the device's last result stands: left alone, or within its min_interval).
  void ProbeAsync(const std::shared_ptr<Device>& device, Clock::time_point deadline,
                  ProbeDone done);
  // Starts a load unless one runs or the last still stands; does not wait (background polling).
  void Start(const std::shared_ptr<Device>& device);
  bool Stop(Clock::time_point deadline) {
    const bool unlisted_ended = unlisted_pool_.Stop(deadline);
    return pool_.Stop(deadline) && unlisted_ended;
  }
  // Enough workers that every configured device can load at once: a device that hangs then
  // holds only its own worker, never another device's.
  void EnsureWorkers(std::size_t configured_devices) { pool_.RaiseLimit(configured_devices); }
  void SetBackoff(const Backoff& backoff);
  // Loads a worker has taken and not ended, those waiting for their device's folder included.
  std::size_t LoadsRunning() const { return pool_.Running() + unlisted_pool_.Running(); }

 private:
  // Under the device's lock: the number of the load to wait for.
  uint64_t BeginLocked(const std::shared_ptr<Device>& device);
  void Run(const std::shared_ptr<Device>& device, uint64_t number);
  LoadObserver on_load_;
  const Now now_;  // the back-off's clock
  mutable std::mutex backoff_mutex_;
  Backoff backoff_;
  DeadlineTimer timer_;
  // last: their threads end before what they use
  WorkerPool unlisted_pool_;
  WorkerPool pool_;
};

}  // namespace kestrel::exporter
