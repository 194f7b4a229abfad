// Internal declarations shared by the sources of the factory library.
#pragma once

#include <stdint.h>

#include <string>

#include "gavio/component.h"
#include "gavio/host.h"
#include "gavio/ids.h"

namespace gavio::hostlib {

// The process-wide factory object (never deleted; Destroy on it does nothing).
IComponentFactory* FactoryObject();
// New instances of this library's own classes, or null when allocation fails.
IComponent* NewComponentFactory();
IComponent* NewRegistry();
IComponent* NewHostLookup();

// printf to the debugger output through a 1024-byte buffer.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The INI a registry path stands for: null or empty means "Gavio.ini" beside
// the executable, a relative path is taken in the executable's folder, and
// "Redirect"/"Path" is followed by the same code the component library uses.
// Redirects that loop give "" (no INI: every value reads as missing). The
// result is in host form ('/').
std::string ResolveIniPath(const char* registryPath);
// The folder of a host path, without the trailing '/' ("." when none).
std::string FolderOf(const std::string& path);
// path when absolute, else folder + '/' + path; host form.
std::string PathIn(const std::string& folder, const char* path);
// A value from an INI file, blanks around it removed; "" when missing or
// when the file is no regular file of a configuration file's size.
std::string ReadIniString(const std::string& iniPath, const char* section, const char* key);
// "0x1F" (hex) or "31" (decimal) into *value; false (and *value untouched)
// for anything else.
bool ParseMask(const std::string& text, uint32_t* value);
// The folder this library was loaded from, without a trailing '/'.
std::string OwnFolder();

// The shared settings of the log file at path: one descriptor opened for
// appending and one recursive mutex per file (the same file reached under two
// names shares them), kept for the life of the process. Null when the file
// cannot be opened.
LogSettings* SharedLogFile(const std::string& path);

}  // namespace gavio::hostlib
