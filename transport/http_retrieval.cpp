#include "transport/http_retrieval.h"

#include <cstdint>
#include <string>

#include "common/error_messages.h"
#include "transport/wide_text.h"

namespace {

constexpr int32_t kAttempts = 3;
constexpr uint32_t kRetryPauseMs = 300;
constexpr uint32_t kRetryDeadlineMs = 15000;
// A JSON document starts with ASCII; a byte-order mark or binary garbage shows in these units.
constexpr std::size_t kAsciiPrefixUnits = 8;

bool StartsWithAscii(const kestrel::platform::WChar* body, std::size_t length) {
  const std::size_t checked = length < kAsciiPrefixUnits ? length : kAsciiPrefixUnits;
  for (std::size_t i = 0; i < checked; ++i) {
    if (static_cast<uint32_t>(body[i]) > 127) return false;
  }
  return true;
}

}  // namespace

namespace kestrel::transport {

int32_t GetDocument(platform::HttpComponent& component, const char* url, CMvnString& body,
                    CMvnString& detail) {
  const uint32_t start = platform::TickCount();
  int32_t error = -1;
  const WideText wide_url(url);
  OwnedWideString response;
  // A component that gives the body in UTF-8 saves its round through UTF-16.
  bool in_utf8 = true;
  std::string utf8;
  for (int32_t attempt = 0; attempt < kAttempts;) {
    in_utf8 = in_utf8 && component.GetUtf8(wide_url.get(), utf8);
    if (!in_utf8) component.Get(wide_url.get(), response.Slot());
    error = component.LastError();
    if (error == 0) break;
    // Unsigned difference: a wrap of the tick counter between the two readings does no harm.
    if (static_cast<uint32_t>(platform::TickCount() - start) > kRetryDeadlineMs) break;
    platform::SleepMs(kRetryPauseMs);
    ++attempt;
  }
  if (error != 0) {
    GetErrorMessage(error, detail);
    return -1;
  }

  const int32_t status = component.ResponseCode();
  if (status != 200) {
    detail.Format(LoadTextOf(LoadText::kHttpStatus), static_cast<long>(status));
    return -1;
  }
  if (in_utf8) {
    // UTF-8 has a byte above 127 exactly where UTF-16 has a unit above 127, up to the first one.
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.c_str());
    std::size_t ascii = 0;
    while (ascii < kAsciiPrefixUnits && bytes[ascii] != 0 && bytes[ascii] < 128) ++ascii;
    if (ascii == 0 || (ascii < kAsciiPrefixUnits && bytes[ascii] != 0)) {
      detail.Assign(LoadTextOf(LoadText::kBodyUnusable));
      return -1;
    }
    body.AssignUtf8(utf8.c_str());
    return 0;
  }
  const platform::WChar* text = response.get();
  const std::size_t length = text != nullptr ? platform::WideLength(text) : 0;
  if (length == 0 || !StartsWithAscii(text, length)) {
    detail.Assign(LoadTextOf(LoadText::kBodyUnusable));
    return -1;
  }
  body.AssignWide(text);
  return 0;
}

}  // namespace kestrel::transport
