#include "programs/kestrel-host/session.h"

namespace kestrel::host {

SessionSettings SettingsFor(const Options& o, const Job& job, const LoadFiles& files) {
  SessionSettings settings;
  settings.has_host = job.has_host;
  settings.host = job.host;
  settings.secure = job.secure;
  settings.port = job.port;
  settings.user = o.user;
  settings.password = job.password;
  settings.password_source = job.password_source;
  settings.files = files;
  return settings;
}

}  // namespace kestrel::host
