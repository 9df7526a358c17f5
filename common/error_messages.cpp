#include "common/error_messages.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string>

namespace {

struct ErrorRow {
  int32_t code;
  const char* message;
};

// Sorted by code: looked up by halving. Families whose texts this module never shows (gateways,
// mail, databases and the like) are not carried; their codes take the fallback.
constexpr ErrorRow kErrorRows[] = {
    {0, "Success"},
    {1010, "Creation of a new thread failed"},
    {1020, "Failed to create instance of object, out of memory."},
    {1030, "Exception error occurred, process has been terminated"},
    {1040, "Failed to allocate memory"},
    {1101, "Invalid or no account name entered"},
    {1102, "Invalid or no password entered"},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall"},
    {10009, "The file handle supplied is not valid"},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions"},
    {10014,
     "The system detected an invalid pointer address in attempting to use a pointer argument in a "
     "call"},
    {10022, "An invalid argument was supplied"},
    {10024, "Too many open sockets"},
    {10035, "A non-blocking socket operation could not be completed immediately"},
    {10036, "A blocking operation is currently executing"},
    {10037,
     "An operation was attempted on a non-blocking socket that already had an operation in "
     "progress"},
    {10038, "An operation was attempted on something that is not a socket"},
    {10039, "A required address was omitted from an operation on a socket"},
    {10040,
     "A message sent on a datagram socket was larger than the internal message buffer or some "
     "other network limit, or the buffer used to receive a datagram into was smaller than the "
     "datagram itself"},
    {10041,
     "A protocol was specified in the socket function call that does not support the semantics of "
     "the socket type requested"},
    {10042,
     "An unknown, invalid, or unsupported option or level was specified in a getsockopt or "
     "setsockopt call"},
    {10043,
     "The requested protocol has not been configured into the system, or no implementation for it "
     "exists"},
    {10044, "The support for the specified socket type does not exist in this address family"},
    {10045, "The attempted operation is not supported for the type of object referenced"},
    {10046,
     "The protocol family has not been configured into the system or no implementation for it "
     "exists"},
    {10047, "An address incompatible with the requested protocol was used"},
    {10048,
     "Only one usage of each socket address (protocol/network address/port) is normally permitted"},
    {10049, "The requested address is not valid in its context"},
    {10050, "A socket operation encountered a dead network"},
    {10051, "A socket operation was attempted to an unreachable network"},
    {10052,
     "The connection has been broken due to keep-alive activity detecting a failure while the "
     "operation was in progress"},
    {10053, "An established connection was aborted by the software in your host machine"},
    {10054, "An existing connection was forcibly closed by the remote host"},
    {10055,
     "An operation on a socket could not be performed because the system lacked sufficient buffer "
     "space or because a queue was full"},
    {10056, "A connect request was made on an already connected socket"},
    {10057,
     "A request to send or receive data was disallowed because the socket is not connected and "
     "(when sending on a datagram socket using a sendto call) no address was supplied"},
    {10058,
     "A request to send or receive data was disallowed because the socket had already been shut "
     "down in that direction with a previous shutdown call"},
    {10059, "Too many references to some kernel object"},
    {10060,
     "A connection attempt failed because the connected party did not properly respond after a "
     "period of time, or established connection failed because connected host has failed to "
     "respond"},
    {10061, "No connection could be made because the target machine actively refused it"},
    {10062, "Cannot translate name"},
    {10063, "Name component or name was too long"},
    {10064, "A socket operation failed because the destination host was down"},
    {10065, "A socket operation was attempted to an unreachable host"},
    {10066, "Cannot remove a directory that is not empty"},
    {10067,
     "A Windows Sockets implementation may have a limit on the number of applications that may use "
     "it simultaneously"},
    {10068, "Ran out of quota"},
    {10069, "Ran out of disk quota"},
    {10070, "File handle reference is no longer available"},
    {10071, "Item is not available locally"},
    {10091,
     "WSAStartup cannot function at this time because the underlying system it uses to provide "
     "network services is currently unavailable"},
    {10092, "The Windows Sockets version requested is not supported"},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed"},
    {10101,
     "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful "
     "shutdown sequence"},
    {10102, "No more results can be returned by WSALookupServiceNext"},
    {10103,
     "A call to WSALookupServiceEnd was made while this call was still processing. The call has "
     "been canceled"},
    {10104, "The procedure call table is invalid"},
    {10105, "The requested service provider is invalid"},
    {10106, "The requested service provider could not be loaded or initialized"},
    {10107, "A system call that should never fail has failed"},
    {10108, "No such service is known. The service cannot be found in the specified name space"},
    {10109, "The specified class was not found"},
    {10110, "No more results can be returned by WSALookupServiceNext"},
    {10111,
     "A call to WSALookupServiceEnd was made while this call was still processing. The call has "
     "been canceled"},
    {10112, "A database query failed because it was actively refused"},
    {11001, "No such host is known"},
    {11002,
     "This is usually a temporary error during hostname resolution and means that the local server "
     "did not receive a response from an authoritative server"},
    {11003, "A non-recoverable error occurred during a database lookup"},
    {11004,
     "The requested name is valid and was found in the database, but it does not have the correct "
     "associated data being resolved for"},
    {11005, "At least one reserve has arrived"},
    {11006, "At least one path has arrived"},
    {11007, "There are no senders"},
    {11008, "There are no receivers"},
    {11009, "Reserve has been confirmed"},
    {11010, "Error due to lack of resources"},
    {11011, "Rejected for administrative reasons - bad credentials"},
    {11012, "Unknown or conflicting style"},
    {11013, "Problem with some part of the filterspec or providerspecific buffer in general"},
    {11014, "Problem with some part of the flowspec"},
    {11015, "General QOS error"},
    {11999, "General WSA error"},
    {14001,
     "The Program Files folder has not been set. Failed to detect and load environmental device "
     "providers"},
    {14002,
     "The Program Data folder has not been set. Failed to detect and load environmental device "
     "providers"},
    {14010, "The device manager hasn't been initialized or no providers could be found"},
    {14011, "The specified device id could not be found"},
    {14012, "The specified interface id could not be found"},
    {14013, "The specified sensor id could not be found"},
    {14015, "The intermediate device XML file could not be written to disk"},
    {14016, "The intermediate device XML file could not be loaded from disk"},
    {14020, "The end of the device interface list has been reached"},
    {14021, "The end of the interface sensor list has been reached"},
    {14023, "The end of the available devices list has been reached"},
    {14024, "Failed to wrap a device, interface or sensor into an object"},
    {14025, "Failed to wrap an object into a device, interface or sensor object"},
    {22401, "Create WinHTTP session failed"},
    {22402, "Open a session first"},
    {22403, "Connection already established"},
    {22404, "Unable to establish a connection to remote web server"},
    {22405, "Unable to logon to proxy"},
    {22406, "Unable to send the request to the remote web server"},
    {22407, "No response received from remote server"},
    {22408, "Unable to query headers"},
    {22409, "Unable to query authentication schemes"},
    {22410, "Unable to establish connection, operation timed out"},
    {22411, "Establish a connection first"},
    {22412, "Unable to logon to web site"},
    {22413, "Unable to read data, query for data size failed"},
    {22414, "Unable to read data, internal memory allocation failed"},
    {22415, "Unable to read data, read operation failed"},
    {22416, "Page not found (HTTP error 404)"},
    {22417, "Page request refused (HTTP error 403)"},
    {22418, "Bad Request (HTTP error 400)"},
    {22419, "Internal Server Error (HTTP error 500)"},
    {22420, "The requested page has been moved (HTTP error 410)"},
    {22421, "Not implemented (HTTP error 501)"},
    {22422, "Service unavailable (HTTP error 503)"},
    {22423, "Failed to write data, write operation failed"},
    {22424, "Error message received from proxy server"},
    {22425, "Timed out waiting for proxy"},
    {22426, "Failed to import one or more functions from the WINHTTP library"},
    {22427, "Method not allowed (HTTP error 405)"},
    {22449, "Generic HTTP failure"},
    {22450,
     "One or more errors were found in the Secure Sockets Layer (SSL) certificate sent by the "
     "server."},
};

constexpr const char* kFallbackMessage = "Generic Error";

// Indexed by LoadText.
constexpr const char* kLoadTextRows[] = {
    "Generic Error.",
    "The operation completed successfully.",
    "The hostname or IP address for the device has not been set.",
    "Morvane Network Component class 'MVNETWORK::HTTPEX' could not be created.",
    "Failed to retrieve device data over HTTP. The GET request failed with error: [%s].",
    "HTML Error [%ld].",
    "The received Json data could not be parsed. It is missing or malformed.",
    "Failed to convert Json data to XML data.",
    "The received XML data could not be parsed. It might be missing or malformed.",
    "Failed to parse Json device data.",
};
static_assert(std::size(kLoadTextRows) == std::size(kLoadTexts));

// The part of format before its one field and the part after it.
struct FormatParts {
  const char* before;
  std::size_t before_length;
  const char* after;
};

FormatParts SplitFormat(const char* format, const char* field) {
  const char* at = std::strstr(format, field);
  return {format, static_cast<std::size_t>(at - format), at + std::strlen(field)};
}

// The text between the parts of format, when text is made of format; null when it is not.
const char* Between(const char* text, const FormatParts& format, std::size_t& length) {
  const std::size_t size = std::strlen(text);
  const std::size_t after = std::strlen(format.after);
  if (size < format.before_length + after ||
      std::strncmp(text, format.before, format.before_length) != 0 ||
      std::strcmp(text + size - after, format.after) != 0) {
    return nullptr;
  }
  length = size - format.before_length - after;
  return text + format.before_length;
}

bool SameText(const char* text, std::size_t length, const char* other) {
  return std::strlen(other) == length && std::strncmp(text, other, length) == 0;
}

using Detail = LoadErrorParts::Detail;

Detail SplitDetail(const char* detail, std::size_t length, int32_t& code) {
  if (length == 0) return Detail::kEmpty;
  if (SameText(detail, length, LoadTextOf(LoadText::kBodyUnusable))) return Detail::kBodyUnusable;
  if (SameText(detail, length, kFallbackMessage)) return Detail::kUnknownCode;
  std::size_t status_length = 0;
  const std::string whole(detail, length);
  const char* status =
      Between(whole.c_str(), SplitFormat(LoadTextOf(LoadText::kHttpStatus), "%ld"), status_length);
  if (status != nullptr) {
    long value = 0;
    const auto [end, error] = std::from_chars(status, status + status_length, value);
    if (status_length > 0 && error == std::errc() && end == status + status_length &&
        value >= INT32_MIN && value <= INT32_MAX) {
      code = static_cast<int32_t>(value);
      return Detail::kHttpStatus;
    }
  }
  return ErrorCodeOfMessage(whole.c_str(), code) ? Detail::kCode : Detail::kNone;
}

}  // namespace

