#include "config/ini_config.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "platform/errors.h"
#include "platform/ini.h"
#include "platform/paths.h"

namespace gavio::config {
namespace {

std::string HostForm(const std::string& path) {
  std::string host = path;
  GavioToHostPath(host.data());
  return host;
}

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The folder of a host path, with its trailing '/'.
std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string Read(const char* file, const char* section, const char* key, const char* fallback,
                 size_t size) {
  std::vector<char> value(size > 0 ? size : 1, '\0');
  DWORD n = GetPrivateProfileStringA(section, key, fallback, value.data(),
                                     static_cast<DWORD>(value.size()), file);
  return std::string(value.data(), n);
}

std::string CutFallback(const char* fallback, size_t size) {
  std::string value = fallback != nullptr ? fallback : "";
  if (size == 0) return std::string();
  if (value.size() > size - 1) value.resize(size - 1);
  return value;
}

}  // namespace

std::string ReadIniValue(const std::string& ini, const char* section, const char* key,
                         const char* fallback, size_t size) {
  std::string host = HostForm(ini);
  // O_NONBLOCK: a FIFO named as the INI must not hold the caller until some
  // writer appears. A file that cannot be opened is left to the reader,
  // which reports it as missing.
  int fd = open(host.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Read(host.c_str(), section, key, fallback, size);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxConfigFileSize) {
    close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return CutFallback(fallback, size);
  }
  // The reader opens the file again: through the descriptor already checked,
  // so a file swapped in meanwhile is not the one read.
  std::string checked = "/proc/self/fd/" + std::to_string(fd);
  const char* file = access(checked.c_str(), F_OK) == 0 ? checked.c_str() : host.c_str();
  std::string value = Read(file, section, key, fallback, size);
  close(fd);
  return value;
}

std::string StartingIni(const char* registryPath, const std::string& exeFolder) {
  if (registryPath == nullptr || registryPath[0] == '\0') return exeFolder + "/Gavio.ini";
  if (GavioIsAbsolutePath(registryPath)) return HostForm(registryPath);
  return HostForm(exeFolder + "/" + registryPath);
}

bool FollowRedirects(const std::string& ini, std::string* finalIni, std::string* looped) {
  std::string current = HostForm(ini);
  std::set<std::string> visited;
  for (int depth = 0;; ++depth) {
    if (!visited.insert(current).second || depth > kMaxRedirects) {
      if (looped != nullptr) *looped = current;
      return false;
    }
    std::string redirect = Trimmed(ReadIniValue(current, "Redirect", "Path", "", 260));
    if (redirect.empty()) break;
    if (!GavioIsAbsolutePath(redirect.c_str())) {
      current = FolderOf(current) + HostForm(redirect);
      break;
    }
    current = HostForm(redirect);
  }
  *finalIni = current;
  return true;
}

}  // namespace gavio::config
