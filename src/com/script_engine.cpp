// A script engine stand-in (libjscript.so, libvbscript.so: one source,
// built twice): creates a control the way a page script does, through the
// platform's CoGetClassObject, so its import slot is the one the control
// guard redirects.
#include "com/control_registry.h"
#include "gavio/browser.h"

extern "C" gavio::HResult CoGetClassObject(const gavio::Guid* classId, uint32_t context,
                                           void* serverInfo, const gavio::Guid* iid,
                                           void** object);

namespace {

constexpr uint32_t kInProcessServer = 1;
// IUnknown: every control answers it.
constexpr gavio::Guid kIidUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace

extern "C" __attribute__((visibility("default"))) gavio::HResult ScriptCreateControl(
    const char* classIdText, void** object) {
  using namespace gavio;
  if (object == nullptr) return kEPointer;
  *object = nullptr;
  Guid classId;
  if (!com::ClassIdFromText(classIdText, &classId)) return kEFail;
  void* classObject = nullptr;
  HResult result =
      CoGetClassObject(&classId, kInProcessServer, nullptr, &kIidClassFactory, &classObject);
  if (result != kSOk) return result;
  auto* factory = static_cast<IClassFactory*>(classObject);
  result = factory->CreateInstance(nullptr, &kIidUnknown, object);
  factory->Release();
  return result;
}
