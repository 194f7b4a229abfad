// Module loading. A module handle is what dlopen returned.
//
// Names of the form "Name.dll" map to "libname.so" (lower case) in the same
// folder, or on the loader's search path when no folder is given. Other
// names are used as they are.
#pragma once

#include "platform/types.h"

GAVIO_PLATFORM_API HMODULE LoadLibraryA(const char* fileName);
GAVIO_PLATFORM_API BOOL FreeLibrary(HMODULE module);
GAVIO_PLATFORM_API void* GetProcAddress(HMODULE module, const char* name);
// The already-loaded module with that (mapped) file name, or null. Never
// loads anything. A null name means the main program.
GAVIO_PLATFORM_API HMODULE GetModuleHandleA(const char* moduleName);
// The full path of a loaded module (null = the main program). Returns the
// length copied, 0 on failure; ERROR_INSUFFICIENT_BUFFER when cut.
GAVIO_PLATFORM_API DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size);
// The module that contains the given address (for a library to find itself).
GAVIO_PLATFORM_API HMODULE GavioModuleFromAddress(const void* address);
