// Shell-style file operations over POSIX calls.
//
// Trees are walked with lstat, so links are handled as links and a link
// loop cannot trap a walk; a depth limit stops pathological nesting. The
// trash follows the freedesktop Trash layout (files/ and info/).
#include "platform/shell.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host_path_text.h"
#include "platform/paths.h"

namespace {

constexpr int kMaxDepth = 256;
constexpr size_t kCopyChunk = 64 * 1024;
constexpr int kMaxTrashNameTries = 100000;

// Fails with errno turned into the thread's last error.
bool FailErrno() {
  SetLastErrorFromErrno();
  return false;
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// '/' form without trailing separators (the root stays "/").
std::string HostPath(const char* path) {
  std::string host = gavio::platform::HostPathOf(path);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  return host;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool ValidArgument(const char* path) { return path != nullptr && path[0] != '\0'; }

// Names in a folder, without "." and "..".
bool ListNames(const std::string& folder, std::vector<std::string>* names) {
  return GavioListFolder(
             folder.c_str(),
             [](void* context, const GavioFolderEntry* entry) -> BOOL {
               static_cast<std::vector<std::string>*>(context)->push_back(entry->name);
               return TRUE;
             },
             names) != FALSE;
}

bool WriteAll(int fd, const char* data, size_t length) {
  return GavioFileWrite(fd, data, length) != FALSE;
}

// Written beside to and renamed over it, with the source's mode.
bool CopyRegularFile(const std::string& from, const std::string& to) {
  int in = GavioFileOpen(from.c_str(), GAVIO_FILE_READ | GAVIO_FILE_REGULAR);
  if (in < 0) return false;
  struct stat info;
  if (fstat(in, &info) != 0) {
    GavioFileClose(in);
    return FailErrno();
  }
  GavioAtomicFile out;
  if (!GavioAtomicBegin(&out, to.c_str(), 0)) {
    GavioFileClose(in);
    return false;
  }
  out.mode = static_cast<uint32_t>(info.st_mode & 07777);
  std::vector<char> chunk(kCopyChunk);
  bool ok = true;
  for (;;) {
    int64_t got = GavioFileRead(in, chunk.data(), chunk.size());
    if (got == 0) break;
    if (got < 0 || !WriteAll(out.fd, chunk.data(), static_cast<size_t>(got))) {
      ok = false;
      break;
    }
  }
  DWORD error = GetLastError();
  GavioFileClose(in);
  if (!ok) {
    GavioAtomicAbort(&out);
    return Fail(error);
  }
  return GavioAtomicCommit(&out) != FALSE;
}

bool CopyEntry(const std::string& from, const std::string& to, int depth);

bool CopyFolderEntries(const std::string& from, const std::string& to, int depth) {
  std::vector<std::string> names;
  if (!ListNames(from, &names)) return false;
  for (const std::string& name : names) {
    if (!CopyEntry(Join(from, name), Join(to, name), depth + 1)) return false;
  }
  return true;
}

bool CopyEntry(const std::string& from, const std::string& to, int depth) {
  if (depth > kMaxDepth) return Fail(ERROR_FILENAME_EXCED_RANGE);
  struct stat info;
  if (lstat(from.c_str(), &info) != 0) return FailErrno();
  if (S_ISLNK(info.st_mode)) {
    std::vector<char> target(static_cast<size_t>(PATH_MAX) + 1);
    ssize_t length = readlink(from.c_str(), target.data(), PATH_MAX);
    if (length < 0) return FailErrno();
    target[static_cast<size_t>(length)] = '\0';
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode)) unlink(to.c_str());
    return symlink(target.data(), to.c_str()) == 0 ? true : FailErrno();
  }
  if (S_ISDIR(info.st_mode)) {
    if (mkdir(to.c_str(), info.st_mode & 07777) != 0 && !(errno == EEXIST && IsFolder(to))) {
      return errno == EEXIST ? Fail(ERROR_ALREADY_EXISTS) : FailErrno();
    }
    return CopyFolderEntries(from, to, depth);
  }
  if (S_ISREG(info.st_mode)) return CopyRegularFile(from, to);
  return true;  // devices, pipes and sockets have no content to copy
}

bool DeleteTree(const std::string& path) { return GavioRemoveTree(path.c_str()) != FALSE; }

// The canonical absolute form of a path whose last part may not exist yet
// (and is not followed when it is a link).
std::string Canonical(const std::string& path) {
  std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
  if (folder.empty()) folder = "/";
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return std::string();
  return Join(resolved, BaseName(path));
}

// True when candidate is folder itself or lies below it.
bool IsSameOrInside(const std::string& candidate, const std::string& folder) {
  std::string c = Canonical(candidate), f = Canonical(folder);
  if (c.empty() || f.empty()) return false;
  return c == f || (c.size() > f.size() && c.compare(0, f.size(), f) == 0 && c[f.size()] == '/');
}

// Where a copy or move of from to "to" lands (see shell.h).
std::string Destination(const std::string& from, const std::string& to) {
  return IsFolder(to) ? Join(to, BaseName(from)) : to;
}

bool MakeFolders(const std::string& path, mode_t mode) {
  return GavioCreateFolders(path.c_str(), mode) != FALSE;
}

// Bytes outside the unreserved set are escaped as in URLs; '/' stays.
std::string EscapeForTrashInfo(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : path) {
    if (isalnum(c) || strchr("/-_.!~*'()", c) != nullptr) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 15];
    }
  }
  return escaped;
}

