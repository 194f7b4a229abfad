// What the class-object functions and the control guard both need to know
// about a control: its class id as text, the module the registry names for
// it, and the file version that module carries.
//
// Registrations live in the host's registry (component 991): the key
// "CLSID\{<class id>}\InprocServer32" with the module path as the key's
// default value, which the store keeps under the value name "@".
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gavio/browser.h"
#include "gavio/host.h"

namespace gavio::com {

inline constexpr char kDefaultValueName[] = "@";
// The root word for class registrations; the store does not interpret it.
inline constexpr uint32_t kClassesRoot = 0x80000000u;

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper case into text, which
// holds kClassIdTextLength + 1 characters.
void ClassIdToText(const Guid& classId, char* text);
// Parses the 36-character form, with or without one pair of braces, in
// either case. False (and *classId untouched) for anything else.
bool ClassIdFromText(const char* text, Guid* classId);

// The registry key of the class's module: "CLSID\{<text>}\InprocServer32".
void InprocServerKey(const char* classIdText, char* key, size_t size);

// Turns a registered module name into an ordinary host path: environment
// variables ("%NAME%") expanded, a leading "\SystemRoot\" replaced by the
// SystemRoot variable's folder and a leading "\??\" dropped, every '\' a
// '/'. False when the result is empty, does not fit in size (at most
// MAX_PATH) or names an unset SystemRoot.
bool NormaliseModulePath(const char* registered, char* path, size_t size);

// The module registered for the class, as a host path. False when the key
// or its default value is missing or the path cannot be made ordinary.
bool FindControlModule(IRegistry* registry, const char* classIdText, char* path, size_t size);

// The file version of an ELF module (see GAVIO_MODULE_FILE_VERSION): the
// two words of its version note. False when the file cannot be read, is no
// ELF object of this machine's class and byte order, or has no such note;
// every read is bounded by the file's size.
bool ReadModuleFileVersion(const char* path, uint32_t* versionMs, uint32_t* versionLs);

}  // namespace gavio::com
