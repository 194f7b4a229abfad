// The host frame's internal operations: the registration table, the
// live-instance map and the factory-library lookup. The exports built on
// them live in exports.cpp.
#pragma once

#include <stdint.h>

#include "gavio/component.h"
#include "gavio/host.h"
#include "platform/types.h"

namespace gavio {

using FactoryFunction = IComponent* (*)();

inline constexpr uint32_t kMaxRegistrations = 512;
inline constexpr uint32_t kPathSize = 260;

// Adds (id, factory) at the end of the table. Ignored when the table is full,
// id is 0 or factory is null. Duplicates are kept; lookup finds the first.
void RegisterComponentClass(uint32_t componentId, FactoryFunction factory);
// Fills the table from the registration list; run once, at load.
void RegisterAllComponentClasses();

// CreateComponent without the export: the first factory registered for id.
IComponent* HostCreateComponent(uint32_t componentId, uint32_t creatorId);
uint32_t HostGetComponentIds(uint32_t* ids, uint32_t max);

// The safe-to-destroy switch (1 once the library lock exists).
bool HostSafeToDestroy();
int32_t HostSetSafeToDestroy(int32_t value);
// Called by Destroy after the instance was deleted.
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

// The host executable's folder, without a trailing separator.
const char* HostExecutableFolder();

// Locates the factory library for an INI path (null or empty: "Gavio.ini"
// beside the executable), following redirects, and loads it. Returns null
// with the reason on the debugger output.
void* FindFactoryLibrary(const char* iniPath);
// The factory object of a loaded factory library, or null.
IComponentFactory* GetFactoryObject(void* module);
// FindFactoryLibrary (or the handle set by SetFactoryHandle), then
// GetFactoryObject.
IComponentFactory* ObtainFactoryObject(const char* iniPath);

// Resolves the INI path (redirects applied) and the DLL path it names;
// exposed for tests. Both buffers hold kPathSize characters. Returns false
// when a path does not fit or the redirects loop.
bool ResolveFactoryIni(const char* iniPath, char* finalIni);
bool ResolveFactoryDllPath(const char* finalIni, char* dllPath);

}  // namespace gavio
