#include "frame/log_sink.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "frame/factory_lookup.h"
#include "frame/gavio_ptr.h"
#include "frame/instances.h"
#include "gavio/ids.h"
#include "platform/errors.h"
#include "platform/modules.h"

namespace gavio {
namespace {

// Fetched on the first sink construction; the counter is guarded by the
// shared file lock of whoever writes.
DWORD g_process_id = 0;
uint32_t g_line_counter = 0;

constexpr size_t kFormatSize = 256;
constexpr size_t kLineSize = 1024;

// A caller's format cut at the buffer's end may end inside a conversion
// ("%l", "%-"): formatting that would read an argument that is not there.
// Drop such a tail; whole conversions before it stay.
void DropPartialConversion(char* format) {
  size_t length = strlen(format);
  size_t i = length;
  while (i > 0 && strchr("0123456789.-+ #'lhzjtL", format[i - 1]) != nullptr) --i;
  if (i == 0 || format[i - 1] != '%') return;
  size_t percents = 0;
  for (size_t j = i; j > 0 && format[j - 1] == '%'; --j) ++percents;
  if (percents % 2 == 1) format[i - 1] = '\0';
}

}  // namespace

void DebugPrint(const char* format, ...) {
  char text[kLineSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  OutputDebugStringA(text);
}

LogSink::LogSink(const char* registryPath, uint32_t moduleId) : moduleId_(moduleId) {
  if (g_process_id == 0) g_process_id = GetCurrentProcessId();
  // Only a factory library the host already loaded is asked; a sink never
  // loads one.
  HMODULE factory_module = GetModuleHandleA("GavFact.dll");
  if (factory_module == nullptr) return;
  using CreateFn = IComponent* (*)(uint32_t, uint32_t);
  auto create = reinterpret_cast<CreateFn>(GetProcAddress(factory_module, "CreateComponent"));
  if (create == nullptr) {
    OutputDebugStringA("Can't find CreateComponent() in GavFact.dll or GavFact.dll is missed\n");
    return;
  }
  auto* factory = static_cast<IComponentFactory*>(create(kComponentFactoryId, 0));
  if (factory == nullptr) {
    OutputDebugStringA("Invoke CreateComponent() in GavFact.dll return null.\n");
    return;
  }
  char default_path[kPathSize];
  if (registryPath == nullptr || registryPath[0] == '\0') {
    HostGetRegistryPath(default_path);
    registryPath = default_path;
  }
  LogSettings* settings = nullptr;
  factory->GetLogSettings(registryPath, moduleId, &debugMask_, &fileMask_, &settings);
  if (settings != nullptr) {
    fileLock_ = settings->lock;
    fileHandle_ = settings->fd;
  }
}

#define GAVIO_LOG_CATEGORY(method, bit, name)   \
  void LogSink::method(const char* format, ...) { \
    if (((debugMask_ | fileMask_) & (bit)) == 0) return; \
    va_list args;                                 \
    va_start(args, format);                       \
    Write(bit, name, format, args);               \
    va_end(args);                                 \
  }

GAVIO_LOG_CATEGORY(Error, kLogError, "Error")
GAVIO_LOG_CATEGORY(Trace, kLogTrace, "Trace")
GAVIO_LOG_CATEGORY(Core, kLogCore, "Core")

void LogSink::Write(uint32_t bit, const char* category, const char* format, va_list args) {
  char line_format[kFormatSize];
  snprintf(line_format, sizeof line_format, "[T%d][M%d][%s]%s\n",
           static_cast<int>(GetCurrentThreadId()), static_cast<int>(moduleId_), category, format);
  DropPartialConversion(line_format);
  char line[kLineSize];
  vsnprintf(line, sizeof line, line_format, args);
  if ((debugMask_ & bit) != 0) OutputDebugStringA(line);
  if ((fileMask_ & bit) == 0 || fileHandle_ < 0) return;

  if (fileLock_ != nullptr) pthread_mutex_lock(fileLock_);
  int fd = static_cast<int>(fileHandle_);
  if (lseek(fd, 0, SEEK_END) < 0 && errno != 0) {
    DWORD error = SetLastErrorFromErrno();
    DebugPrint("Set log file pointer at end fail , error id = %d !\n", static_cast<int>(error));
  } else {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char file_line[kLineSize];
    int length = snprintf(file_line, sizeof file_line, "%d\t%02d:%02d:%02d\t[P%d]%s",
                          static_cast<int>(g_line_counter), now.wHour, now.wMinute, now.wSecond,
                          static_cast<int>(g_process_id), line);
    ++g_line_counter;
    if (length > static_cast<int>(sizeof file_line) - 1) length = sizeof file_line - 1;
    ssize_t ignored = write(fd, file_line, static_cast<size_t>(length));
    (void)ignored;
  }
  if (fileLock_ != nullptr) pthread_mutex_unlock(fileLock_);
}

const char* RootPath() {
  static std::mutex mutex;
  static char cache[kPathSize] = {0};
  std::lock_guard<std::mutex> lock(mutex);
  if (cache[0] != '\0') return cache;
  char registry_path[kPathSize];
  HostGetRegistryPath(registry_path);
  TGavioPtr registry(registry_path, kRegistryId);
  auto* store = registry.As<IRegistry>();
  uint32_t key = 0;
  uint32_t type = 1;
  uint32_t size = kPathSize;
  bool found = store != nullptr &&
               store->OpenKey(0x3FFFFFF4, "gavio_rootpath", 1, 0x3FFFFFF4, &key) != 0 &&
               store->QueryValue(key, "gavio_rootpath_data", &type, cache, &size) != 0;
  if (!found) {
    const char* folder = HostExecutableFolder();
    strncpy(cache, folder, kPathSize - 1);
    cache[kPathSize - 1] = '\0';
  }
  return cache;
}

}  // namespace gavio
