// INI files in the Win32 profile format. Paths are host paths (either
// separator). Section and key names compare without case.
#pragma once

#include "platform/types.h"

// Copies the value (or the default) into buffer, cut to size-1 characters,
// and returns the number of characters copied. Values are trimmed of
// surrounding blanks; a value in matching quotes loses the quotes. A missing
// file behaves as an empty one (ERROR_FILE_NOT_FOUND is set).
GAVIO_PLATFORM_API DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                                  const char* defaultValue, char* buffer,
                                                  DWORD size, const char* fileName);
GAVIO_PLATFORM_API UINT GetPrivateProfileIntA(const char* section, const char* key,
                                              int32_t defaultValue, const char* fileName);
// Sets key=value (creating file and section as needed); a null value
// removes the key, a null key removes the section. Writes the whole file
// through a temporary and a rename, so a reader never sees half of it.
GAVIO_PLATFORM_API BOOL WritePrivateProfileStringA(const char* section, const char* key,
                                                   const char* value, const char* fileName);
