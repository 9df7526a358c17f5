// An endpoint as Prometheus exporters serve one: the HTTP server with the web configuration's TLS,
// and its logins in front of the program's handler.
#pragma once

#include <string>

#include "web/http.h"
#include "web/http_server.h"
#include "web/login.h"
#include "web/web_config.h"

namespace kestrel::web {

class Endpoint {
 public:
  // realm: what a refused login names in WWW-Authenticate.
  Endpoint(const std::string& realm, HttpLimits limits, LoginLimits logins, Handler handler)
      : login_(realm, logins), server_(limits, login_.Wrap(std::move(handler))) {}

  // TLS, then the users once TLS is in place; before Start, or while serving (SIGHUP). False
  // with the reason when the TLS settings cannot serve: nothing changes then.
  bool Configure(const WebConfig& web, std::string& error);
  bool Start(const std::string& address, int port, std::string& error) {
    return server_.Start(address, port, error);
  }
  int Port() const { return server_.Port(); }
  // No login check begins after this; the requests still waiting are answered 503.
  void Stop();

 private:
  Login login_;
  HttpServer server_;  // after login_: it ends first
};

}  // namespace kestrel::web
