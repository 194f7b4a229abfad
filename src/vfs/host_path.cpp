#include "vfs/host_path.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace gavio {
namespace {

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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
  if (path.empty()) return false;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return GetHostPathType(path) == HostPathType::kDirectory;
}

bool ListHostDirectory(const std::string& path, std::vector<HostDirEntry>* entries) {
  entries->clear();
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  std::string prefix = path;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  while (struct dirent* item = readdir(dir)) {
    std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (stat((prefix + name).c_str(), &st) != 0) continue;  // dangling link
    HostDirEntry entry;
    entry.name = name;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.isFile = S_ISREG(st.st_mode);
    entry.device = static_cast<uint64_t>(st.st_dev);
    entry.inode = static_cast<uint64_t>(st.st_ino);
    entries->push_back(std::move(entry));
  }
  closedir(dir);
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

bool RemoveHostTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> names;
  while (struct dirent* item = readdir(dir)) {
    std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  bool ok = true;
  for (const std::string& name : names) ok = RemoveHostTree(path + "/" + name) && ok;
  return rmdir(path.c_str()) == 0 && ok;
}

int32_t GetHostAttributes(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return -1;
  int32_t attributes = S_ISDIR(st.st_mode) ? 0x10 : 0x20;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= 0x01;
  return attributes;
}

void MakeHostFileWritable(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
    chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
  }
}

std::string HostParentFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace gavio
