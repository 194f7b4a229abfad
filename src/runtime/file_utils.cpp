// File-system utilities component (178): folders, copies, moves, deletes,
// listings and comparisons.
//
// Every path is resolved against the client root folder before use, for
// the existence checks and for the operation alike, so a relative path
// always names the same file whatever the working folder is.
#include <fnmatch.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "frame/client_path.h"
#include "frame/component_base.h"
#include "runtime/md5.h"

namespace gavio {
namespace {

constexpr int32_t kMaxUniqueSuffix = 20000;
constexpr size_t kCompareChunk = 64 * 1024;
constexpr size_t kMaxEntryName = 259;

// A resolved path; ok() is false when the argument was bad or too long.
class ClientPath {
 public:
  explicit ClientPath(const char* path) : ok_(ResolveClientPath(path, path_)) {}
  bool ok() const { return ok_; }
  const char* c_str() const { return path_; }

 private:
  char path_[kClientPathSize];
  bool ok_;
};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsBlankOnly(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text != ' ' && *text != '\t') return false;
  }
  return true;
}

bool PathExists(const char* hostPath) {
  struct stat info;
  return lstat(hostPath, &info) == 0;
}

bool StatFile(const char* hostPath, struct stat* info) {
  return stat(hostPath, info) == 0 && S_ISREG(info->st_mode);
}

bool IsFolder(const char* hostPath) {
  struct stat info;
  return stat(hostPath, &info) == 0 && S_ISDIR(info.st_mode);
}

