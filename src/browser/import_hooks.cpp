// Import slot rewriting over dl_iterate_phdr.
//
// A pass runs in three steps so that the lock of the slot table is never
// held while the loader runs (the loader takes its own locks, and a module
// constructor may load modules while another thread holds ours):
//   1. list the loaded modules (dl_iterate_phdr) and pin each with a
//      no-load dlopen, so none goes away while its slots are written;
//   2. under the lock, read /proc/self/maps and rewrite the slots;
//   3. unpin.
#include "browser/import_hooks.h"

#include <ctype.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

namespace gavio {
namespace {

// Modules that implement loading, symbol lookup or their interception.
constexpr const char* kPlatformRuntimes[] = {
    "linux-vdso", "ld-linux", "libc.so",   "libm.so",    "libdl.so",   "libpthread.so",
    "libstdc++.so", "libgcc_s.so", "libasan.so", "libtsan.so", "libubsan.so", "liblsan.so",
};
constexpr size_t kMaxMapsBytes = 16 * 1024 * 1024;

struct LoadedModule {
  std::string path;  // "" for the main program
  uintptr_t base;
  const ElfW(Phdr) * segments;
  size_t segmentCount;
  void* pin = nullptr;
};

struct RewrittenSlot {
  void** slot;
  void* original;
  void* replacement;
  uintptr_t moduleBase;
  std::string modulePath;
};

struct Region {
  uintptr_t start;
  uintptr_t end;
  int protection;
};

struct HookState {
  std::mutex mutex;
  ImportHook* hooks = nullptr;
  size_t count = 0;
  std::vector<RewrittenSlot> rewritten;
};

HookState& State() {
  static HookState* state = new HookState;  // replacements may run during exit
  return *state;
}

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

bool IsPlatformRuntime(const std::string& path) {
  const char* name = BaseName(path.c_str());
  for (const char* runtime : kPlatformRuntimes) {
    if (strncmp(name, runtime, strlen(runtime)) == 0) return true;
  }
  return false;
}

// The load bias of the module holding this code, as dl_iterate_phdr gives
// it (for a program that is not position independent it is 0, not the
// address of its first page).
uintptr_t OwnModuleBase() {
  Dl_info info;
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&OwnModuleBase), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0 || map == nullptr) {
    return UINTPTR_MAX;
  }
  return map->l_addr;
}

int CollectModule(dl_phdr_info* info, size_t, void* context) {
  auto* modules = static_cast<std::vector<LoadedModule>*>(context);
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  // Only the first entry, the main program, may have no name.
  if (name[0] == '\0' && !modules->empty()) return 0;
  modules->push_back(LoadedModule{name, info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum});
  return 0;
}

// Step 1: the modules a pass may rewrite, each pinned. A module unloaded
// and another loaded under its name between the listing and the pin would
// not match the listed segments, so the list is taken again once every
// module is pinned and only the modules on both lists are kept. (The
// loader's own records are not read: their writes are ordered by the
// loader's lock, which a thread checker cannot see.)
std::vector<LoadedModule> PinCandidateModules() {
  std::vector<LoadedModule> listed;
  dl_iterate_phdr(CollectModule, &listed);
  uintptr_t own = OwnModuleBase();
  std::vector<LoadedModule> pinned;
  for (LoadedModule& module : listed) {
    if (module.base == own || IsPlatformRuntime(module.path)) continue;
    module.pin = dlopen(module.path.empty() ? nullptr : module.path.c_str(),
                        RTLD_LAZY | RTLD_NOLOAD);
    if (module.pin != nullptr) pinned.push_back(module);
  }
  std::vector<LoadedModule> relisted;
  dl_iterate_phdr(CollectModule, &relisted);
  std::vector<LoadedModule> kept;
  for (LoadedModule& module : pinned) {
    bool same = false;
    for (const LoadedModule& now : relisted) {
      same = same || (now.base == module.base && now.path == module.path &&
                      now.segments == module.segments);
    }
    if (same) {
      kept.push_back(module);
    } else {
      dlclose(module.pin);
    }
  }
  return kept;
}

