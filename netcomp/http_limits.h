// What both network components allow a device, libcurl's on Linux and WinHTTP's on Windows: the
// same limits, so that both builds refuse the same answers.
#pragma once

#include <cstddef>

namespace kestrel::netcomp {

constexpr long kConnectTimeoutMs = 5000;
constexpr long kRequestTimeoutMs = 10000;
constexpr long kMaxRedirects = 3;

// A Room Alert 3W answers about 1 KB. A larger body is refused rather than buffered: a hostile
// or broken device would otherwise make every load cost memory in proportion (a 1 MB document
// already takes some 60 MB to convert and read). A body of exactly this size is read.
constexpr std::size_t kMaxBodyBytes = 1024u * 1024u;

}  // namespace kestrel::netcomp
