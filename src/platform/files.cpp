// Host files over POSIX calls. Map of this file:
//   1. the fault seam: the write-step counter and its two countdowns
//   2. descriptors: open, positioned and sequential reads and writes, locks
//   3. folders: create, list, remove a tree
//   4. write beside and rename
// errno becomes the thread's last error through Fail() and nowhere else.
#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/host_path_text.h"

namespace {

// ---- 1. The fault seam ---------------------------------------------------

std::atomic<uint64_t> g_write_steps{0};
// The step numbers (of g_write_steps) at which to fail or kill; 0 = off.
std::atomic<uint64_t> g_fail_step{0};
std::atomic<uint64_t> g_kill_step{0};
std::once_flag g_environment_read;

uint64_t CountdownFromEnvironment(const char* name) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  return end != nullptr && *end == '\0' ? value : 0;
}

void ReadFaultEnvironment() {
  std::call_once(g_environment_read, [] {
    uint64_t fail = CountdownFromEnvironment("GAVIO_FAULT_ENOSPC_AT");
    uint64_t kill = CountdownFromEnvironment("GAVIO_FAULT_KILL_AT");
    uint64_t now = g_write_steps.load();
    if (fail != 0) g_fail_step.store(now + fail);
    if (kill != 0) g_kill_step.store(now + kill);
  });
}

// Counts one write step. False (errno = ENOSPC) when the seam fails it;
// never returns when the seam kills the process.
bool BeginWriteStep() {
  ReadFaultEnvironment();
  uint64_t step = g_write_steps.fetch_add(1) + 1;
  if (step == g_kill_step.load()) raise(SIGKILL);
  uint64_t fail = step;
  if (g_fail_step.compare_exchange_strong(fail, 0)) {
    errno = ENOSPC;
    return false;
  }
  return true;
}

BOOL Fail() {
  SetLastErrorFromErrno();
  return FALSE;
}

BOOL FailWith(int err) {
  errno = err;
  return Fail();
}

std::string HostPath(const char* path) {
  std::string host = gavio::platform::HostPathOf(path);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  return host;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool OffsetFits(uint64_t offset, size_t n) {
  constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);
  return offset <= kMaxOffset && n <= kMaxOffset - offset;
}

}  // namespace

void GavioSetFileFaults(int64_t failWriteAt, int64_t killWriteAt) {
  ReadFaultEnvironment();
  uint64_t now = g_write_steps.load();
  g_fail_step.store(failWriteAt > 0 ? now + static_cast<uint64_t>(failWriteAt) : 0);
  g_kill_step.store(killWriteAt > 0 ? now + static_cast<uint64_t>(killWriteAt) : 0);
}

uint64_t GavioFileWriteSteps(void) { return g_write_steps.load(); }

// ---- 2. Descriptors --------------------------------------------------------

int GavioFileOpen(const char* path, DWORD flags) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::string host = gavio::platform::HostPathOf(path);
  int oflags = O_CLOEXEC | ((flags & GAVIO_FILE_WRITE) != 0 ? O_RDWR : O_RDONLY);
  if ((flags & GAVIO_FILE_CREATE) != 0) oflags |= O_CREAT;
  if ((flags & GAVIO_FILE_TRUNCATE) != 0) oflags |= O_TRUNC;
  if ((flags & GAVIO_FILE_NEW) != 0) oflags |= O_CREAT | O_EXCL | O_NOFOLLOW;
  // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer; it
  // is cleared again once the file is known to be regular.
  if ((flags & GAVIO_FILE_REGULAR) != 0) oflags |= O_NONBLOCK;
  mode_t mode = (flags & GAVIO_FILE_PRIVATE) != 0 ? 0600 : 0666;
  int fd;
  do {
    fd = open(host.c_str(), oflags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return -1;
  }
  if ((flags & GAVIO_FILE_REGULAR) != 0) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      int err = S_ISDIR(info.st_mode) ? EISDIR : EACCES;
      close(fd);
      FailWith(err);
      return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  return fd;
}

BOOL GavioFileClose(int fd) {
  if (fd < 0) return FailWith(EBADF);
  // The descriptor is gone whatever close() says (Linux never retries it).
  return close(fd) == 0 || errno == EINTR ? TRUE : Fail();
}