void Unpin(std::vector<LoadedModule>* modules) {
  for (LoadedModule& module : *modules) dlclose(module.pin);
  modules->clear();
}

// The address a module's slot for the function would be bound to.
void* ResolveFor(const LoadedModule& module, const char* function) {
  void* address = dlsym(module.pin, function);
  return address != nullptr ? address : dlsym(RTLD_DEFAULT, function);
}

std::vector<Region> ReadRegions() {
  std::vector<Region> regions;
  FILE* maps = fopen("/proc/self/maps", "re");
  if (maps == nullptr) return regions;
  char line[512];
  size_t bytes = 0;
  while (fgets(line, sizeof line, maps) != nullptr && bytes < kMaxMapsBytes) {
    bytes += strlen(line);
    unsigned long start = 0, end = 0;
    char perms[5] = {0};
    if (sscanf(line, "%lx-%lx %4s", &start, &end, perms) != 3) continue;
    int protection = (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
                     (perms[2] == 'x' ? PROT_EXEC : 0);
    regions.push_back(Region{start, end, protection});
    // A line longer than the buffer: skip the rest of it.
    while (strchr(line, '\n') == nullptr && fgets(line, sizeof line, maps) != nullptr) {
    }
  }
  fclose(maps);
  return regions;
}

const Region* RegionOf(const std::vector<Region>& regions, uintptr_t address) {
  for (const Region& region : regions) {
    if (address >= region.start && address < region.end) return &region;
  }
  return nullptr;
}

// Stores value in the slot, opening its page for writing only for the
// store and giving it back exactly the protection it had.
bool WriteSlot(const std::vector<Region>& regions, void** slot, void* value) {
  uintptr_t address = reinterpret_cast<uintptr_t>(slot);
  const Region* region = RegionOf(regions, address);
  if (region == nullptr || (region->protection & PROT_READ) == 0) return false;
  if ((region->protection & PROT_WRITE) != 0) {
    __atomic_store_n(slot, value, __ATOMIC_SEQ_CST);
    return true;
  }
  uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  void* page = reinterpret_cast<void*>(address & ~(pageSize - 1));
  if (mprotect(page, pageSize, region->protection | PROT_WRITE) != 0) return false;
  __atomic_store_n(slot, value, __ATOMIC_SEQ_CST);
  mprotect(page, pageSize, region->protection);
  return true;
}

bool InModule(const LoadedModule& module, uintptr_t address) {
  for (size_t i = 0; i < module.segmentCount; ++i) {
    const ElfW(Phdr)& segment = module.segments[i];
    if (segment.p_type != PT_LOAD) continue;
    uintptr_t start = module.base + segment.p_vaddr;
    if (address >= start && address < start + segment.p_memsz) return true;
  }
  return false;
}

// The dynamic tables of a module, their addresses made absolute (the loader
// relocates them in place on this machine, the vDSO's excepted).
struct DynamicTables {
  const ElfW(Sym) * symbols = nullptr;
  const char* strings = nullptr;
  size_t stringsSize = 0;
  const ElfW(Rela) * relocations[2] = {nullptr, nullptr};
  size_t relocationBytes[2] = {0, 0};
};

bool ReadDynamicTables(const LoadedModule& module, DynamicTables* tables) {
  const ElfW(Dyn)* dynamic = nullptr;
  for (size_t i = 0; i < module.segmentCount; ++i) {
    if (module.segments[i].p_type == PT_DYNAMIC) {
      dynamic = reinterpret_cast<const ElfW(Dyn)*>(module.base + module.segments[i].p_vaddr);
    }
  }
  if (dynamic == nullptr) return false;
  auto absolute = [&](ElfW(Addr) value) {
    return value < module.base ? module.base + value : value;
  };
  bool pltIsRela = true;
  for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
    switch (entry->d_tag) {
      case DT_SYMTAB:
        tables->symbols = reinterpret_cast<const ElfW(Sym)*>(absolute(entry->d_un.d_ptr));
        break;
      case DT_STRTAB:
        tables->strings = reinterpret_cast<const char*>(absolute(entry->d_un.d_ptr));
        break;
      case DT_STRSZ: tables->stringsSize = entry->d_un.d_val; break;
      case DT_JMPREL:
        tables->relocations[0] = reinterpret_cast<const ElfW(Rela)*>(absolute(entry->d_un.d_ptr));
        break;
      case DT_PLTRELSZ: tables->relocationBytes[0] = entry->d_un.d_val; break;
      case DT_PLTREL: pltIsRela = entry->d_un.d_val == DT_RELA; break;
      case DT_RELA:
        tables->relocations[1] = reinterpret_cast<const ElfW(Rela)*>(absolute(entry->d_un.d_ptr));
        break;
      case DT_RELASZ: tables->relocationBytes[1] = entry->d_un.d_val; break;
      default: break;
    }
  }
  if (!pltIsRela) tables->relocations[0] = nullptr;
  return tables->symbols != nullptr && tables->strings != nullptr;
}

