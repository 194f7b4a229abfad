// Module loading on dlopen. "Name.dll" maps to "libname.so" in the same
// folder, so configuration written for the original file names keeps
// working; dlerror text becomes ERROR_MOD_NOT_FOUND / ERROR_PROC_NOT_FOUND
// here, and is echoed to the debugger output because it is the only place
// that says why a library did not load.
#include "platform/modules.h"

#include <dlfcn.h>
#include <link.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/errors.h"
#include "platform/host_path_text.h"

namespace {

std::string MapModuleName(const char* name) {
  std::string path = gavio::platform::HostPathOf(name);
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.size() > 4 && strcasecmp(base.c_str() + base.size() - 4, ".dll") == 0) {
    base.resize(base.size() - 4);
    for (char& c : base) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    base = "lib" + base + ".so";
  }
  return folder + base;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct LoadedSearch {
  std::string wanted;
  std::string found;
};

int MatchLoaded(dl_phdr_info* info, size_t, void* raw) {
  auto* search = static_cast<LoadedSearch*>(raw);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  if (BaseName(info->dlpi_name) == search->wanted) {
    search->found = info->dlpi_name;
    return 1;
  }
  return 0;
}

void ReportDlError(DWORD code) {
  const char* why = dlerror();
  if (why != nullptr) {
    OutputDebugStringA(why);
    OutputDebugStringA("\n");
  }
  SetLastError(code);
}

// A handle for an already-loaded file without keeping an extra reference.
HMODULE HandleOfLoaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle;
}

}  // namespace

HMODULE LoadLibraryA(const char* fileName) {
  if (fileName == nullptr || fileName[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string path = MapModuleName(fileName);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) ReportDlError(ERROR_MOD_NOT_FOUND);
  return handle;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return dlclose(module) == 0 ? TRUE : FALSE;
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(module, name);
  if (symbol == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return symbol;
}

HMODULE GetModuleHandleA(const char* moduleName) {
  if (moduleName == nullptr) return dlopen(nullptr, RTLD_NOW);
  LoadedSearch search{BaseName(MapModuleName(moduleName)), {}};
  dl_iterate_phdr(MatchLoaded, &search);
  if (search.found.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return HandleOfLoaded(search.found.c_str());
}

DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::string path;
  link_map* map = nullptr;
  if (module != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
      map->l_name != nullptr && map->l_name[0] != '\0') {
    path = map->l_name;
  } else {
    char exe[4096];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) {
      SetLastErrorFromErrno();
      return 0;
    }
    path.assign(exe, static_cast<size_t>(length));
  }
  if (path.size() + 1 > size) {
    memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

HMODULE GavioModuleFromAddress(const void* address) {
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return HandleOfLoaded(info.dli_fname);
}
