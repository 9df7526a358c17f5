// The module's only two entry points.
#include <new>

#include "provider/avtech_app.h"
#include "provider/env_provider.h"

extern "C" KESTREL_EXPORT IEnvProvider* CreatePluginInstance() {
  try {
    return new CAVTechApp();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

extern "C" KESTREL_EXPORT void DeletePluginInstance(IEnvProvider* provider) {
  if (provider == nullptr) return;
  // IEnvProvider has no destructor: the object goes through the virtual one of its CMvnBase part.
  CMvnBase* base = static_cast<CAVTechApp*>(provider);
  delete base;
}
