// The registration table, the live-instance map and the library's switches,
// all behind the one library lock.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <map>
#include <mutex>

#include "gavio/ids.h"
#include "frame/instances.h"
#include "platform/modules.h"
#include "platform/sync.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

struct LiveEntry {
  uint32_t component_id;
  uint32_t creator_id;
  IComponent* pointer;
};

struct Registration {
  uint32_t id;
  FactoryFunction factory;
};

struct HostState {
  CRITICAL_SECTION lock;
  Registration table[kMaxRegistrations];
  uint32_t count = 0;
  std::map<uintptr_t, LiveEntry> live;  // keyed by address, unsigned order
  char registry_path[kPathSize] = {0};
};

// Word-sized switches and the instance count are read without the lock, as
// the exports allow; atomics keep those reads well defined.
std::atomic<int32_t> g_safe_to_destroy{0};
std::atomic<void*> g_factory_handle{nullptr};
std::atomic<size_t> g_live_count{0};

// Created on first use by whatever needs it first; never destroyed, so a
// component destroyed from a late static destructor still finds it.
HostState& state() {
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
  LibraryLock() { EnterCriticalSection(&state().lock); }
  ~LibraryLock() { LeaveCriticalSection(&state().lock); }
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;
};

FactoryFunction FindFactory(uint32_t component_id) {
  LibraryLock lock;
  for (uint32_t i = 0; i < state().count; ++i) {
    if (state().table[i].id == component_id) return state().table[i].factory;
  }
  return nullptr;
}

void SendUnloadNotice() {
  char registry_path[kPathSize];
  HostGetRegistryPath(registry_path);
  IComponentFactory* factory = ObtainFactoryObject(registry_path);
  if (factory == nullptr) return;
  IComponent* instance = factory->CreateComponentById(kComponentFactoryId, registry_path);
  if (instance == nullptr) return;
  instance->SetAutoFree(1);
  static_cast<IComponentFactory*>(instance)->OnLibraryUnloadable(HostOwnModule());
  // The notice is all this library needs of the instance; ending it here
  // keeps it from outliving the process unaccounted for.
  instance->Destroy(0);
}

}  // namespace

void RegisterComponentClass(uint32_t componentId, FactoryFunction factory) {
  LibraryLock lock;
  HostState& s = state();
  if (s.count >= kMaxRegistrations || componentId == 0 || factory == nullptr) return;
  s.table[s.count++] = Registration{componentId, factory};
}

IComponent* HostCreateComponent(uint32_t componentId, uint32_t creatorId) {
  FactoryFunction factory = FindFactory(componentId);
  if (factory == nullptr) {
    DebugPrint("Gavio[Error]: Can't find the factory method of Component\n");
    DebugPrint("Gavio[Error]: ComponentID=%d CreatorID=%u", static_cast<int>(componentId),
               creatorId);
    return nullptr;
  }
  IComponent* component = factory();
  if (component == nullptr) {
    DebugPrint("Gavio[Error]:CreateComponent method return NULL.\n");
    DebugPrint("Gavio[Error]: ComponentID=%d CreatorID=%u", static_cast<int>(componentId),
               creatorId);
    return nullptr;
  }
  LibraryLock lock;
  state().live[reinterpret_cast<uintptr_t>(component)] =
      LiveEntry{componentId, creatorId, component};
  g_live_count = state().live.size();
  return component;
}

uint32_t HostGetComponentIds(uint32_t* ids, uint32_t max) {
  LibraryLock lock;
  uint32_t count = state().count;
  if (ids != nullptr) {
    for (uint32_t i = 0; i < max && i < count; ++i) ids[i] = state().table[i].id;
  }
  return count;
}

bool HostSafeToDestroy() {
  state();  // the lock's creation sets the switch
  return g_safe_to_destroy != 0;
}

int32_t HostSetSafeToDestroy(int32_t value) {
  state();
  g_safe_to_destroy = value;
  return value;
}

void HostNotifyRemoved(IComponent* component, bool wasNotFactory) {
  LibraryLock lock;
  auto& live = state().live;
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
  state();
  return g_live_count == 0;
}

void HostFreeAutoFreeInstances() {
  LibraryLock lock;
  auto& live = state().live;
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
  auto& live = state().live;
  if (live.empty()) return;
  static const char kSeparator[] =
      "Gavio[Error]:=================================================================\n";
  DebugPrint("%s", kSeparator);
  DebugPrint("Gavio[Error]:Found leak Gavio components. Count:%d\n", static_cast<int>(live.size()));
  for (const auto& [key, entry] : live) {
    DebugPrint("Gavio[Error]:ComponentID:0x%08x CreatorID:0x%08x Pointer:0x%08llx\n",
               entry.component_id, entry.creator_id, static_cast<unsigned long long>(key));
  }
  DebugPrint("%s", kSeparator);
}

void HostGetRegistryPath(char* out) {
  LibraryLock lock;
  memcpy(out, state().registry_path, kPathSize);
}

int32_t HostSetRegistryPath(const char* path) {
  LibraryLock lock;
  char* target = state().registry_path;
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
