// The per-component log sink, debugger printing and the root path.
//
// A sink asks the loaded factory library for its masks and the shared log
// file once, at construction; without a loaded factory library it stays
// silent. Lines read "[T<thread>][M<module>][<category>]<message>\n"; file
// lines are prefixed "<counter>\t<HH:MM:SS>\t[P<pid>]".
//
// Thread safety: a sink may be used from any thread; file writes are
// serialised by the shared lock handed out with the settings.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#include "gavio/host.h"

namespace gavio {

inline constexpr uint32_t kLogError = 0x1;
inline constexpr uint32_t kLogTrace = 0x2;
inline constexpr uint32_t kLogCore = 0x20;

class LogSink {
 public:
  LogSink(const char* registryPath, uint32_t moduleId);

  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Core(const char* format, ...) __attribute__((format(printf, 2, 3)));

  uint32_t DebugMask() const { return debugMask_; }
  uint32_t FileMask() const { return fileMask_; }
  // For tests: replaces what the factory library handed out.
  void SetMasks(uint32_t debugMask, uint32_t fileMask) {
    debugMask_ = debugMask;
    fileMask_ = fileMask;
  }

 private:
  void Write(uint32_t bit, const char* category, const char* format, va_list args);

  uint32_t moduleId_;
  uint32_t debugMask_ = 0;
  uint32_t fileMask_ = 0;
  intptr_t fileHandle_ = -1;
  pthread_mutex_t* fileLock_ = nullptr;
};

// printf to the debugger output through a 1024-byte buffer.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The client's root folder: the registry's "gavio_rootpath" value, else the
// executable's folder. Computed once and cached while non-empty.
const char* RootPath();

}  // namespace gavio