const char* ErrorMessageText(int32_t code) {
  const auto* end = std::end(kErrorRows);
  const auto* row = std::lower_bound(std::begin(kErrorRows), end, code,
                                     [](const ErrorRow& r, int32_t c) { return r.code < c; });
  return row != end && row->code == code ? row->message : kFallbackMessage;
}

CMvnString& GetErrorMessage(int32_t code, CMvnString& out) {
  return out.Assign(ErrorMessageText(code));
}

bool ErrorCodeOfMessage(const char* message, int32_t& code) {
  for (const ErrorRow& row : kErrorRows) {
    if (std::strcmp(row.message, message) == 0) {
      code = row.code;
      return true;
    }
  }
  return false;
}

std::size_t ErrorRowCount() {
  return std::size(kErrorRows);
}

int32_t ErrorRowCode(std::size_t row) {
  return row < std::size(kErrorRows) ? kErrorRows[row].code : 0;
}

const char* LoadTextOf(LoadText text) {
  const auto row = static_cast<std::size_t>(text);
  return row < std::size(kLoadTextRows) ? kLoadTextRows[row] : kLoadTextRows[0];
}

bool SplitLoadError(const char* text, LoadErrorParts& parts) {
  parts = LoadErrorParts();
  if (text == nullptr) return false;
  for (const LoadText fixed : kLoadTexts) {
    // The retrieval's format and its details are never a whole last error text.
    const bool whole = fixed != LoadText::kRetrievalFailed && fixed != LoadText::kHttpStatus &&
                       fixed != LoadText::kBodyUnusable;
    if (whole && std::strcmp(text, LoadTextOf(fixed)) == 0) {
      parts.text = fixed;
      return true;
    }
  }
  std::size_t length = 0;
  const char* detail =
      Between(text, SplitFormat(LoadTextOf(LoadText::kRetrievalFailed), "%s"), length);
  if (detail == nullptr) return false;
  parts.text = LoadText::kRetrievalFailed;
  parts.detail = SplitDetail(detail, length, parts.code);
  return parts.detail != Detail::kNone;
}
