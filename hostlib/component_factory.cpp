// ComponentFactory (361): the factory object that CreateComponent(361, 0)
// hands out, and the instances it creates for id 361.
//
// Components are made by id: by the library the INI names for the id
// (section "<id>", key "DLL"; a relative path is taken in the INI's folder,
// "Name.dll" means libname.so), else by this library for its own classes
// (991, 66), else by libgavio.so beside this library. Loaded libraries are
// cached and never unloaded: instances they made may still be alive, and
// the unload notice is only advice.
//
// Log settings come from the same INI:
//   [Log]                File = log file (relative: in the INI's folder; empty
//                        or missing: no file), DebugMask, FileMask = masks of
//                        every module (decimal or 0x hex; default 0)
//   [Log.<module id>]    DebugMask, FileMask = overrides for that module
//
// Thread safety: every operation may be called from any thread; the
// process-wide state is guarded by one critical section.
#include <atomic>
#include <map>
#include <new>
#include <vector>

#include "host_component.h"
#include "hostlib.h"
#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/sync.h"

namespace gavio::hostlib {
namespace {

struct FactoryState {
  CRITICAL_SECTION lock;
  std::map<std::string, HMODULE> libraries;
  std::vector<IComponent*> processInstances;
  std::atomic<uint32_t> unloadNotices{0};

  FactoryState() { InitializeCriticalSection(&lock); }
};

// Never destroyed: the component library calls in from its own unload,
// which may run after this library's static objects are gone.
FactoryState& State() {
  static FactoryState* state = new FactoryState;
  return *state;
}

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
  ~CriticalSectionLock() { LeaveCriticalSection(cs_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};

HMODULE LoadCachedLibrary(const std::string& path) {
  FactoryState& state = State();
  CriticalSectionLock hold(&state.lock);
  auto known = state.libraries.find(path);
  if (known != state.libraries.end()) return known->second;
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    DebugPrint("[GavFact] Load %s fail, error id = %u.\n", path.c_str(), GetLastError());
    return nullptr;
  }
  state.libraries[path] = module;
  return module;
}

IComponent* CreateFromLibrary(const std::string& path, uint32_t componentId) {
  HMODULE module = LoadCachedLibrary(path);
  if (module == nullptr) return nullptr;
  auto create = reinterpret_cast<GavioCreateComponentFn>(GetProcAddress(module, "CreateComponent"));
  if (create == nullptr) {
    DebugPrint("[GavFact] Can't find CreateComponent() in %s.\n", path.c_str());
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  IComponent* component = create(componentId, 0);
  if (component == nullptr) {
    DebugPrint("[GavFact] CreateComponent(ComponentId=%u) in %s return null.\n", componentId,
               path.c_str());
  }
  return component;
}

IComponent* CreateOwnComponent(uint32_t componentId) {
  switch (componentId) {
    case kRegistryId:
      return NewRegistry();
    case kHostLookupId:
      return NewHostLookup();
    default:
      return nullptr;
  }
}

// The mask for a module: its own section, else the shared default.
uint32_t ReadMask(const std::string& ini, const std::string& moduleSection, const char* key) {
  uint32_t mask = 0;
  ParseMask(ReadIniString(ini, "Log", key), &mask);
  ParseMask(ReadIniString(ini, moduleSection.c_str(), key), &mask);
  return mask;
}

class ComponentFactory final : public HostComponent<kComponentFactoryId, IComponentFactory> {
 public:
  explicit ComponentFactory(bool processWide) : processWide_(processWide) {}

  // The process-wide object outlives every caller; instances end here.
  void Destroy(int32_t bForce) override {
    if (!processWide_) DestroyInstance();
  }

  IComponent* CreateComponentById(uint32_t componentId, const char* registryPath) override {
    // 361 always means this factory: the INI's "361" entry names the factory
    // library for the component library, and following it could load a
    // different factory or loop back here.
    if (componentId == kComponentFactoryId) return NewComponentFactory();
    std::string ini = ResolveIniPath(registryPath);
    std::string dll = ReadIniString(ini, std::to_string(componentId).c_str(), "DLL");
    if (!dll.empty()) return CreateFromLibrary(PathIn(FolderOf(ini), dll.c_str()), componentId);
    if (IComponent* own = CreateOwnComponent(componentId)) return own;
    return CreateFromLibrary(OwnFolder() + "/libgavio.so", componentId);
  }

  int32_t GetLogSettings(const char* registryPath, uint32_t moduleId, uint32_t* debugMask,
                         uint32_t* fileMask, LogSettings** result) override {
    std::string ini = ResolveIniPath(registryPath);
    std::string moduleSection = "Log." + std::to_string(moduleId);
    if (debugMask != nullptr) *debugMask = ReadMask(ini, moduleSection, "DebugMask");
    if (fileMask != nullptr) *fileMask = ReadMask(ini, moduleSection, "FileMask");
    if (result != nullptr) {
      std::string file = ReadIniString(ini, "Log", "File");
      *result = file.empty() ? nullptr : SharedLogFile(PathIn(FolderOf(ini), file.c_str()));
    }
    return 1;
  }

  int32_t NoteProcessInstance(IComponent* instance) override {
    if (instance == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    FactoryState& state = State();
    CriticalSectionLock hold(&state.lock);
    for (IComponent* known : state.processInstances) {
      if (known == instance) return 1;
    }
    state.processInstances.push_back(instance);
    return 1;
  }

  uint32_t GetUnloadNoticeCount() override { return State().unloadNotices.load(); }

  uint32_t GetProcessInstanceCount() override {
    FactoryState& state = State();
    CriticalSectionLock hold(&state.lock);
    return static_cast<uint32_t>(state.processInstances.size());
  }

  void OnLibraryUnloadable(void* module) override {
    State().unloadNotices.fetch_add(1);
    DebugPrint(
        "ComponentFactory::OnLibraryUnloadable(), module %p has no live component; it "
        "stays loaded\n",
        module);
  }

 private:
  bool processWide_;
};

}  // namespace

IComponentFactory* FactoryObject() {
  static ComponentFactory* object = new ComponentFactory(true);
  return object;
}

IComponent* NewComponentFactory() { return new (std::nothrow) ComponentFactory(false); }

}  // namespace gavio::hostlib
