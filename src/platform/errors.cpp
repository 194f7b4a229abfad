// Thread last error, time, ids and debugger output. errno becomes an
// ERROR_* code here and nowhere else.
#include "platform/errors.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

#include "platform/handles.h"

namespace {
GAVIO_FAST_TLS thread_local DWORD t_last_error = 0;
GAVIO_FAST_TLS thread_local DWORD t_thread_id = 0;
}  // namespace

DWORD GetLastError(void) { return t_last_error; }
void SetLastError(DWORD error) { t_last_error = error; }

DWORD Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_DIRECTORY;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EBUSY: return ERROR_BUSY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EIO: return ERROR_READ_FAULT;
    default: return ERROR_INVALID_FUNCTION;
  }
}

DWORD SetLastErrorFromErrno(void) {
  DWORD code = Win32ErrorFromErrno(errno);
  t_last_error = code;
  return code;
}

namespace gavio::platform {

uint64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void SetInvalidHandleError() { t_last_error = ERROR_INVALID_HANDLE; }

namespace {
std::mutex g_handles_mutex;
std::unordered_set<const void*>& LiveHandles() {
  static auto* live = new std::unordered_set<const void*>;  // outlives every object
  return *live;
}
}  // namespace

KernelObject::KernelObject() {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  LiveHandles().insert(this);
}

KernelObject* AcquireObject(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  if (handle == nullptr || LiveHandles().count(handle) == 0) {
    t_last_error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  // Listed means the handle's own reference is still held: never zero here.
  auto* object = static_cast<KernelObject*>(handle);
  object->references_.fetch_add(1, std::memory_order_relaxed);
  return object;
}

void ReleaseObject(KernelObject* object) {
  if (object->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
}

bool CloseObject(HANDLE handle) {
  {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    if (handle == nullptr || LiveHandles().erase(handle) == 0) {
      t_last_error = ERROR_INVALID_HANDLE;
      return false;
    }
  }
  ReleaseObject(static_cast<KernelObject*>(handle));
  return true;
}

}  // namespace gavio::platform

DWORD GetTickCount(void) { return static_cast<DWORD>(gavio::platform::MonotonicMs()); }

void GetLocalTime(SYSTEMTIME* out) {
  if (out == nullptr) return;
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  out->wYear = static_cast<WORD>(local.tm_year + 1900);
  out->wMonth = static_cast<WORD>(local.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  out->wDay = static_cast<WORD>(local.tm_mday);
  out->wHour = static_cast<WORD>(local.tm_hour);
  out->wMinute = static_cast<WORD>(local.tm_min);
  out->wSecond = static_cast<WORD>(local.tm_sec);
  out->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

void Sleep(DWORD milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

DWORD GetCurrentThreadId(void) {
  if (t_thread_id == 0) t_thread_id = static_cast<DWORD>(syscall(SYS_gettid));
  return t_thread_id;
}

void OutputDebugStringA(const char* text) {
  if (text == nullptr) return;
  const char* target = getenv("GAVIO_DEBUG_OUTPUT");
  if (target == nullptr || *target == '\0') return;
  size_t length = strlen(text);
  int saved_errno = errno;
  if (strcmp(target, "stderr") == 0) {
    ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
  } else {
    int fd = open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ssize_t ignored = write(fd, text, length);
      (void)ignored;
      close(fd);
    }
  }
  errno = saved_errno;
}

namespace {
bool DebuggerAttached() {
  FILE* status = fopen("/proc/self/status", "re");
  if (status == nullptr) return false;
  char line[256];
  bool attached = false;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "TracerPid:", 10) == 0) {
      attached = atoi(line + 10) != 0;
      break;
    }
  }
  fclose(status);
  return attached;
}
}  // namespace

void GavioDebugBreak(const char* reason) {
  char line[512];
  snprintf(line, sizeof line, "Gavio[Break]: %s\n", reason != nullptr ? reason : "");
  OutputDebugStringA(line);
  if (DebuggerAttached()) raise(SIGTRAP);
}
