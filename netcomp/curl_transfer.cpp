#include "netcomp/curl_transfer.h"

#include <atomic>
#include <cstddef>
#include <mutex>

#include "netcomp/http_limits.h"

namespace kestrel::netcomp {

namespace {

// How many idle handles of each kind a pool keeps: as many as loads run at once in a large host
// (the exporter's workers), so that a busy moment does not make and close handles. A multi handle
// costs about as much to make as a whole load; an easy handle made and closed for every GET would
// add 14,500 instructions (4%) and 10 heap blocks to a load (`Mechanism/Load`, callgrind). Beyond
// that, a returned handle is closed.
constexpr std::size_t kMaxIdleHandles = 64;
// libcurl's own wait between two looks at a transfer that has nothing to do.
constexpr int kPollMs = 1000;
constexpr long kReceiveBufferBytes = 4096;

std::atomic<bool> g_pool_easy_handles{true};

// A fixed array rather than a container: giving a handle back must not need memory.
class HandlePool {
 public:
  using Make = void* (*)();
  using Close = void (*)(void*);

  HandlePool(Make make, Close close) : make_(make), close_(close) {}

  void* Take() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (idle_count_ > 0) return idle_[--idle_count_];
    }
    return make_();
  }

  void Give(void* handle) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (users_ > 0 && idle_count_ < kMaxIdleHandles) {
        idle_[idle_count_++] = handle;
        return;
      }
    }
    close_(handle);
  }

  void Hold() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++users_;
  }

  void Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (users_ > 0) --users_;
    if (users_ > 0) return;
    while (idle_count_ > 0) close_(idle_[--idle_count_]);
  }

  std::size_t Idle() {
    std::lock_guard<std::mutex> guard(mutex_);
    return idle_count_;
  }

 private:
  const Make make_;
  const Close close_;
  std::mutex mutex_;
  void* idle_[kMaxIdleHandles] = {};
  std::size_t idle_count_ = 0;
  std::size_t users_ = 0;
};

void* MakeMulti() {
  return curl_multi_init();
}

void CloseMulti(void* multi) {
  curl_multi_cleanup(multi);
}

void* MakeEasy() {
  CURL* easy = curl_easy_init();
  if (easy != nullptr) SetFixedOptions(easy);
  return easy;
}

void CloseEasy(void* easy) {
  curl_easy_cleanup(easy);
}

// Never destroyed: a thread still finishing a transfer while the process exits must find them.
// They hold no handle once the last component is gone.
HandlePool& Multis() {
  static HandlePool* const pool = new HandlePool(&MakeMulti, &CloseMulti);
  return *pool;
}

HandlePool& Easies() {
  static HandlePool* const pool = new HandlePool(&MakeEasy, &CloseEasy);
  return *pool;
}

}  // namespace

CURLSH* NewComponentShare(ShareKind kind) {
  if (kind == ShareKind::kNone) return nullptr;
  CURLSH* share = curl_share_init();
  if (share == nullptr) return nullptr;
  if (curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
      (kind == ShareKind::kDnsAndConnections &&
       curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK)) {
    curl_share_cleanup(share);
    return nullptr;
  }
  return share;
}

void SetFixedOptions(CURL* e) {
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, kRequestTimeoutMs);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes));
  curl_easy_setopt(e, CURLOPT_USERAGENT, "kestrel-probe");
  // libcurl allocates its receive buffer anew for every transfer, 16 KB unless told; a device
  // answers with a few KB, headers included. A bigger answer only takes more reads.
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
}

CURL* BorrowEasyHandle() {
  return Easies().Take();
}

void ReturnEasyHandle(CURL* easy) {
  // The share may go before the handle is lent again, and libcurl refuses to close a share
  // that a handle still uses.
  curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
  if (g_pool_easy_handles.load(std::memory_order_relaxed)) {
    Easies().Give(easy);
  } else {
    curl_easy_cleanup(easy);
  }
}

TransferOutcome PerformTransfer(CURL* easy, bool connections_shared) {
  TransferOutcome outcome;
  CURLM* multi = Multis().Take();
  if (multi == nullptr) return outcome;
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
    curl_multi_cleanup(multi);
    return outcome;
  }
  CURLMcode state = CURLM_OK;
  for (int running = 1; state == CURLM_OK;) {
    state = curl_multi_perform(multi, &running);
    if (state != CURLM_OK || running == 0) break;
    state = curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
  }
  int left = 0;
  for (CURLMsg* message = curl_multi_info_read(multi, &left); message != nullptr;
       message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
      outcome.result = message->data.result;
    }
  }
  // libcurl's own verdict on the connection, while the handle is still in the multi handle: a
  // socket when it kept the connection, none when the answer (or a failure) closed it.
  curl_socket_t kept = CURL_SOCKET_BAD;
  curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &kept);
  outcome.connection_kept = kept != CURL_SOCKET_BAD;
  // Removing the handle puts a connection the device keeps open into the component's share.
  const bool removed = curl_multi_remove_handle(multi, easy) == CURLM_OK;
  // A handle that failed in itself is not lent again, nor one left holding a connection.
  if (state == CURLM_OK && removed && (connections_shared || !outcome.connection_kept)) {
    Multis().Give(multi);
  } else {
    curl_multi_cleanup(multi);
  }
  return outcome;
}

void HoldTransferPool() {
  Multis().Hold();
  Easies().Hold();
}

void ReleaseTransferPool() {
  Easies().Release();
  Multis().Release();
}

void UseEasyHandlePool(bool use) {
  g_pool_easy_handles.store(use, std::memory_order_relaxed);
}

std::size_t IdleTransferHandles() {
  return Multis().Idle();
}

std::size_t IdleEasyHandles() {
  return Easies().Idle();
}

}  // namespace kestrel::netcomp
