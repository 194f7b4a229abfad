// Import redirection on ELF: rewrites the import slots (GOT entries) of the
// loaded modules so that their calls to a function reach a replacement.
//
// A module's imports are its dynamic relocations of type JUMP_SLOT and
// GLOB_DAT, found through its dynamic section; the symbol's name picks the
// hook. A slot is rewritten when it holds the function's platform address
// or, bound lazily and not called yet, still points into its own module's
// PLT; any other value (a slot bound elsewhere) is left alone. Every
// rewritten slot keeps the value it held, which removal writes back. Pages
// are made writable only for the one store and get back exactly the
// protection /proc/self/maps gave them, so read-only (RELRO) pages stay
// read-only.
//
// Never touched: the module holding this code (its own calls reach the
// platform directly, so the replacements never call themselves), the vDSO,
// and the modules that implement loading and its interception (the loader,
// the C and C++ runtimes, the sanitizer runtimes): they call the loading
// functions with answers that depend on the calling module.
//
// Thread safety: every function may be called from any thread. The table
// of rewritten slots is kept under one lock, which is never held across a
// call into the loader.
#pragma once

#include <stddef.h>

namespace gavio {

struct ImportHook {
  const char* exportingModule;  // the platform's module name, for logs
  const char* function;         // the symbol whose import slots are rewritten
  void* replacement;
  // Null for every module; else a null-terminated list of platform module
  // names ("jscript.dll") whose slots alone are rewritten.
  const char* const* modules;
  // Filled on install: the address the platform resolves the name to (null
  // while no loaded module defines it; looked up again on each pass).
  void* platformAddress;
  bool installed;
};

// Resolves the platform addresses, marks the hooks installed and applies
// them to every loaded module. hooks must stay valid until removed.
void InstallImportHooks(ImportHook* hooks, size_t count);
// Applies the installed hooks to every loaded module not yet rewritten
// (after a module was loaded). Does nothing while none is installed.
void ApplyInstalledImportHooks();
// Writes every rewritten slot of a module still loaded back to the value it
// held and marks the hooks removed.
void RemoveImportHooks();

// Whether a module list (see ImportHook::modules) accepts the module at
// path: the platform name "Name.dll" stands for "libname.so", compared
// without regard to case, a version suffix ("libname.so.1") allowed.
bool ModuleListAccepts(const char* const* modules, const char* path);

// The import slots of one symbol in the loaded module whose file name ends
// with moduleName ("" = the main program), with the values they hold now
// (for checks and tests).
size_t ReadImportSlots(const char* moduleName, const char* function, void** values,
                       size_t capacity, void*** slots = nullptr);

// A hook's platform address; replacements read it on any thread.
inline void* PlatformAddressOf(const ImportHook& hook) {
  return __atomic_load_n(&hook.platformAddress, __ATOMIC_ACQUIRE);
}

// The loading functions as the platform gives them (never the replacements).
void* PlatformDlopen(const char* file, int mode);
void* PlatformDlsym(void* handle, const char* name);

}  // namespace gavio
