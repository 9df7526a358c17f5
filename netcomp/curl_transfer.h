// How the libcurl component runs its transfers while holding next to nothing between them.
//
// A host of thousands of devices keeps one component per device, so what a component holds while
// its device rests is paid thousands of times. curl_easy_perform gives every easy handle a multi
// handle of its own, and in libcurl 7.88 every multi handle holds a socket pair to wake its poll;
// an easy handle that has run a transfer holds about 8 KB; a share that keeps connections makes
// an easy handle of its own to close them with, and with its connection cache takes about 10 KB.
// So the multi handle that drives a transfer, and for most devices the easy handle too, are
// borrowed from process-wide pools for the transfer alone: the pools keep as many idle handles as
// transfers ran at once (up to a bound), not one per device. A component keeps only what its
// device has shown it will reuse (see curl_component.cpp).
#pragma once

#include <curl/curl.h>

#include <cstddef>

namespace kestrel::netcomp {

// What a component's share holds: DNS answers alone, for a device whose host name libcurl asks
// the system about, or also the connection, for a device that keeps its connections open.
enum class ShareKind { kNone, kDns, kDnsAndConnections };

// A share of one kind for one component; null for kNone or when libcurl cannot make one.
// A share's connections must not be used by two threads at once (libcurl does not support that),
// which holds here: a component serves one GET at a time.
CURLSH* NewComponentShare(ShareKind kind);

// Sets the options that every GET of every component shares; libcurl keeps them in the handle
// from one transfer to the next.
void SetFixedOptions(CURL* easy);

// An easy handle with the fixed options, lent for one GET; null when libcurl cannot make one.
// The GET sets everything else it needs every time. A handle that is lent from one device to
// another never carries a login: libcurl remembers in the handle which scheme a device asked
// for and its digest nonce, and would offer them to the next device.
CURL* BorrowEasyHandle();
// Takes a borrowed handle back, detached from the GET's share, buffer and error text.
void ReturnEasyHandle(CURL* easy);
// Off: every GET makes its easy handle and closes it again (the benchmark's comparison).
void UseEasyHandlePool(bool use);

struct TransferOutcome {
  CURLcode result = CURLE_OUT_OF_MEMORY;
  // libcurl kept the connection open for a next GET (the answer did not close it).
  bool connection_kept = false;
};

// Runs easy's transfer to its end on a borrowed multi handle. connections_shared says whether
// easy's share keeps connections: a connection libcurl keeps without one would stay in the
// borrowed multi handle, holding a descriptor for whoever borrows it next, so that handle is
// closed rather than lent again.
TransferOutcome PerformTransfer(CURL* easy, bool connections_shared);

// Every component holds the pools while it lives; when the last one lets go, the idle handles
// are closed, so a process without components holds none.
void HoldTransferPool();
void ReleaseTransferPool();

// Idle multi and easy handles the pools keep now (tests and benchmarks).
std::size_t IdleTransferHandles();
std::size_t IdleEasyHandles();

}  // namespace kestrel::netcomp