BOOL GavioFileReadAt(int fd, uint64_t offset, void* out, size_t n) {
  if (!OffsetFits(offset, n)) return FailWith(EINVAL);
  auto* bytes = static_cast<uint8_t*>(out);
  while (n > 0) {
    ssize_t got = pread(fd, bytes, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail();
    if (got == 0) {
      SetLastError(ERROR_HANDLE_EOF);
      return FALSE;
    }
    bytes += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return TRUE;
}

int64_t GavioFileRead(int fd, void* out, size_t n) {
  for (;;) {
    ssize_t got = read(fd, out, n);
    if (got >= 0) return got;
    if (errno != EINTR) {
      Fail();
      return -1;
    }
  }
}

int64_t GavioFileReadSomeAt(int fd, uint64_t offset, void* out, size_t n) {
  if (!OffsetFits(offset, n)) {
    FailWith(EINVAL);
    return -1;
  }
  for (;;) {
    ssize_t got = pread(fd, out, n, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno != EINTR) {
      Fail();
      return -1;
    }
  }
}

BOOL GavioFileWriteAt(int fd, uint64_t offset, const void* data, size_t n) {
  if (!OffsetFits(offset, n)) return FailWith(EINVAL);
  if (!BeginWriteStep()) return Fail();
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t put = pwrite(fd, bytes, n, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return Fail();
    if (put == 0) return FailWith(ENOSPC);
    bytes += put;
    offset += static_cast<uint64_t>(put);
    n -= static_cast<size_t>(put);
  }
  return TRUE;
}

BOOL GavioFileWrite(int fd, const void* data, size_t n) {
  if (!BeginWriteStep()) return Fail();
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t put = write(fd, bytes, n);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return Fail();
    if (put == 0) return FailWith(ENOSPC);
    bytes += put;
    n -= static_cast<size_t>(put);
  }
  return TRUE;
}

BOOL GavioFileSync(int fd) {
  if (!BeginWriteStep()) return Fail();
  return fdatasync(fd) == 0 ? TRUE : Fail();
}

BOOL GavioFileTruncate(int fd, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return FailWith(EINVAL);
  if (!BeginWriteStep()) return Fail();
  return ftruncate(fd, static_cast<off_t>(size)) == 0 ? TRUE : Fail();
}

BOOL GavioFileSize(int fd, uint64_t* size) {
  struct stat info;
  if (fstat(fd, &info) != 0) return Fail();
  *size = static_cast<uint64_t>(info.st_size);
  return TRUE;
}

BOOL GavioFileLock(int fd, DWORD operation) {
  int how = (operation & GAVIO_LOCK_UNLOCK) != 0      ? LOCK_UN
            : (operation & GAVIO_LOCK_EXCLUSIVE) != 0 ? LOCK_EX
                                                      : LOCK_SH;
  if ((operation & GAVIO_LOCK_NOWAIT) != 0) how |= LOCK_NB;
  for (;;) {
    if (flock(fd, how) == 0) return TRUE;
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      SetLastError(ERROR_LOCK_VIOLATION);
      return FALSE;
    }
    return Fail();
  }
}

