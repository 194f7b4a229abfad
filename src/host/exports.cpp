// The exported entry points of libgavio.so and the library's load and
// unload work.
#include "gavio/component.h"
#include "frame/instances.h"
#include "gavio/gavio.h"
#include "host/registration_table.h"
#include "platform/types.h"

using gavio::IComponent;

#define GAVIO_EXPORT extern "C" __attribute__((visibility("default")))

GAVIO_EXPORT IComponent* CreateComponent(uint32_t componentId, uint32_t creatorId) {
  return gavio::HostCreateComponent(componentId, creatorId);
}

GAVIO_EXPORT uint32_t GetComponentIDs(uint32_t* ids, uint32_t max) {
  return gavio::HostGetComponentIds(ids, max);
}

GAVIO_EXPORT int32_t SetDLLRegistry(const char* path) { return gavio::HostSetRegistryPath(path); }

GAVIO_EXPORT void* SetFactoryHandle(void* module) { return gavio::HostSetFactoryHandle(module); }

GAVIO_EXPORT int32_t GavioSetDllSafe(int32_t value) { return gavio::HostSetSafeToDestroy(value); }

GAVIO_EXPORT BOOL GavioDllCanUnloadNow() { return gavio::HostMapIsEmpty() ? TRUE : FALSE; }

GAVIO_EXPORT void GavioDllFreeMap() { gavio::HostFreeAutoFreeInstances(); }

namespace {

// Load: the registrations run first, then the attach work (the module
// handle is saved and the lock made).
__attribute__((constructor)) void OnLibraryLoad() {
  gavio::RegisterAllComponentClasses();
  gavio::HostOwnModule();
}

// Unload (or process exit): report instances nobody destroyed.
__attribute__((destructor)) void OnLibraryUnload() { gavio::HostWriteLeakReport(); }

}  // namespace
