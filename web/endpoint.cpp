#include "web/endpoint.h"

namespace kestrel::web {

bool Endpoint::Configure(const WebConfig& web, std::string& error) {
  if (!server_.SetTls(web, error)) return false;
  login_.SetUsers(web.basic_auth_users);
  return true;
}

void Endpoint::Stop() {
  login_.Stop();
  server_.Stop();
}

}  // namespace kestrel::web