BOOL GavioReadSmallFile(const char* path, size_t limit, char** data, size_t* size) {
  if (data == nullptr || size == nullptr) return FailWith(EINVAL);
  *data = nullptr;
  *size = 0;
  int fd = GavioFileOpen(path, GAVIO_FILE_READ | GAVIO_FILE_REGULAR);
  if (fd < 0) return FALSE;
  uint64_t length = 0;
  if (!GavioFileSize(fd, &length)) {
    close(fd);
    return FALSE;
  }
  if (length > limit) {
    close(fd);
    SetLastError(ERROR_FILE_TOO_LARGE);
    return FALSE;
  }
  // The file may grow while it is read: read at most limit bytes and call
  // a longer file too large.
  std::vector<char> text;
  text.resize(static_cast<size_t>(length) + 1);
  size_t have = 0;
  for (;;) {
    if (have == text.size()) {
      if (text.size() > limit) {
        close(fd);
        SetLastError(ERROR_FILE_TOO_LARGE);
        return FALSE;
      }
      text.resize(std::min(limit + 1, text.size() * 2));
    }
    int64_t got = GavioFileRead(fd, text.data() + have, text.size() - have);
    if (got < 0) {
      close(fd);
      return FALSE;
    }
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  close(fd);
  if (have > limit) {
    SetLastError(ERROR_FILE_TOO_LARGE);
    return FALSE;
  }
  char* copy = static_cast<char*>(malloc(have + 1));
  if (copy == nullptr) return FailWith(ENOMEM);
  memcpy(copy, text.data(), have);
  copy[have] = '\0';
  *data = copy;
  *size = have;
  return TRUE;
}

// ---- 3. Folders ------------------------------------------------------------

BOOL GavioCreateFolders(const char* path, uint32_t mode) {
  if (path == nullptr || path[0] == '\0') return FailWith(EINVAL);
  std::string host = HostPath(path);
  struct stat info;
  if (stat(host.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? TRUE : FailWith(ENOTDIR);
  for (size_t i = 1; i <= host.size(); ++i) {
    if (i != host.size() && host[i] != '/') continue;
    std::string prefix = host.substr(0, i);
    if (mkdir(prefix.c_str(), mode == 0 ? 0777 : static_cast<mode_t>(mode)) != 0 &&
        errno != EEXIST) {
      return Fail();
    }
  }
  if (stat(host.c_str(), &info) != 0) return Fail();
  return S_ISDIR(info.st_mode) ? TRUE : FailWith(ENOTDIR);
}

BOOL GavioListFolder(const char* path, GavioFolderVisitor visit, void* context) {
  if (path == nullptr || visit == nullptr) return FailWith(EINVAL);
  std::string host = HostPath(path);
  DIR* dir = opendir(host.c_str());
  if (dir == nullptr) return Fail();
  // Entries are examined relative to the open folder: one lookup each, so a
  // listing is linear in the number of names.
  int folder_fd = dirfd(dir);
  BOOL result = TRUE;
  for (;;) {
    errno = 0;
    struct dirent* item = readdir(dir);
    if (item == nullptr) {
      if (errno != 0) result = Fail();
      break;
    }
    const char* name = item->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    GavioFolderEntry entry{};
    entry.name = name;
    struct stat info;
    struct stat link_info;
    if (fstatat(folder_fd, name, &link_info, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.isLink = S_ISLNK(link_info.st_mode) ? TRUE : FALSE;
    }
    if (fstatat(folder_fd, name, &info, 0) != 0) {
      entry.type = GAVIO_ENTRY_UNREADABLE;
      entry.error = Win32ErrorFromErrno(errno);
    } else {
      entry.type = S_ISREG(info.st_mode)   ? GAVIO_ENTRY_FILE
                   : S_ISDIR(info.st_mode) ? GAVIO_ENTRY_FOLDER
                                           : GAVIO_ENTRY_OTHER;
      entry.size = static_cast<uint64_t>(info.st_size);
      entry.device = static_cast<uint64_t>(info.st_dev);
      entry.inode = static_cast<uint64_t>(info.st_ino);
      entry.mode = static_cast<uint32_t>(info.st_mode);
    }
    if (!visit(context, &entry)) break;
  }
  closedir(dir);
  return result;
}

namespace {

constexpr int kMaxTreeDepth = 256;

BOOL RemoveTreeAt(const std::string& path, int depth) {
  if (depth > kMaxTreeDepth) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return Fail();
  if (!S_ISDIR(info.st_mode)) return unlink(path.c_str()) == 0 ? TRUE : Fail();
  std::vector<std::string> names;
  BOOL listed = GavioListFolder(
      path.c_str(),
      [](void* context, const GavioFolderEntry* entry) -> BOOL {
        static_cast<std::vector<std::string>*>(context)->push_back(entry->name);
        return TRUE;
      },
      &names);
  if (!listed) return FALSE;
  for (const std::string& name : names) {
    if (!RemoveTreeAt(path + "/" + name, depth + 1)) return FALSE;
  }
  return rmdir(path.c_str()) == 0 ? TRUE : Fail();
}

}  // namespace

BOOL GavioRemoveTree(const char* path) {
  if (path == nullptr || path[0] == '\0') return FailWith(EINVAL);
  return RemoveTreeAt(HostPath(path), 0);
}

BOOL GavioRemoveFile(const char* path) {
  if (path == nullptr || path[0] == '\0') return FailWith(EINVAL);
  if (!BeginWriteStep()) return Fail();
  return unlink(gavio::platform::HostPathOf(path).c_str()) == 0 ? TRUE : Fail();
}

BOOL GavioRenameFile(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return FailWith(EINVAL);
  if (!BeginWriteStep()) return Fail();
  std::string source = gavio::platform::HostPathOf(from);
  std::string target = gavio::platform::HostPathOf(to);
  return rename(source.c_str(), target.c_str()) == 0 ? TRUE : Fail();
}

BOOL GavioSyncFolder(const char* path) {
  if (path == nullptr) return FailWith(EINVAL);
  int fd = open(HostPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  // Some file systems cannot sync a folder (EINVAL); the rename stands.
  bool ok = fsync(fd) == 0 || errno == EINVAL;
  int err = errno;
  close(fd);
  return ok ? TRUE : FailWith(err);
}

// ---- 4. Write beside and rename --------------------------------------------

namespace {

constexpr int kMaxTemporaryTries = 100;

void CopyText(char* out, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

BOOL GavioAtomicBegin(GavioAtomicFile* file, const char* target, DWORD flags) {
  if (file == nullptr || target == nullptr || target[0] == '\0') return FailWith(EINVAL);
  file->fd = -1;
  file->flags = flags;
  std::string host = HostPath(target);
  if (host.size() + 48 >= sizeof file->target) return FailWith(ENAMETOOLONG);
  CopyText(file->target, sizeof file->target, host);
  file->temporary[0] = '\0';
  // An existing target keeps its mode; a link there is replaced, not
  // followed, so its mode says nothing about what we write. A new target
  // gets 0666 less the umask, which the kernel applies at creation.
  struct stat info;
  bool existing = lstat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  bool shared = !existing && (flags & GAVIO_ATOMIC_PRIVATE) == 0;
  file->mode = existing ? static_cast<uint32_t>(info.st_mode & 07777) : 0600;
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxTemporaryTries; ++attempt) {
    // Unpredictable enough that a name planted in advance is unlikely; a
    // planted name only costs a retry, since O_EXCL|O_NOFOLLOW never opens it.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".gavio-part-%d-%u-%lx", static_cast<int>(getpid()),
             counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
    std::string temporary = host + suffix;
    int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  shared ? 0666 : 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return Fail();
    }
    struct stat created;
    if (shared && fstat(fd, &created) == 0) file->mode = static_cast<uint32_t>(created.st_mode & 07777);
    CopyText(file->temporary, sizeof file->temporary, temporary);
    file->fd = fd;
    return TRUE;
  }
  return FailWith(EEXIST);
}

void GavioAtomicAbort(GavioAtomicFile* file) {
  if (file == nullptr) return;
  int err = errno;
  if (file->fd >= 0) close(file->fd);
  file->fd = -1;
  if (file->temporary[0] != '\0') unlink(file->temporary);
  file->temporary[0] = '\0';
  errno = err;
}

BOOL GavioAtomicCommit(GavioAtomicFile* file) {
  if (file == nullptr || file->fd < 0) return FailWith(EBADF);
  bool ok = fchmod(file->fd, static_cast<mode_t>(file->mode)) == 0;
  ok = ok && BeginWriteStep() && fsync(file->fd) == 0;
  if (ok) {
    int fd = file->fd;
    file->fd = -1;
    ok = close(fd) == 0;
  }
  if (ok && (file->flags & GAVIO_ATOMIC_NO_REPLACE) != 0) {
    // link() fails when the target exists, so a target someone else made
    // meanwhile is never replaced.
    ok = BeginWriteStep() && link(file->temporary, file->target) == 0;
    if (ok) unlink(file->temporary);
  } else if (ok) {
    ok = BeginWriteStep() && rename(file->temporary, file->target) == 0;
  }
  if (!ok) {
    int err = errno;
    GavioAtomicAbort(file);
    return FailWith(err);
  }
  file->temporary[0] = '\0';
  GavioSyncFolder(FolderOf(file->target).c_str());
  return TRUE;
}

BOOL GavioWriteFileAtomic(const char* target, const void* data, size_t n, DWORD flags) {
  GavioAtomicFile file;
  if (!GavioAtomicBegin(&file, target, flags)) return FALSE;
  if (!GavioFileWrite(file.fd, data, n)) {
    DWORD error = GetLastError();
    GavioAtomicAbort(&file);
    SetLastError(error);
    return FALSE;
  }
  return GavioAtomicCommit(&file);
}
