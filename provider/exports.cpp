// The module's only two entry points.
#include "provider/avtech_app.h"
#include "provider/env_provider.h"
#include "provider/guarded.h"

extern "C" KESTREL_EXPORT IEnvProvider* CreatePluginInstance() {
  return kestrel::provider::Guarded<IEnvProvider*>(nullptr, [] { return new CAVTechApp(); });
}

extern "C" KESTREL_EXPORT void DeletePluginInstance(IEnvProvider* provider) {
  if (provider == nullptr) return;
  // IEnvProvider has no destructor: the object goes through the virtual one of its CMvnBase part.
  kestrel::provider::Guarded(
      [provider] { delete static_cast<CMvnBase*>(static_cast<CAVTechApp*>(provider)); });
}
