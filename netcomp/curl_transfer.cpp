#include "netcomp/curl_transfer.h"

#include <cstddef>
#include <mutex>

namespace kestrel::netcomp {

namespace {

// How many idle multi handles the pool keeps: as many as loads run at once in a large host (the
// exporter's workers), so that a busy moment does not make and close handles (a multi handle
// costs about as much to make as a whole load); beyond that, a returned handle is closed.
constexpr std::size_t kMaxIdleHandles = 64;
// libcurl's own wait between two looks at a transfer that has nothing to do.
constexpr int kPollMs = 1000;

// A fixed array rather than a container: giving a handle back must not need memory.
class TransferPool {
 public:
  CURLM* Take() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (idle_count_ > 0) return idle_[--idle_count_];
    }
    return curl_multi_init();
  }

  void Give(CURLM* multi) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (users_ > 0 && idle_count_ < kMaxIdleHandles) {
        idle_[idle_count_++] = multi;
        return;
      }
    }
    curl_multi_cleanup(multi);
  }

  void Hold() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++users_;
  }

  void Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (users_ > 0) --users_;
    if (users_ > 0) return;
    while (idle_count_ > 0) curl_multi_cleanup(idle_[--idle_count_]);
  }

  std::size_t Idle() {
    std::lock_guard<std::mutex> guard(mutex_);
    return idle_count_;
  }

 private:
  std::mutex mutex_;
  CURLM* idle_[kMaxIdleHandles] = {};
  std::size_t idle_count_ = 0;
  std::size_t users_ = 0;
};

// Never destroyed: a thread still finishing a transfer while the process exits must find it.
// It holds no handle once the last component is gone.
TransferPool& Pool() {
  static TransferPool* const pool = new TransferPool;
  return *pool;
}

}  // namespace

CURLSH* NewComponentShare() {
  CURLSH* share = curl_share_init();
  if (share == nullptr) return nullptr;
  if (curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
    curl_share_cleanup(share);
    return nullptr;
  }
  return share;
}

CURLcode PerformTransfer(CURL* easy) {
  CURLM* multi = Pool().Take();
  if (multi == nullptr) return CURLE_OUT_OF_MEMORY;
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
    curl_multi_cleanup(multi);
    return CURLE_OUT_OF_MEMORY;
  }
  CURLMcode state = CURLM_OK;
  for (int running = 1; state == CURLM_OK;) {
    state = curl_multi_perform(multi, &running);
    if (state != CURLM_OK || running == 0) break;
    state = curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
  }
  CURLcode result = CURLE_OUT_OF_MEMORY;
  int left = 0;
  for (CURLMsg* message = curl_multi_info_read(multi, &left); message != nullptr;
       message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
      result = message->data.result;
    }
  }
  // Removing the handle puts a connection the device keeps open into the component's share.
  const bool removed = curl_multi_remove_handle(multi, easy) == CURLM_OK;
  // A handle that failed in itself is not lent again.
  if (state == CURLM_OK && removed) {
    Pool().Give(multi);
  } else {
    curl_multi_cleanup(multi);
  }
  return result;
}

void HoldTransferPool() {
  Pool().Hold();
}

void ReleaseTransferPool() {
  Pool().Release();
}

std::size_t IdleTransferHandles() {
  return Pool().Idle();
}

}  // namespace kestrel::netcomp
