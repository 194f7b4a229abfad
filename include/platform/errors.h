// Thread last error, time, process and thread ids, debugger output.
//
// Every facility converts errno (and dlerror, socket errors) into the
// thread's last error in exactly one place: SetLastErrorFromErrno().
#pragma once

#include "platform/types.h"

GAVIO_PLATFORM_API DWORD GetLastError(void);
GAVIO_PLATFORM_API void SetLastError(DWORD error);

// Maps an errno value to the closest ERROR_* code.
GAVIO_PLATFORM_API DWORD Win32ErrorFromErrno(int err);
// SetLastError(Win32ErrorFromErrno(errno)); returns the code it set.
GAVIO_PLATFORM_API DWORD SetLastErrorFromErrno(void);

// Monotonic milliseconds since an arbitrary start; wraps at 2^32.
GAVIO_PLATFORM_API DWORD GetTickCount(void);
GAVIO_PLATFORM_API void GetLocalTime(SYSTEMTIME* out);
GAVIO_PLATFORM_API void Sleep(DWORD milliseconds);

GAVIO_PLATFORM_API DWORD GetCurrentProcessId(void);
// The kernel thread id (gettid): unique while the thread lives, and the
// number log lines print.
GAVIO_PLATFORM_API DWORD GetCurrentThreadId(void);

// Debugger output. Follows GAVIO_DEBUG_OUTPUT, read on every call so tests
// can redirect it: unset = discarded, "stderr" = standard error, anything
// else = a file each message is appended to. Messages are written as given
// (no line end is added) with one write() each.
GAVIO_PLATFORM_API void OutputDebugStringA(const char* text);

// Breaks into the debugger when one is attached; otherwise writes the
// reason to the debugger output and carries on. Used for programming errors
// that the original system would have stopped on.
GAVIO_PLATFORM_API void GavioDebugBreak(const char* reason);