// Calls visit(slot, symbolName) for every JUMP_SLOT and GLOB_DAT import.
template <class Visit>
void ForEachImport(const LoadedModule& module, Visit visit) {
  DynamicTables tables;
  if (!ReadDynamicTables(module, &tables)) return;
  for (int t = 0; t < 2; ++t) {
    if (tables.relocations[t] == nullptr) continue;
    size_t count = tables.relocationBytes[t] / sizeof(ElfW(Rela));
    for (size_t i = 0; i < count; ++i) {
      const ElfW(Rela)& relocation = tables.relocations[t][i];
      uint32_t type = ELF64_R_TYPE(relocation.r_info);
      if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) continue;
      const ElfW(Sym)& symbol = tables.symbols[ELF64_R_SYM(relocation.r_info)];
      if (symbol.st_name == 0 || symbol.st_name >= tables.stringsSize) continue;
      visit(reinterpret_cast<void**>(module.base + relocation.r_offset),
            tables.strings + symbol.st_name);
    }
  }
}

bool HoldsValue(void** slot, void* value) { return __atomic_load_n(slot, __ATOMIC_SEQ_CST) == value; }

// Step 2 for one module: REQUIRES the state lock.
void RewriteModule(HookState& state, const LoadedModule& module,
                   const std::vector<void*>& platformAddresses,
                   const std::vector<Region>& regions) {
  ForEachImport(module, [&](void** slot, const char* name) {
    for (size_t h = 0; h < state.count; ++h) {
      ImportHook& hook = state.hooks[h];
      void* platform = platformAddresses[h];
      if (!hook.installed || platform == nullptr || strcmp(hook.function, name) != 0) continue;
      if (!ModuleListAccepts(hook.modules, module.path.c_str())) continue;
      void* held = __atomic_load_n(slot, __ATOMIC_SEQ_CST);
      if (held == hook.replacement) continue;
      bool lazyStub = InModule(module, reinterpret_cast<uintptr_t>(held));
      if (held != platform && !lazyStub) continue;
      if (PlatformAddressOf(hook) == nullptr) {
        __atomic_store_n(&hook.platformAddress, platform, __ATOMIC_RELEASE);
      }
      if (!WriteSlot(regions, slot, hook.replacement)) continue;
      state.rewritten.push_back(
          RewrittenSlot{slot, held, hook.replacement, module.base, module.path});
    }
  });
}