std::string TrashInfoText(const std::string& originalPath) {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char date[32];
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  return "[Trash Info]\nPath=" + EscapeForTrashInfo(originalPath) + "\nDeletionDate=" + date +
         "\n";
}

// Reserves a name in the trash by creating its info file exclusively.
bool ReserveTrashName(const std::string& trash, const std::string& base, std::string* name,
                      int* infoFd) {
  for (int attempt = 1; attempt <= kMaxTrashNameTries; ++attempt) {
    std::string candidate = attempt == 1 ? base : base + "." + std::to_string(attempt);
    std::string info = trash + "/info/" + candidate + ".trashinfo";
    int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return FailErrno();
    }
    if (Exists(trash + "/files/" + candidate)) {  // a stray entry without its record
      close(fd);
      unlink(info.c_str());
      continue;
    }
    *name = candidate;
    *infoFd = fd;
    return true;
  }
  return Fail(ERROR_FILE_EXISTS);
}

}  // namespace

BOOL GavioCopyFile(const char* from, const char* to) {
  if (!ValidArgument(from) || !ValidArgument(to)) return Fail(ERROR_INVALID_PARAMETER);
  return CopyRegularFile(HostPath(from), HostPath(to)) ? TRUE : FALSE;
}

BOOL GavioShellCopy(const char* from, const char* to) {
  if (!ValidArgument(from) || !ValidArgument(to)) return Fail(ERROR_INVALID_PARAMETER);
  std::string source = HostPath(from);
  if (!Exists(source)) return Fail(ERROR_FILE_NOT_FOUND);
  std::string target = Destination(source, HostPath(to));
  if (IsFolder(source) && IsSameOrInside(target, source)) return Fail(ERROR_INVALID_PARAMETER);
  return CopyEntry(source, target, 0) ? TRUE : FALSE;
}

BOOL GavioShellCopyContents(const char* from, const char* to) {
  if (!ValidArgument(from) || !ValidArgument(to)) return Fail(ERROR_INVALID_PARAMETER);
  std::string source = HostPath(from), target = HostPath(to);
  if (!IsFolder(source)) return Fail(ERROR_PATH_NOT_FOUND);
  if (!MakeFolders(target, 0777)) return FALSE;
  if (IsSameOrInside(target, source)) return Fail(ERROR_INVALID_PARAMETER);
  return CopyFolderEntries(source, target, 0) ? TRUE : FALSE;
}

BOOL GavioShellMove(const char* from, const char* to) {
  if (!ValidArgument(from) || !ValidArgument(to)) return Fail(ERROR_INVALID_PARAMETER);
  std::string source = HostPath(from);
  if (!Exists(source)) return Fail(ERROR_FILE_NOT_FOUND);
  std::string target = Destination(source, HostPath(to));
  if (rename(source.c_str(), target.c_str()) == 0) return TRUE;
  // Across file systems, or a folder onto a folder that is not empty:
  // copy (merging) and then remove the source.
  if (errno != EXDEV && errno != ENOTEMPTY && errno != EEXIST) return FailErrno();
  if (IsFolder(source) && IsSameOrInside(target, source)) return Fail(ERROR_INVALID_PARAMETER);
  if (!CopyEntry(source, target, 0)) return FALSE;
  return DeleteTree(source) ? TRUE : FALSE;
}

BOOL GavioShellDelete(const char* path) {
  if (!ValidArgument(path)) return Fail(ERROR_INVALID_PARAMETER);
  return DeleteTree(HostPath(path)) ? TRUE : FALSE;
}

BOOL GavioMoveToTrash(const char* path) {
  if (!ValidArgument(path)) return Fail(ERROR_INVALID_PARAMETER);
  std::string source = HostPath(path);
  if (!Exists(source)) return Fail(ERROR_FILE_NOT_FOUND);
  std::string original = Canonical(source);
  std::string base = BaseName(original);
  if (original.empty() || base.empty() || base == "." || base == "..") {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  char data[PATH_MAX];
  if (!GavioGetAppDataFolder(data, sizeof data)) return FALSE;
  std::string trash = std::string(data) + "/Trash";
  if (!MakeFolders(trash + "/files", 0700) || !MakeFolders(trash + "/info", 0700)) return FALSE;
  if (IsSameOrInside(original, trash) || IsSameOrInside(trash, original)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::string name;
  int infoFd = -1;
  if (!ReserveTrashName(trash, base, &name, &infoFd)) return FALSE;
  std::string infoPath = trash + "/info/" + name + ".trashinfo";
  std::string text = TrashInfoText(original);
  bool written = WriteAll(infoFd, text.data(), text.size());
  written = close(infoFd) == 0 && written;
  if (!written) {
    unlink(infoPath.c_str());
    return FailErrno();
  }
  std::string stored = trash + "/files/" + name;
  if (rename(source.c_str(), stored.c_str()) == 0) return TRUE;
  if (errno != EXDEV) {
    SetLastErrorFromErrno();
  } else if (CopyEntry(source, stored, 0)) {
    // The trash holds a whole copy now; the record stays with it even if
    // part of the source cannot be removed.
    return DeleteTree(source) ? TRUE : FALSE;
  } else {
    DWORD error = GetLastError();
    if (Exists(stored)) DeleteTree(stored);
    SetLastError(error);
  }
  DWORD error = GetLastError();
  unlink(infoPath.c_str());
  SetLastError(error);
  return FALSE;
}
