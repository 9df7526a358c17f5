#include "web/http.h"

#include <algorithm>
#include <cctype>

namespace kestrel::web {

namespace {

constexpr int kNotFound = 404;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return true;
}

}  // namespace

const std::string* Request::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return &value;
  }
  return nullptr;
}

Response PlainText(int status, const std::string& text) {
  Response response;
  response.status = status;
  response.content_type = "text/plain; charset=utf-8";
  response.body = text + "\n";
  return response;
}

void Router::operator()(const Request& request, Reply reply) const {
  const auto route = routes_.find(request.path);
  if (route == routes_.end()) return reply(PlainText(kNotFound, "not found"));
  route->second(request, std::move(reply));
}

bool DecodeQuery(const std::string& query,
                 std::vector<std::pair<std::string, std::string>>& pairs) {
  pairs.clear();
  std::size_t at = 0;
  while (at <= query.size()) {
    const std::size_t amp = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, amp - at);
    at = amp + 1;
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    std::string name;
    std::string value;
    if (!PercentDecode(pair.substr(0, equals), name) ||
        (equals != std::string::npos && !PercentDecode(pair.substr(equals + 1), value))) {
      return false;
    }
    pairs.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

std::string QueryEscape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

}  // namespace kestrel::web
