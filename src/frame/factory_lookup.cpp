// Finding the factory library: "Gavio.ini" (or the INI named by the registry
// path), its redirects, and the DLL path it names.
//
// Paths written for the original platform use '\\'; both separators are
// accepted everywhere here and the platform turns the result into a host
// path when it opens the file.
#include "frame/factory_lookup.h"

#include <string.h>

#include <string>

#include "config/ini_config.h"
#include "frame/instances.h"
#include "frame/log_sink.h"
#include "gavio/ids.h"
#include "platform/modules.h"
#include "platform/paths.h"

namespace gavio {
namespace {

bool IsBlank(const char* text) { return text[strspn(text, " \t")] == '\0'; }

std::string TrimBlanks(const char* text) {
  std::string s(text);
  size_t begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = s.find_last_not_of(" \t");
  return s.substr(begin, end - begin + 1);
}

bool IsAbsolute(const std::string& path) { return GavioIsAbsolutePath(path.c_str()) != 0; }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Copies text into a kPathSize buffer; false (buffer untouched) when it
// does not fit.
bool Fits(const std::string& text, char* out) {
  if (text.size() >= kPathSize) return false;
  memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

// The folder part of an INI path, up to and including its last separator.
std::string FolderOf(const std::string& ini) {
  for (size_t i = ini.size(); i > 0; --i) {
    if (IsSeparator(ini[i - 1])) return ini.substr(0, i);
  }
  return ini + "\\";
}

std::string ReadIni(const std::string& ini, const char* section, const char* key,
                    const char* fallback, size_t size) {
  return config::ReadIniValue(ini, section, key, fallback, size);
}

}  // namespace

// Filled once, by the first caller of any thread: components that run on
// other threads (the control guard's replacements) ask for it too.
const char* HostExecutableFolder() {
  static const std::string folder = [] {
    char buffer[kPathSize] = {0};
    if (!GavioGetExecutableFolder(buffer, kPathSize)) buffer[0] = '\0';
    return std::string(buffer);
  }();
  return folder.c_str();
}

bool ResolveFactoryIni(const char* iniPath, char* finalIni) {
  std::string ini;
  std::string looped;
  if (!config::FollowRedirects(config::StartingIni(iniPath, HostExecutableFolder()), &ini,
                               &looped)) {
    DebugPrint("[Gavio_Error] Redirect loop at %s\n", looped.c_str());
    return false;
  }
  return Fits(ini, finalIni);
}

bool ResolveFactoryDllPath(const char* finalIni, char* dllPath) {
  std::string ini = finalIni;
  std::string folder = FolderOf(ini);
  std::string dll = TrimBlanks(ReadIni(ini, "361", "DLL", "", 1024).c_str());
  if (IsAbsolute(dll)) return Fits(dll, dllPath);
  std::string not_default =
      TrimBlanks(ReadIni(ini, "361", "NotUseDefaultDllPath", "0", kPathSize).c_str());
  if (!not_default.empty() && not_default[0] == '1') return Fits(folder + dll, dllPath);
  std::string default_path = ReadIni(ini, "DefaultValue", "DllPath", "", kPathSize);
  std::string candidate =
      IsBlank(default_path.c_str()) ? dll : default_path + "\\" + dll;
  if (candidate.size() >= kPathSize) return false;
  return Fits(IsAbsolute(candidate) ? candidate : folder + candidate, dllPath);
}

void* FindFactoryLibrary(const char* iniPath) {
  if (void* handle = HostFactoryHandle()) return handle;
  char ini[kPathSize];
  char dll[kPathSize];
  if (!ResolveFactoryIni(iniPath, ini) || !ResolveFactoryDllPath(ini, dll)) {
    DebugPrint("[Gavio_Error] Load GavFact.dll Fail.\n");
    return nullptr;
  }
  void* module = LoadLibraryA(dll);
  if (module == nullptr) DebugPrint("[Gavio_Error] Load GavFact.dll Fail.\n");
  return module;
}

IComponentFactory* GetFactoryObject(void* module) {
  using CreateFn = IComponent* (*)(uint32_t, uint32_t);
  auto create = reinterpret_cast<CreateFn>(GetProcAddress(module, "CreateComponent"));
  if (create == nullptr) {
    DebugPrint("[Gavio_Error] Can't find CreateComponent().\n");
    return nullptr;
  }
  IComponent* factory = create(kComponentFactoryId, 0);
  if (factory == nullptr) {
    DebugPrint("[Gavio_Error] CreateComponent(ComponentId=%u) return null.\n",
               static_cast<unsigned>(kComponentFactoryId));
  }
  return static_cast<IComponentFactory*>(factory);
}

IComponentFactory* ObtainFactoryObject(const char* iniPath) {
  void* module = FindFactoryLibrary(iniPath);
  if (module == nullptr) return nullptr;
  IComponentFactory* factory = GetFactoryObject(module);
  if (factory == nullptr) DebugPrint("[Gavio_Error] Create ComponentFactory in GavFact.dll Fail\n");
  return factory;
}

}  // namespace gavio
