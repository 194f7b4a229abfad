// Host paths.
//
// On POSIX both '/' and '\' separate folders; host paths become '/' form
// before any file call. A path is absolute when it starts with '/' or '\'
// (the same thing in host form); anything else, a drive-like "C:x" or a
// name with a colon included, is relative.
#pragma once

#include "platform/types.h"

// Rewrites every '\' to '/' in place.
GAVIO_PLATFORM_API void GavioToHostPath(char* path);
GAVIO_PLATFORM_API BOOL GavioIsAbsolutePath(const char* path);
// The per-user application-data folder ($XDG_DATA_HOME, else
// ~/.local/share) into buffer (size bytes). Returns FALSE when it does not
// fit or no home is known.
GAVIO_PLATFORM_API BOOL GavioGetAppDataFolder(char* buffer, DWORD size);
// The folder of the running executable, without a trailing separator.
GAVIO_PLATFORM_API BOOL GavioGetExecutableFolder(char* buffer, DWORD size);
