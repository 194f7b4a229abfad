// The live-instance map and the library's switches, behind the one library
// lock.
#include "frame/instances.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <map>
#include <mutex>

#include "frame/factory_lookup.h"
#include "frame/log_sink.h"
#include "gavio/ids.h"
#include "platform/modules.h"
#include "platform/sync.h"

namespace gavio {
namespace {

struct LiveEntry {
  uint32_t componentId;
  uint32_t creatorId;
  IComponent* pointer;
};

struct HostState {
  CRITICAL_SECTION lock;
  std::map<uintptr_t, LiveEntry> live;  // keyed by address, unsigned order
  char registryPath[kPathSize] = {0};
};

// Word-sized switches and the instance count are read without the lock, as
// the exports allow; atomics keep those reads well defined.
std::atomic<int32_t> g_safe_to_destroy{0};
std::atomic<void*> g_factory_handle{nullptr};
std::atomic<size_t> g_live_count{0};

// Created on first use by whatever needs it first; never destroyed, so a
// component destroyed from a late static destructor still finds it.
HostState& State() {
  static HostState* s = [] {
    auto* created = new HostState;
    InitializeCriticalSection(&created->lock);
    g_safe_to_destroy = 1;
    return created;
  }();
  return *s;
}

class LibraryLock {
 public:
  LibraryLock() { EnterCriticalSection(&State().lock); }
  ~LibraryLock() { LeaveCriticalSection(&State().lock); }
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;
};

void SendUnloadNotice() {
  char registryPath[kPathSize];
  HostGetRegistryPath(registryPath);
  IComponentFactory* factory = ObtainFactoryObject(registryPath);
  if (factory == nullptr) return;
  IComponent* instance = factory->CreateComponentById(kComponentFactoryId, registryPath);
  if (instance == nullptr) return;
  instance->SetAutoFree(1);
  static_cast<IComponentFactory*>(instance)->OnLibraryUnloadable(HostOwnModule());
  // The notice is all this library needs of the instance; ending it here
  // keeps it from outliving the process unaccounted for.
  instance->Destroy(0);
}

}  // namespace

void HostRecordInstance(IComponent* component, uint32_t componentId, uint32_t creatorId) {
  LibraryLock lock;
  State().live[reinterpret_cast<uintptr_t>(component)] =
      LiveEntry{componentId, creatorId, component};
  g_live_count = State().live.size();
}

bool HostSafeToDestroy() {
  State();  // the lock's creation sets the switch
  return g_safe_to_destroy != 0;
}

int32_t HostSetSafeToDestroy(int32_t value) {
  State();
  g_safe_to_destroy = value;
  return value;
}

void HostNotifyRemoved(IComponent* component, bool wasNotFactory) {
  LibraryLock lock;
  auto& live = State().live;
  auto it = live.find(reinterpret_cast<uintptr_t>(component));
  if (it == live.end()) {
    DebugPrint("Gavio[Error]: To remove a component not exist\n");
    DebugPrint("Gavio[Error]: IComponent* = 0x%p\n", static_cast<void*>(component));
    return;
  }
  live.erase(it);
  g_live_count = live.size();
  if (live.empty() && wasNotFactory) SendUnloadNotice();
}

bool HostMapIsEmpty() {
  State();
  return g_live_count == 0;
}

void HostFreeAutoFreeInstances() {
  LibraryLock lock;
  auto& live = State().live;
  auto it = live.begin();
  while (it != live.end()) {
    uintptr_t key = it->first;
    IComponent* component = it->second.pointer;
    if (component->GetAutoFree() != 0) component->Destroy(0);
    auto again = live.find(key);
    it = again == live.end() ? live.begin() : std::next(again);
  }
}

void HostWriteLeakReport() {
  LibraryLock lock;
  auto& live = State().live;
  if (live.empty()) return;
  static const char kSeparator[] =
      "Gavio[Error]:=================================================================\n";
  DebugPrint("%s", kSeparator);
  DebugPrint("Gavio[Error]:Found leak Gavio components. Count:%d\n", static_cast<int>(live.size()));
  for (const auto& [key, entry] : live) {
    DebugPrint("Gavio[Error]:ComponentID:0x%08x CreatorID:0x%08x Pointer:0x%08llx\n",
               entry.componentId, entry.creatorId, static_cast<unsigned long long>(key));
  }
  DebugPrint("%s", kSeparator);
}

void HostGetRegistryPath(char* out) {
  LibraryLock lock;
  memcpy(out, State().registryPath, kPathSize);
}

int32_t HostSetRegistryPath(const char* path) {
  LibraryLock lock;
  char* target = State().registryPath;
  if (path != nullptr && strlen(path) < kPathSize) {
    strcpy(target, path);
  } else {
    target[0] = '\0';
  }
  return 0;
}

void* HostSetFactoryHandle(void* module) {
  g_factory_handle = module;
  return module;
}

void* HostFactoryHandle() { return g_factory_handle; }

void* HostOwnModule() {
  static void* own = GavioModuleFromAddress(reinterpret_cast<const void*>(&HostOwnModule));
  return own;
}

}  // namespace gavio