void ApplyPass() {
  HookState& state = State();
  ImportHook* hooks = nullptr;
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    hooks = state.hooks;
    count = state.count;
  }
  if (hooks == nullptr) return;
  std::vector<LoadedModule> modules = PinCandidateModules();
  // The names are resolved per module before taking the lock, since dlsym
  // takes the loader's lock. The function names of a table never change.
  std::vector<std::vector<void*>> addresses;
  for (const LoadedModule& module : modules) {
    std::vector<void*> perHook(count, nullptr);
    for (size_t h = 0; h < count; ++h) perHook[h] = ResolveFor(module, hooks[h].function);
    addresses.push_back(perHook);
  }
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    // Removed (or replaced by another table) meanwhile: nothing to apply.
    if (state.hooks == hooks) {
      std::vector<Region> regions = ReadRegions();
      for (size_t m = 0; m < modules.size(); ++m) {
        RewriteModule(state, modules[m], addresses[m], regions);
      }
    }
  }
  Unpin(&modules);
}

std::string PlatformFileName(const char* name) {
  std::string text = name;
  size_t length = text.size();
  if (length > 4 && strcasecmp(text.c_str() + length - 4, ".dll") == 0) {
    text = "lib" + text.substr(0, length - 4) + ".so";
  }
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ModuleListAccepts(const char* const* modules, const char* path) {
  if (modules == nullptr) return true;
  const char* name = BaseName(path != nullptr ? path : "");
  for (const char* const* entry = modules; *entry != nullptr; ++entry) {
    std::string wanted = PlatformFileName(*entry);
    if (strncasecmp(name, wanted.c_str(), wanted.size()) != 0) continue;
    char after = name[wanted.size()];
    if (after == '\0' || after == '.') return true;
  }
  return false;
}

void InstallImportHooks(ImportHook* hooks, size_t count) {
  HookState& state = State();
  for (size_t h = 0; h < count; ++h) {
    __atomic_store_n(&hooks[h].platformAddress, dlsym(RTLD_DEFAULT, hooks[h].function),
                     __ATOMIC_RELEASE);
  }
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.hooks = hooks;
    state.count = count;
    for (size_t h = 0; h < count; ++h) hooks[h].installed = true;
  }
  ApplyPass();
}

void ApplyInstalledImportHooks() { ApplyPass(); }

void RemoveImportHooks() {
  HookState& state = State();
  std::vector<LoadedModule> modules = PinCandidateModules();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<Region> regions = ReadRegions();
    for (const RewrittenSlot& rewritten : state.rewritten) {
      bool stillLoaded = false;
      for (const LoadedModule& module : modules) {
        stillLoaded = stillLoaded ||
                      (module.base == rewritten.moduleBase && module.path == rewritten.modulePath);
      }
      // A slot someone else has rewritten since is theirs now.
      if (!stillLoaded || !HoldsValue(rewritten.slot, rewritten.replacement)) continue;
      WriteSlot(regions, rewritten.slot, rewritten.original);
    }
    state.rewritten.clear();
    for (size_t h = 0; h < state.count; ++h) state.hooks[h].installed = false;
    state.hooks = nullptr;
    state.count = 0;
  }
  // Unpinned after the lock: dlclose runs the loader.
  Unpin(&modules);
}

size_t ReadImportSlots(const char* moduleName, const char* function, void** values,
                       size_t capacity, void*** slots) {
  std::vector<LoadedModule> all;
  dl_iterate_phdr(CollectModule, &all);
  size_t found = 0;
  for (const LoadedModule& module : all) {
    const std::string& path = module.path;
    size_t length = strlen(moduleName);
    bool wanted = length == 0 ? path.empty()
                              : path.size() >= length &&
                                    path.compare(path.size() - length, length, moduleName) == 0;
    if (!wanted) continue;
    ForEachImport(module, [&](void** slot, const char* name) {
      if (strcmp(name, function) != 0) return;
      if (found < capacity) {
        values[found] = __atomic_load_n(slot, __ATOMIC_SEQ_CST);
        if (slots != nullptr) slots[found] = slot;
      }
      ++found;
    });
  }
  return found;
}

void* PlatformDlopen(const char* file, int mode) { return dlopen(file, mode); }
void* PlatformDlsym(void* handle, const char* name) { return dlsym(handle, name); }

}  // namespace gavio
