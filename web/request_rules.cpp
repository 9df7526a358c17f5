#include "web/request_rules.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kestrel::web {

namespace {

constexpr int kBadRequest = 400;
constexpr int kForbidden = 403;
constexpr int kNotAllowed = 405;
constexpr int kTooLarge = 413;

bool SameName(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return i == a.size() && b[i] == 0;
}

std::vector<const std::string*> ValuesOf(const HeaderList& headers, const char* lower_name) {
  std::vector<const std::string*> values;
  for (const auto& [name, value] : headers) {
    if (SameName(name, lower_name)) values.push_back(&value);
  }
  return values;
}

// The decimal digits of a length without its leading zeros ("00" is "", no body); false when
// it is not a number at all.
bool LengthDigits(const std::string& value, std::string& digits) {
  if (value.empty() ||
      !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  digits = value.substr(std::min(value.find_first_not_of('0'), value.size()));
  return true;
}

// The connection closes after a refusal, but for a method refused: what follows a request that
// was framed well can be read as the next one.
Refusal Refuse(int status, const std::string& text) {
  Refusal refusal;
  refusal.status = status;
  refusal.text = text;
  if (status != kNotAllowed) refusal.headers.emplace_back("Connection", "close");
  return refusal;
}

// Whether the request has a body; a refusal when its framing is ambiguous.
Refusal ScreenFraming(const HeaderList& headers, bool& body) {
  const auto lengths = ValuesOf(headers, "content-length");
  const bool chunked = !ValuesOf(headers, "transfer-encoding").empty();
  if (chunked && !lengths.empty()) {
    return Refuse(kBadRequest, "Transfer-Encoding and Content-Length together");
  }
  std::string first;
  for (const std::string* value : lengths) {
    std::string digits;
    if (!LengthDigits(*value, digits)) return Refuse(kBadRequest, "Content-Length is no number");
    if (value != lengths.front() && digits != first) {
      return Refuse(kBadRequest, "Content-Length headers that differ");
    }
    first = digits;
  }
  body = chunked || !first.empty();
  return Refusal();
}

}  // namespace

Refusal ScreenRequest(const std::string& method, const std::string& version,
                      const HeaderList& headers, const std::string& certificate_problem) {
  const std::size_t hosts = ValuesOf(headers, "host").size();
  if (version == "HTTP/1.1" && hosts == 0) return Refuse(kBadRequest, "a Host header is required");
  if (hosts > 1) return Refuse(kBadRequest, "more than one Host header");
  bool body = false;
  Refusal framing = ScreenFraming(headers, body);
  if (framing.status != 0) return framing;
  if (body) return Refuse(kTooLarge, "request bodies are not accepted");
  if (!certificate_problem.empty()) return Refuse(kForbidden, certificate_problem);
  if (method != "GET" && method != "HEAD") {
    Refusal refusal = Refuse(kNotAllowed, "only GET and HEAD are served");
    refusal.headers.emplace_back("Allow", "GET, HEAD");
    return refusal;
  }
  return Refusal();
}

}  // namespace kestrel::web
