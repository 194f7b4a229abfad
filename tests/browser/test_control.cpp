// A control module for the guard's tests: its class object serves
// whichever class id the registry maps to it and counts the instances it
// creates. Built twice: with a file version and read-only imports, and
// with neither.
#include <dlfcn.h>

#include <atomic>

#include "gavio/browser.h"

#ifdef TEST_CONTROL_VERSION
#define TEST_CONTROL_APPLY(macro, arguments) macro(arguments)
TEST_CONTROL_APPLY(GAVIO_MODULE_FILE_VERSION, TEST_CONTROL_VERSION);
#endif

namespace {

std::atomic<uint32_t> g_instances{0};
int g_control = 0;  // what an instance hands out: the test never uses it

bool SameGuid(const gavio::Guid& a, const gavio::Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         __builtin_memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

class ClassObject final : public gavio::IClassFactory {
 public:
  gavio::HResult QueryInterface(const gavio::Guid* iid, void** object) override {
    *object = SameGuid(*iid, gavio::kIidClassFactory) ? this : nullptr;
    return *object != nullptr ? gavio::kSOk : gavio::kENoInterface;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  gavio::HResult CreateInstance(void*, const gavio::Guid*, void** object) override {
    g_instances.fetch_add(1);
    *object = &g_control;
    return gavio::kSOk;
  }
  gavio::HResult LockServer(int32_t) override { return gavio::kSOk; }
};

ClassObject g_classObject;

}  // namespace

extern "C" __attribute__((visibility("default"))) gavio::HResult DllGetClassObject(
    const gavio::Guid*, const gavio::Guid* iid, void** object) {
  return g_classObject.QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) uint32_t TestControlInstances() {
  return g_instances.load();
}

// An import of dlsym, so that the module has a slot the guard rewrites.
extern "C" __attribute__((visibility("default"))) void* TestControlLookup(void* module,
                                                                         const char* name) {
  return dlsym(module, name);
}
