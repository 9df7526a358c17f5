// The network component on Linux: the maker's HTTP component's operations over libcurl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "netcomp/http_limits.h"
#include "netcomp/trust_files.h"
#include "platform/platform.h"

namespace kestrel::netcomp {

// Creates a component; answers 0 and a non-null *component, or a negative value.
int32_t CreateCurlComponent(kestrel::platform::HttpComponent** component);

// Component error codes (texts in the error-message table).
enum ComponentError : int32_t {
  kErrorNone = 0,
  kErrorTimedOut = 10060,
  kErrorRefused = 10061,
  kErrorUnknownHost = 11001,
  kErrorGeneric = 22449,
  kErrorCertificate = 22450,
};

// The error code for a libcurl result; os_errno is the socket error libcurl saw (0 if none).
int32_t ComponentErrorFromCurl(int curl_code, long os_errno);

// The response bytes as UTF-16: read as UTF-8 when they are valid UTF-8, else as Windows-1252.
std::u16string DecodeResponseBody(const std::string& bytes);
// The same text in UTF-8: the bytes themselves when they are valid UTF-8.
std::string DecodeResponseBodyToUtf8(const std::string& bytes);

// Whether libcurl asks the system for url's host: not for an address, nor for localhost and the
// names under it, which it answers itself. Only such a device's DNS answers are worth keeping.
bool NeedsNameLookup(const std::string& url);

// The URL as it may appear in a log: a password in it ("user:password@") shows as "********".
std::string UrlForLog(const std::string& url);

struct DeviceTrust {
  std::string ca_file;  // empty: the system's trust store
  bool insecure = false;
};

// What folder asks for. Files in a folder that anyone may write, or owned by another user than
// this process's (or root), are not heeded: they could make the process trust anything.
DeviceTrust ReadDeviceTrust(const std::string& folder);

}  // namespace kestrel::netcomp
