// libgavcom.so: the platform's class-object functions. A class's module is
// the one the host's registry names for it ("CLSID\{id}\InprocServer32");
// it is loaded (and stays loaded, as the platform keeps it until unused
// modules are freed) and asked for the class object through its
// DllGetClassObject export.
#include <string.h>

#include <mutex>
#include <string>

#include "com/control_registry.h"
#include "gavio/browser.h"
#include "gavio/host.h"
#include "gavio/ids.h"
#include "platform/modules.h"

namespace gavio::com {
namespace {

using CreateComponentFn = IComponent* (*)(uint32_t componentId, uint32_t creatorId);

// The factory library beside this module: the registry lives there. Loaded
// once and kept for the life of the process.
CreateComponentFn FactoryCreate() {
  static CreateComponentFn create = [] () -> CreateComponentFn {
    char self[MAX_PATH * 4];
    HMODULE own = GavioModuleFromAddress(reinterpret_cast<const void*>(&FactoryCreate));
    DWORD length = GetModuleFileNameA(own, self, sizeof self);
    // A path that filled the buffer may have been cut short.
    if (length == 0 || length >= sizeof self) return nullptr;
    std::string folder(self, length);
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
    HMODULE factory = LoadLibraryA((folder + "/GavFact.dll").c_str());
    if (factory == nullptr) return nullptr;
    return reinterpret_cast<CreateComponentFn>(GetProcAddress(factory, "CreateComponent"));
  }();
  return create;
}

bool RegisteredModule(const Guid& classId, char* path, size_t size) {
  CreateComponentFn create = FactoryCreate();
  if (create == nullptr) return false;
  IComponent* registry = create(kRegistryId, 0);
  if (registry == nullptr) return false;
  char text[kClassIdTextLength + 1];
  ClassIdToText(classId, text);
  bool found = FindControlModule(static_cast<IRegistry*>(registry), text, path, size);
  registry->Destroy(0);
  return found;
}

HResult ClassObjectOf(const Guid* classId, const Guid* iid, void** object) {
  if (object == nullptr) return kEPointer;
  *object = nullptr;
  if (classId == nullptr || iid == nullptr) return kEPointer;
  char path[MAX_PATH];
  if (!RegisteredModule(*classId, path, sizeof path)) return kClassNotRegistered;
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) return kModuleNotFound;
  auto getClassObject =
      reinterpret_cast<GavioDllGetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
  if (getClassObject == nullptr) return kErrorInModule;
  return getClassObject(classId, iid, object);
}

}  // namespace
}  // namespace gavio::com

extern "C" __attribute__((visibility("default"))) gavio::HResult CoGetClassObject(
    const gavio::Guid* classId, uint32_t context, void* serverInfo, const gavio::Guid* iid,
    void** object) {
  return gavio::com::ClassObjectOf(classId, iid, object);
}

// Nothing is downloaded: the code address and version only tell the
// platform where to fetch a control it does not have, and this one
// creates registered controls only.
extern "C" __attribute__((visibility("default"))) gavio::HResult CoGetClassObjectFromURL(
    const gavio::Guid* classId, const char* codeUrl, uint32_t fileVersionMs,
    uint32_t fileVersionLs, const char* mimeType, void* bindContext, uint32_t context,
    void* reserved, const gavio::Guid* iid, void** object) {
  return gavio::com::ClassObjectOf(classId, iid, object);
}
