// The live-instance map and the library's switches: what the component life
// reports to, what the leak report and the exports read. Everything here is
// behind the one library lock or read through atomics.
#pragma once

#include <stdint.h>

#include "gavio/component.h"
#include "platform/types.h"

namespace gavio {

inline constexpr uint32_t kPathSize = 260;

// Records a new instance made by CreateComponent (the creator id is kept
// for the leak report).
void HostRecordInstance(IComponent* component, uint32_t componentId, uint32_t creatorId);

// The safe-to-destroy switch (1 once the library lock exists).
bool HostSafeToDestroy();
int32_t HostSetSafeToDestroy(int32_t value);
// Called by Destroy after the instance was deleted. When the last recorded
// instance goes and it was not a factory, the factory library is told.
void HostNotifyRemoved(IComponent* component, bool wasNotFactory);
bool HostMapIsEmpty();
void HostFreeAutoFreeInstances();
// Writes the leak report of live instances to the debugger output.
void HostWriteLeakReport();

// The registry path set by SetDLLRegistry, copied into out (kPathSize).
void HostGetRegistryPath(char* out);
int32_t HostSetRegistryPath(const char* path);
void* HostSetFactoryHandle(void* module);
void* HostFactoryHandle();
// This library's own module handle (sent with the unload notice).
void* HostOwnModule();

}  // namespace gavio
