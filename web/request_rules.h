// What the server answers by itself, from a request's line and headers alone, before any handler
// sees it: framing that two parsers could read two ways (the way requests are smuggled past a
// proxy), a body (none is ever read), a client certificate the TLS policy refuses, a method other
// than GET and HEAD; in that order.
#pragma once

#include <string>

#include "web/http.h"

namespace kestrel::web {

// A refusal: status 0 when the request goes on.
struct Refusal {
  int status = 0;
  std::string text;
  HeaderList headers;  // besides Content-Type
};

// version as the request line says it ("HTTP/1.1"); headers as sent, in order;
// certificate_problem why the client's certificate fails the policy, empty when it passes.
Refusal ScreenRequest(const std::string& method, const std::string& version,
                      const HeaderList& headers, const std::string& certificate_problem = "");

}  // namespace kestrel::web