bool CopyOut(const std::string& text, char* out, int32_t outSize) {
  if (out == nullptr || outSize < 1 || text.size() >= static_cast<size_t>(outSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

// mkdir -p over a resolved path.
bool MakeFolders(const char* hostPath) { return GavioCreateFolders(hostPath, 0) != FALSE; }

const char* FileNameOf(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (IsSeparator(*p)) name = p + 1;
  }
  return name;
}

// Case-insensitive, with '/' and '\' alike: the length of path's part
// that matches prefix, or -1.
int MatchPrefix(const char* path, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    char a = path[i], b = prefix[i];
    if (a == '\0') return -1;
    if (IsSeparator(a) && IsSeparator(b)) continue;
    if (tolower(static_cast<unsigned char>(a)) != tolower(static_cast<unsigned char>(b))) {
      return -1;
    }
  }
  return static_cast<int>(i);
}

bool MatchesMask(const char* name, const std::string& mask) {
  if (mask == "*.*" || mask == "*") return true;
  return fnmatch(mask.c_str(), name, FNM_CASEFOLD) == 0;
}

// Links are described by what they point at; a dangling link is a file.
void FillEntry(const std::string& folder, const char* name, FolderEntry* entry) {
  memset(entry, 0, sizeof *entry);
  memcpy(entry->name, name, strlen(name) + 1);
  std::string full = folder + "/" + name;
  struct stat info;
  bool known = stat(full.c_str(), &info) == 0 || lstat(full.c_str(), &info) == 0;
  if (known && S_ISDIR(info.st_mode)) {
    entry->isFolder = 1;
  } else {
    entry->isFile = 1;
    entry->size = known ? static_cast<uint32_t>(info.st_size) : 0;
  }
}

// Reads until n bytes or the end; false on an error.
bool ReadFully(int fd, char* out, size_t n, size_t* got) {
  *got = 0;
  while (*got < n) {
    int64_t part = GavioFileRead(fd, out + *got, n - *got);
    if (part < 0) return false;
    if (part == 0) break;
    *got += static_cast<size_t>(part);
  }
  return true;
}

bool SameContent(int a, int b) {
  std::vector<char> left(kCompareChunk), right(kCompareChunk);
  for (;;) {
    size_t leftGot = 0, rightGot = 0;
    if (!ReadFully(a, left.data(), left.size(), &leftGot) ||
        !ReadFully(b, right.data(), right.size(), &rightGot)) {
      return false;
    }
    if (leftGot != rightGot || memcmp(left.data(), right.data(), leftGot) != 0) return false;
    if (leftGot < left.size()) return true;
  }
}

class CFileUtils final : public Component<kFileUtilsId, IFileUtils> {
 public:
  int32_t CreateFolder(const char* path) override {
    if (path == nullptr || IsBlankOnly(path)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    ClientPath folder(path);
    return folder.ok() && MakeFolders(folder.c_str()) ? 1 : 0;
  }

  int32_t UniqueName(const char* folder, const char* base, char* out, int32_t outSize) override {
    if (folder == nullptr || base == nullptr || out == nullptr || outSize < 1) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::string prefix(folder);
    if (!prefix.empty() && !IsSeparator(prefix.back())) {
      prefix += strchr(folder, '\\') != nullptr && strchr(folder, '/') == nullptr ? '\\' : '/';
    }
    prefix += base;
    for (int32_t n = 1; n < kMaxUniqueSuffix; ++n) {
      std::string candidate = prefix + std::to_string(n);
      ClientPath resolved(candidate.c_str());
      if (!resolved.ok()) return 0;
      if (!PathExists(resolved.c_str())) return CopyOut(candidate, out, outSize) ? 1 : 0;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
  }

  int32_t Move(const char* from, const char* to) override {
    ClientPath source(from), target(to);
    if (!source.ok() || !target.ok()) return 0;
    return GavioRenameFile(source.c_str(), target.c_str()) ? 1 : 0;
  }

  int32_t ReplacePrefix(const char* path, const char* prefix, const char* newPrefix, char* out,
                        int32_t outSize, char* rest, int32_t restSize) override {
    if (path == nullptr || prefix == nullptr || newPrefix == nullptr || out == nullptr ||
        rest == nullptr || outSize < 1 || restSize < 1) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    out[0] = '\0';
    rest[0] = '\0';
    int matched = MatchPrefix(path, prefix);
    if (matched < 0) return CopyOut(path, out, outSize) ? 1 : 0;
    const char* tail = path + matched;
    const char* restText = IsSeparator(*tail) ? tail + 1 : tail;
    if (!CopyOut(std::string(newPrefix) + tail, out, outSize) ||
        !CopyOut(restText, rest, restSize)) {
      out[0] = '\0';
      return 0;
    }
    return 1;
  }

  int32_t CopyFile(const char* from, const char* to) override {
    ClientPath source(from), target(to);
    if (!source.ok() || !target.ok()) return 0;
    std::string folder(target.c_str());
    size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash).c_str())) {
      return 0;
    }
    return GavioCopyFile(source.c_str(), target.c_str()) ? 1 : 0;
  }

  int32_t CopyFileIntoFolder(const char* from, const char* folder) override {
    if (from == nullptr || folder == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::string target(folder);
    if (!target.empty() && !IsSeparator(target.back())) target += '/';
    target += FileNameOf(from);
    return CopyFile(from, target.c_str());
  }

  int32_t DeleteToRecycleBin(const char* path) override {
    ClientPath target(path);
    if (!target.ok()) return 0;
    if (!PathExists(target.c_str())) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    return GavioMoveToTrash(target.c_str()) ? 1 : 0;
  }

  int32_t DeleteForGood(const char* path) override {
    ClientPath target(path);
    if (!target.ok()) return 0;
    if (!PathExists(target.c_str())) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    return GavioShellDelete(target.c_str()) ? 1 : 0;
  }

  int32_t ShellMove(const char* from, const char* to) override {
    ClientPath source(from), target(to);
    if (!BothExist(source, target)) return 0;
    return GavioShellMove(source.c_str(), target.c_str()) ? 1 : 0;
  }

  int32_t ShellCopy(const char* from, const char* to) override {
    ClientPath source(from), target(to);
    if (!BothExist(source, target)) return 0;
    return GavioShellCopy(source.c_str(), target.c_str()) ? 1 : 0;
  }

  int32_t ListFolder(const char* pattern, FolderEntry* entries, int32_t max) override {
    ClientPath resolved(pattern);
    if (!resolved.ok()) return 0;
    std::string full(resolved.c_str());
    size_t slash = full.rfind('/');
    std::string folder = slash == std::string::npos ? "." : full.substr(0, slash);
    if (folder.empty()) folder = "/";
    std::string mask = slash == std::string::npos ? full : full.substr(slash + 1);
    std::vector<std::string> names;
    if (!MatchingNames(folder, mask, &names)) return 0;
    if (entries == nullptr || max <= 0) return static_cast<int32_t>(names.size());
    int32_t filled = 0;
    for (const std::string& name : names) {
      if (filled == max) break;
      FillEntry(folder, name.c_str(), &entries[filled++]);
    }
    return filled;
  }

  int32_t CopyFolder(const char* from, const char* to, int32_t byShell) override {
    ClientPath source(from), target(to);
    if (!source.ok() || !target.ok()) return 0;
    if (!IsFolder(source.c_str())) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return 0;
    }
    if (byShell != 0) return GavioShellCopyContents(source.c_str(), target.c_str()) ? 1 : 0;
    std::vector<std::string> names;
    if (!MatchingNames(source.c_str(), "*", &names)) return 0;
    int32_t allCopied = 1;
    for (const std::string& name : names) {
      std::string file = std::string(source.c_str()) + "/" + name;
      struct stat info;
      if (!StatFile(file.c_str(), &info)) continue;
      std::string copy = std::string(target.c_str()) + "/" + name;
      if (copy.size() >= kClientPathSize || CopyFile(file.c_str(), copy.c_str()) == 0) {
        allCopied = 0;
      }
    }
    return allCopied;
  }

  int32_t CompareFilesByContent(const char* a, const char* b) override {
    ClientPath left(a), right(b);
    if (!left.ok() || !right.ok()) return 0;
    struct stat leftInfo, rightInfo;
    if (!StatFile(left.c_str(), &leftInfo) || !StatFile(right.c_str(), &rightInfo)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    if (leftInfo.st_size != rightInfo.st_size) return 0;
    int leftFd = GavioFileOpen(left.c_str(), GAVIO_FILE_READ | GAVIO_FILE_REGULAR);
    int rightFd = GavioFileOpen(right.c_str(), GAVIO_FILE_READ | GAVIO_FILE_REGULAR);
    bool same = leftFd >= 0 && rightFd >= 0 && SameContent(leftFd, rightFd);
    if (leftFd >= 0) GavioFileClose(leftFd);
    if (rightFd >= 0) GavioFileClose(rightFd);
    return same ? 1 : 0;
  }

  int32_t CompareFilesByDigest(const char* a, const char* b) override {
    ClientPath left(a), right(b);
    if (!left.ok() || !right.ok()) return 0;
    struct stat info;
    if (!StatFile(left.c_str(), &info) || !StatFile(right.c_str(), &info)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    uint8_t leftDigest[kMd5Size], rightDigest[kMd5Size];
    if (!Md5OfFile(left.c_str(), leftDigest) || !Md5OfFile(right.c_str(), rightDigest)) return 0;
    return memcmp(leftDigest, rightDigest, kMd5Size) == 0 ? 1 : 0;
  }

  int32_t CountTree(const char* folder, int32_t countFiles, int32_t countFolders,
                    int32_t maxDepth) override {
    ClientPath root(folder);
    if (!root.ok()) return -1;
    if (!IsFolder(root.c_str())) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return -1;
    }
    // An explicit stack of (folder, depth) keeps deep trees off the call stack.
    std::vector<std::pair<std::string, int32_t>> pending{{root.c_str(), 0}};
    int64_t count = 0;
    while (!pending.empty()) {
      auto [path, depth] = std::move(pending.back());
      pending.pop_back();
      std::vector<std::string> names;
      if (!MatchingNames(path, "*.*", &names)) continue;
      for (const std::string& name : names) {
        std::string child = path + "/" + name;
        struct stat info;
        if (lstat(child.c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
          if (countFolders != 0) ++count;
          if (maxDepth < 0 || depth < maxDepth) pending.emplace_back(child, depth + 1);
        } else if (countFiles != 0) {
          ++count;
        }
      }
    }
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
  }

  void ComponentFinalize() override {}

 private:
  static bool BothExist(const ClientPath& a, const ClientPath& b) {
    if (!a.ok() || !b.ok()) return false;
    if (!PathExists(a.c_str()) || !PathExists(b.c_str())) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    return true;
  }

  // Names in folder matching mask, sorted, without ".", "..", blank-only
  // names and names too long for an entry.
  static bool MatchingNames(const std::string& folder, const std::string& mask,
                            std::vector<std::string>* names) {
    struct Listing {
      const std::string& mask;
      std::vector<std::string>* names;
    } listing{mask, names};
    BOOL listed = GavioListFolder(
        folder.c_str(),
        [](void* context, const GavioFolderEntry* entry) -> BOOL {
          auto* l = static_cast<Listing*>(context);
          const char* name = entry->name;
          if (IsBlankOnly(name) || strlen(name) > kMaxEntryName || !MatchesMask(name, l->mask)) {
            return TRUE;
          }
          l->names->push_back(name);
          return TRUE;
        },
        &listing);
    if (!listed) return false;
    std::sort(names->begin(), names->end());
    return true;
  }
};

}  // namespace

IComponent* NewFileUtils() { return new (std::nothrow) CFileUtils(); }

}  // namespace gavio
