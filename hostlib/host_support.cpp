// Helpers shared by the components of the factory library: debugger
// printing, the INI a registry path stands for, and INI values.
#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "config/ini_config.h"
#include "hostlib.h"
#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/paths.h"

namespace gavio::hostlib {
namespace {

constexpr size_t kDebugLineSize = 1024;
constexpr size_t kIniValueSize = 1024;
constexpr DWORD kFolderSize = 4096;

std::string ToHostForm(const std::string& path) {
  std::string host = path;
  GavioToHostPath(host.data());
  return host;
}

std::string Trimmed(const char* text) {
  std::string value = text;
  size_t first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = value.find_last_not_of(" \t");
  return value.substr(first, last - first + 1);
}

std::string ExecutableFolder() {
  char folder[kFolderSize];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return ".";
  return ToHostForm(folder);
}

}  // namespace

void DebugPrint(const char* format, ...) {
  char line[kDebugLineSize];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  OutputDebugStringA(line);
}

std::string FolderOf(const std::string& path) {
  std::string host = ToHostForm(path);
  size_t slash = host.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return host.substr(0, slash);
}

std::string PathIn(const std::string& folder, const char* path) {
  if (GavioIsAbsolutePath(path)) return ToHostForm(path);
  std::string joined = ToHostForm(folder);
  if (joined.empty() || joined.back() != '/') joined += '/';
  return joined + ToHostForm(path);
}

std::string ReadIniString(const std::string& iniPath, const char* section, const char* key) {
  return Trimmed(config::ReadIniValue(iniPath, section, key, "", kIniValueSize).c_str());
}

std::string ResolveIniPath(const char* registryPath) {
  std::string ini;
  std::string looped;
  if (!config::FollowRedirects(config::StartingIni(registryPath, ExecutableFolder()), &ini,
                               &looped)) {
    DebugPrint("[GavFact] Redirects of the INI loop at %s; no INI is used\n", looped.c_str());
    return std::string();
  }
  return ini;
}

bool ParseMask(const std::string& text, uint32_t* value) {
  std::string digits = Trimmed(text.c_str());
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 10) return false;
  for (char c : digits) {
    bool ok = base == 16 ? isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  unsigned long long parsed = strtoull(digits.c_str(), nullptr, base);
  if (parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

std::string OwnFolder() {
  HMODULE self = GavioModuleFromAddress(reinterpret_cast<const void*>(&OwnFolder));
  char path[kFolderSize];
  if (self == nullptr || GetModuleFileNameA(self, path, sizeof path) == 0) return ".";
  return FolderOf(path);
}

}  // namespace gavio::hostlib
