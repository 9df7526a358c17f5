// How the libcurl component runs its transfers without holding descriptors while it waits.
//
// curl_easy_perform gives every easy handle a multi handle of its own, kept until the handle goes,
// and in libcurl 7.88 every multi handle holds a socket pair to wake its poll: two descriptors for
// each idle device, which a host of thousands of devices cannot afford. So a component keeps its
// easy handle and, in a share of its own, what it reuses from one GET to the next (its
// connections and DNS answers); the multi handle that drives a transfer is borrowed from a
// process-wide pool for the transfer alone. The pool keeps as many idle multi handles as transfers
// ran at once (up to a bound), not one per device.
#pragma once

#include <curl/curl.h>

#include <cstddef>

namespace kestrel::netcomp {

// A share for one component's connections and DNS answers; null when libcurl cannot make one.
// A share's connections must not be used by two threads at once (libcurl does not support that),
// which holds here: a component serves one GET at a time.
CURLSH* NewComponentShare();

// Runs easy's transfer to its end on a borrowed multi handle; answers the transfer's result.
CURLcode PerformTransfer(CURL* easy);

// Every component holds the pool while it lives; when the last one lets go, the idle multi handles
// are closed, so a process without components holds none.
void HoldTransferPool();
void ReleaseTransferPool();

// Idle multi handles the pool keeps now (tests and benchmarks).
std::size_t IdleTransferHandles();

}  // namespace kestrel::netcomp
