// The script control guard: the hook table, the replacements and the
// screened class-object request.
#include "browser/control_guard.h"

#include <dlfcn.h>
#include <link.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "browser/import_hooks.h"
#include "com/control_registry.h"
#include "frame/gavio_ptr.h"
#include "gavio/host.h"
#include "gavio/ids.h"
#include "platform/types.h"

// The entry of the dlsym replacement, in assembly below.
extern "C" void* GavioGuardDlsymEntry(void* handle, const char* name);

namespace gavio {
namespace {

void* GuardDlopen(const char* file, int mode);
HResult GuardCoGetClassObject(const Guid* classId, uint32_t context, void* serverInfo,
                              const Guid* iid, void** object);
HResult GuardCoGetClassObjectFromUrl(const Guid* classId, const char* codeUrl,
                                     uint32_t fileVersionMs, uint32_t fileVersionLs,
                                     const char* mimeType, void* bindContext, uint32_t context,
                                     void* reserved, const Guid* iid, void** object);

const char* const kScriptEngines[] = {"jscript.dll", "vbscript.dll", nullptr};

// The platform's functions and their stand-ins here:
//   Kernel32.dll LoadLibraryA, LoadLibraryW, LoadLibraryExA, LoadLibraryExW
//       -> dlopen: one function loads every way on POSIX, so one record
//          stands for the four; the data-file load (flag 2 of the Ex forms)
//          has no dlopen counterpart, and a no-load dlopen (RTLD_NOLOAD)
//          loads nothing and applies nothing;
//   Kernel32.dll GetProcAddress -> dlsym;
//   urlmon.dll CoGetClassObjectFromURL, ole32.dll CoGetClassObject -> the
//       functions of the same names in libgavcom.so.
// An ELF import names no exporting module, so a slot is found by its
// symbol name; the exporting module names stay for the logs.
enum HookIndex { kDlopenHook, kDlsymHook, kFromUrlHook, kClassObjectHook, kHookCount };
ImportHook g_hooks[kHookCount] = {
    {"Kernel32.dll", "dlopen", reinterpret_cast<void*>(&GuardDlopen), nullptr, nullptr, false},
    {"Kernel32.dll", "dlsym", reinterpret_cast<void*>(&GavioGuardDlsymEntry), nullptr, nullptr,
     false},
    {"urlmon.dll", "CoGetClassObjectFromURL",
     reinterpret_cast<void*>(&GuardCoGetClassObjectFromUrl), nullptr, nullptr, false},
    {"ole32.dll", "CoGetClassObject", reinterpret_cast<void*>(&GuardCoGetClassObject),
     kScriptEngines, nullptr, false},
};

std::atomic<ApprovalCallback> g_approval{nullptr};
std::atomic<bool> g_installed{false};

void* GuardDlopen(const char* file, int mode) {
  void* handle = PlatformDlopen(file, mode);
  if (handle != nullptr && (mode & RTLD_NOLOAD) == 0) ApplyInstalledImportHooks();
  return handle;
}

// A pinned handle of the module a path names ("" = the main program).
void* PinModule(const char* path) {
  void* module = PlatformDlopen(path[0] != '\0' ? path : nullptr, RTLD_LAZY | RTLD_NOLOAD);
  return module;
}

// What RTLD_DEFAULT finds from the caller that the global scope does not:
// the caller's own module and what it depends on.
void* LookUpInCallersScope(const void* caller, const char* name) {
  Dl_info info;
  if (dladdr(caller, &info) == 0 || info.dli_fname == nullptr) return nullptr;
  void* module = PinModule(info.dli_fname);
  // The main program is named by the command's first word, not its path.
  if (module == nullptr) module = PinModule("");
  if (module == nullptr) return nullptr;
  void* address = PlatformDlsym(module, name);
  dlclose(module);
  return address;
}

int CollectPath(dl_phdr_info* info, size_t, void* context) {
  auto* paths = static_cast<std::vector<std::string>*>(context);
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  if (name[0] != '\0' || paths->empty()) paths->push_back(name);
  return 0;
}

// The path of the module a handle stands for ("" for the main program and
// for the pseudo handles, which name no module). Found by asking each
// loaded module for its handle, so that the loader's own records are not
// read.
std::string ModuleAsked(void* handle) {
  if (handle == RTLD_DEFAULT || handle == RTLD_NEXT) return std::string();
  std::vector<std::string> paths;
  dl_iterate_phdr(CollectPath, &paths);
  for (const std::string& path : paths) {
    void* module = PinModule(path.c_str());
    if (module == nullptr) continue;
    dlclose(module);
    if (module == handle) return path;
  }
  return std::string();
}

}  // namespace

// The dlsym replacement. dlsym answers RTLD_NEXT (the next definition
// after the calling module) and RTLD_DEFAULT (the calling module's scope)
// by the module it was called from, which the return address tells it. So
// the entry is a jump, never a call: RTLD_NEXT goes straight on to the
// platform's dlsym with the caller's return address in place (and its
// answer is never a replacement: an interposer looks up the real function
// that way), everything else to GavioGuardDlsymBody, which still sees the
// caller's return address. This module's own dlsym slot is never
// rewritten, so "dlsym@PLT" is the platform's.
__asm__(R"(
  .text
  .p2align 4
  .type GavioGuardDlsymEntry, @function
GavioGuardDlsymEntry:
  endbr64
  cmpq $-1, %rdi
  je 1f
  jmp GavioGuardDlsymBody@PLT
1:
  jmp dlsym@PLT
  .size GavioGuardDlsymEntry, .-GavioGuardDlsymEntry
)");

extern "C" __attribute__((visibility("hidden"), used, noinline)) void* GavioGuardDlsymBody(
    void* handle, const char* name) {
  void* address = PlatformDlsym(handle, name);
  if (address == nullptr && handle == RTLD_DEFAULT) {
    address = LookUpInCallersScope(__builtin_return_address(0), name);
  }
  if (address == nullptr) return nullptr;
  // The loading function itself is handed out unchanged.
  if (address == PlatformAddressOf(g_hooks[kDlopenHook])) return address;
  std::string module;
  bool moduleRead = false;
  for (const ImportHook& hook : g_hooks) {
    if (address != PlatformAddressOf(hook)) continue;
    if (hook.modules != nullptr && !moduleRead) {
      module = ModuleAsked(handle);
      moduleRead = true;
    }
    bool accepted = hook.modules == nullptr ||
                    (!module.empty() && ModuleListAccepts(hook.modules, module.c_str()));
    if (accepted) return hook.replacement;
  }
  return address;
}

namespace {

HResult Refuse(HResult result, void** object) {
  if (object != nullptr) *object = nullptr;
  return result;
}

// The approval callback is set before the slots are rewritten and cleared
// only after they were written back, so a replacement that finds none (it
// reads the callback once) was
// entered while the guard was being removed (or through an address looked
// up while it was installed): no browser is left to screen for, and the
// request goes to the platform as it would a moment later. Refusing it
// would fail a control the platform creates.

HResult GuardCoGetClassObject(const Guid* classId, uint32_t context, void* serverInfo,
                              const Guid* iid, void** object) {
  ApprovalCallback approval = g_approval.load();
  HResult screened = approval == nullptr ? kSOk : ScreenClassRequest(classId, approval);
  if (screened != kSOk) return Refuse(screened, object);
  auto platform =
      reinterpret_cast<GavioCoGetClassObjectFn>(PlatformAddressOf(g_hooks[kClassObjectHook]));
  if (platform == nullptr) return Refuse(kEFail, object);
  return platform(classId, context, serverInfo, iid, object);
}

HResult GuardCoGetClassObjectFromUrl(const Guid* classId, const char* codeUrl,
                                     uint32_t fileVersionMs, uint32_t fileVersionLs,
                                     const char* mimeType, void* bindContext, uint32_t context,
                                     void* reserved, const Guid* iid, void** object) {
  ApprovalCallback approval = g_approval.load();
  HResult screened = approval == nullptr ? kSOk : ScreenClassRequest(classId, approval);
  if (screened != kSOk) return Refuse(screened, object);
  auto platform =
      reinterpret_cast<GavioCoGetClassObjectFromUrlFn>(PlatformAddressOf(g_hooks[kFromUrlHook]));
  if (platform == nullptr) return Refuse(kEFail, object);
  return platform(classId, codeUrl, fileVersionMs, fileVersionLs, mimeType, bindContext, context,
                  reserved, iid, object);
}

const char* FileNameOf(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

uint32_t VersionNumber(uint32_t versionMs, uint32_t versionLs) {
  uint32_t major = versionMs >> 16;
  uint32_t minor = versionMs & 0xFFFF;
  uint32_t build = versionLs >> 16;
  uint32_t revision = versionLs & 0xFFFF;
  return major * 10000000u + minor * 100000u + (build / 100) * 10000u + (build % 100) * 100u +
         revision;
}

uint32_t ModuleVersionNumber(const char* path) {
  uint32_t versionMs = 0;
  uint32_t versionLs = 0;
  if (!com::ReadModuleFileVersion(path, &versionMs, &versionLs)) return 0;
  return VersionNumber(versionMs, versionLs);
}

bool FindRegisteredModule(const char* classIdText, char* path, size_t size) {
  TGavioPtr registry(nullptr, kRegistryId);
  return com::FindControlModule(registry.As<IRegistry>(), classIdText, path, size);
}

bool ApproveWith(ISecurityVerifier* verifier, const char* modulePath, const char* classIdText,
                 uint32_t version, int32_t* answer) {
  // A verifier made for one question holds no lists until it reads the
  // client's configuration ("Config/Svconfig.xml" under the client root);
  // asked empty, it would refuse every control whatever that file trusts.
  verifier->Initialize(nullptr);
  *answer = verifier->VerityControlID(classIdText, version, FileNameOf(modulePath));
  return *answer == 0;
}

bool ApproveByVerifier(const char* modulePath, const char* classIdText, uint32_t version) {
  TGavioPtr verifier(nullptr, kSecurityVerifierId);
  if (!verifier) return true;
  int32_t answer = 0;
  return ApproveWith(verifier.As<ISecurityVerifier>(), modulePath, classIdText, version, &answer);
}

HResult ScreenClassRequest(const Guid* classId, ApprovalCallback approval) {
  if (classId == nullptr) return kEFail;
  char text[kClassIdTextLength + 1];
  com::ClassIdToText(*classId, text);
  char path[MAX_PATH];
  if (!FindRegisteredModule(text, path, sizeof path)) return kEFail;
  uint32_t version = ModuleVersionNumber(path);
  if (approval == nullptr || !approval(path, text, version)) return kEFail;
  return kSOk;
}

void InstallControlGuard(ApprovalCallback approval) {
  g_approval.store(approval);
  InstallImportHooks(g_hooks, kHookCount);
  g_installed.store(true);
}

void RemoveControlGuard() {
  RemoveImportHooks();
  g_approval.store(nullptr);
  g_installed.store(false);
}

bool ControlGuardInstalled() { return g_installed.load(); }

}  // namespace gavio
