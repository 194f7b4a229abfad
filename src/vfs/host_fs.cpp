#include "vfs/host_fs.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/errors.h"
#include "platform/files.h"

namespace gavio {
namespace {

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

BOOL CollectEntry(void* context, const GavioFolderEntry* item) {
  HostDirEntry entry;
  entry.name = item->name;
  entry.isDirectory = item->type == GAVIO_ENTRY_FOLDER;
  entry.isFile = item->type == GAVIO_ENTRY_FILE;
  entry.isUnreadable = item->type == GAVIO_ENTRY_UNREADABLE;
  entry.isLink = item->isLink != FALSE;
  entry.device = item->device;
  entry.inode = item->inode;
  static_cast<std::vector<HostDirEntry>*>(context)->push_back(std::move(entry));
  return TRUE;
}

}  // namespace

std::string MakeAbsoluteHostPath(const char* path) {
  if (path == nullptr) return std::string();
  std::string text(path);
  size_t begin = 0;
  while (begin < text.size() && IsTrimmed(text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && IsTrimmed(text[end - 1])) --end;
  text = text.substr(begin, end - begin);
  std::replace(text.begin(), text.end(), '\\', '/');
  if (text.empty() || text[0] == '/') return text;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return text;
  std::string absolute(cwd);
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute + text;
}

HostPathType GetHostPathType(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return HostPathType::kMissing;
  if (S_ISDIR(st.st_mode)) return HostPathType::kDirectory;
  if (S_ISREG(st.st_mode)) return HostPathType::kFile;
  return HostPathType::kOther;
}

bool CreateHostDirectories(const std::string& path) {
  return !path.empty() && GavioCreateFolders(path.c_str(), 0) != FALSE;
}

bool ListHostDirectory(const std::string& path, std::vector<HostDirEntry>* entries) {
  entries->clear();
  if (!GavioListFolder(path.c_str(), CollectEntry, entries)) return false;
  std::sort(entries->begin(), entries->end(),
            [](const HostDirEntry& a, const HostDirEntry& b) { return a.name < b.name; });
  return true;
}

bool GetHostDirectoryId(const std::string& path, uint64_t* device, uint64_t* inode) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  *device = static_cast<uint64_t>(st.st_dev);
  *inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

std::string CanonicalHostPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  free(resolved);
  return result;
}

bool RemoveHostTree(const std::string& path) { return GavioRemoveTree(path.c_str()) != FALSE; }

int32_t GetHostAttributes(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return -1;
  int32_t attributes = S_ISDIR(st.st_mode) ? 0x10 : 0x20;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= 0x01;
  return attributes;
}

std::string HostParentFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteHostFileReplacing(const std::string& path, const uint8_t* data, size_t n) {
  std::string parent = HostParentFolder(path);
  if (!parent.empty() && !CreateHostDirectories(parent)) return false;
  GavioAtomicFile file;
  if (!GavioAtomicBegin(&file, path.c_str(), 0)) return false;
  file.mode |= S_IWUSR;
  if (n > 0 && !GavioFileWrite(file.fd, data, n)) {
    DWORD error = GetLastError();
    GavioAtomicAbort(&file);
    SetLastError(error);
    return false;
  }
  return GavioAtomicCommit(&file) != FALSE;
}

}  // namespace gavio
