// kestrel-host: the command-line stand-in for the host monitoring service. It loads the module,
// drives one provider through the exported table, runs loads and shows the documents the module
// wrote; with --check it is a monitoring plug-in.
#include <stdlib.h>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include <cstdio>
#include <string>

#include "app/log.h"
#include "app/signals.h"
#include "host/module_loader.h"
#include "programs/kestrel-host/check_run.h"
#include "programs/kestrel-host/load_run.h"
#include "programs/kestrel-host/options.h"

namespace {

// The network component reads the variable on every request, so it must be set before any.
void TrustCertificate(const std::string& cacert, kestrel::app::Log& log) {
#if defined(_WIN32)
  _putenv_s("SSL_CERT_FILE", cacert.c_str());
  log.Warning("the Windows network component trusts the Windows certificate store only; import " +
              cacert + " there");
#else
  (void)log;
  ::setenv("SSL_CERT_FILE", cacert.c_str(), 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrel::host;
  // Before any thread: a stop that comes while the module is still being loaded waits for the
  // loads' or the check's handling of it.
  kestrel::app::BlockSignals(kestrel::app::Signals::kStop);
#if defined(_WIN32)
  // The same bytes as on Linux: scripts and the end-to-end suite read this output on both targets.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  Options o;
  Job job;
  const int parsed = ParseOptions(argc, argv, o, job);
  if (parsed >= 0) return parsed;
  kestrel::app::Log log(kProgram);
  if (o.plugin.empty()) o.plugin = DefaultModulePath();
  if (!o.cacert.empty()) TrustCertificate(o.cacert, log);
  if (o.check) return RunCheck(o, job);

  LoadedModule module;
  std::string error;
  if (!LoadModule(o.plugin, module, error)) {
    log.Line(error);
    return kExitUsage;
  }
  IEnvProvider* provider = module.create();
  if (provider == nullptr) {
    log.Line("the module could not create a provider");
    UnloadModule(module);
    return kExitLoadFailed;
  }
  const int status = o.info ? PrintInfo(provider) : RunLoads(o, job, provider);
  module.destroy(provider);
  // The module stays mapped until the process ends: libcurl and OpenSSL keep process-wide state
  // whose exit handlers would otherwise point into unloaded code.
  return status;
}
