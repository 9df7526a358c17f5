// What a handler of the web library sees and answers: a request copied out of the server's
// connection (so a handler may keep it past the call, as a login check does) and a reply that may
// come later, from any thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "web/address.h"

namespace kestrel::web {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method;  // GET or HEAD: the server refuses the others before any handler
  std::string path;    // decoded by the server
  std::string query;   // as sent, still percent-encoded
  IpAddress client;    // the peer
  HeaderList headers;  // as sent, in order

  // The first header of that name (names compare without case), or null.
  const std::string* Header(const std::string& name) const;
};

struct Response {
  int status = 200;
  std::string content_type = "text/plain; version=0.0.4; charset=utf-8";
  std::string body;
  HeaderList headers;  // besides Content-Type
};

// text and a line feed as text/plain.
Response PlainText(int status, const std::string& text);

// Callable once, from any thread; later calls, and calls after the client left, do nothing.
using Reply = std::function<void(Response)>;
using Handler = std::function<void(const Request&, Reply)>;

// Handlers by exact path; any other path is answered 404. Copied into the server whole, so its
// routes cannot change while it serves.
class Router {
 public:
  void Handle(const std::string& path, Handler handler) { routes_[path] = std::move(handler); }
  void operator()(const Request& request, Reply reply) const;

 private:
  std::map<std::string, Handler> routes_;
};

// The name=value pairs of a query string, each percent-decoded once ('+' is a space); false
// when an escape is broken.
bool DecodeQuery(const std::string& query, std::vector<std::pair<std::string, std::string>>& pairs);

// text as a query value: everything but letters, digits and -._~ percent-encoded.
std::string QueryEscape(const std::string& text);

}  // namespace kestrel::web
