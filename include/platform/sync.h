// Critical sections, events, threads and waits.
//
// Handles returned here (events, threads, and processes from processes.h)
// are objects of this library; close each with CloseHandle exactly once.
#pragma once

#include "platform/types.h"

// Recursive for its owning thread, like the Win32 critical section. The
// storage is opaque; size it generously so callers can embed it.
typedef struct _CRITICAL_SECTION {
  alignas(16) unsigned char opaque[64];
} CRITICAL_SECTION;

GAVIO_PLATFORM_API void InitializeCriticalSection(CRITICAL_SECTION* cs);
GAVIO_PLATFORM_API void DeleteCriticalSection(CRITICAL_SECTION* cs);
GAVIO_PLATFORM_API void EnterCriticalSection(CRITICAL_SECTION* cs);
GAVIO_PLATFORM_API void LeaveCriticalSection(CRITICAL_SECTION* cs);
GAVIO_PLATFORM_API BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);

// Events. The security attributes and name are accepted and ignored.
GAVIO_PLATFORM_API HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState,
                                       const char* name);
GAVIO_PLATFORM_API BOOL SetEvent(HANDLE event);
GAVIO_PLATFORM_API BOOL ResetEvent(HANDLE event);

// Waits on an event, a thread (signalled when it ended) or a process.
// Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (last error set).
GAVIO_PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
GAVIO_PLATFORM_API BOOL CloseHandle(HANDLE handle);

typedef DWORD (*LPTHREAD_START_ROUTINE)(void* parameter);

// Creates a thread; with CREATE_SUSPENDED it does not enter its start routine
// until ResumeThread. The thread id written to *threadId is the kernel id
// the thread will report from GetCurrentThreadId.
GAVIO_PLATFORM_API HANDLE CreateThread(void* security, size_t stackSize,
                                       LPTHREAD_START_ROUTINE start, void* parameter,
                                       DWORD flags, DWORD* threadId);
GAVIO_PLATFORM_API DWORD GetThreadId(HANDLE thread);
GAVIO_PLATFORM_API BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
#define STILL_ACTIVE 259u

// POSIX cannot stop another thread at an arbitrary point, so suspension is
// cooperative: SuspendThread raises the suspend count and a thread of this
// library holds at its next SuspensionPoint() (and before its start routine)
// while the count is above 0. Both return the previous count, or
// 0xFFFFFFFF on failure.
GAVIO_PLATFORM_API DWORD SuspendThread(HANDLE thread);
GAVIO_PLATFORM_API DWORD ResumeThread(HANDLE thread);
// Called by long-running thread bodies between units of work.
GAVIO_PLATFORM_API void SuspensionPoint(void);

GAVIO_PLATFORM_API int32_t GetThreadPriority(HANDLE thread);
GAVIO_PLATFORM_API BOOL SetThreadPriority(HANDLE thread, int32_t priority);

// There is no safe way to kill a thread on POSIX. TerminateThread abandons
// it: the handle becomes signalled with the given exit code and the thread
// is detached; the thread itself runs on until its body returns, so a caller
// must make sure the abandoned body can no longer reach freed memory (see
// IsThreadAbandoned).
GAVIO_PLATFORM_API BOOL TerminateThread(HANDLE thread, DWORD exitCode);
// True on a thread whose handle was terminated; its body should return as
// soon as it sees this without touching its owner.
GAVIO_PLATFORM_API BOOL IsThreadAbandoned(void);
