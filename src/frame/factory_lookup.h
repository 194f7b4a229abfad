// Finding and loading the factory library: "Gavio.ini" (or the INI a
// registry path names), its redirects, and the library path it gives.
#pragma once

#include "gavio/host.h"

namespace gavio {

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
