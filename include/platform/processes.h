// Child processes: start, wait (WaitForSingleObject on the handle), exit
// code, terminate. The handle is closed with CloseHandle; closing it does not
// end the process.
#pragma once

#include "platform/types.h"

// Starts program with the arguments argv (argv[0] first, null-terminated);
// a program name without '/' is looked up on PATH. The child inherits the
// environment and the standard streams. Returns the process handle (and its
// id in *processId when non-null), or null with the last error set.
GAVIO_PLATFORM_API HANDLE GavioCreateProcess(const char* program, const char* const* argv,
                                            DWORD* processId);
GAVIO_PLATFORM_API DWORD GetProcessId(HANDLE process);
// STILL_ACTIVE while the process runs; then its exit status, 128 + the
// signal number when a signal ended it, or the code given to TerminateProcess.
GAVIO_PLATFORM_API BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);
// Kills the process (SIGKILL). TRUE when it was running or had ended.
GAVIO_PLATFORM_API BOOL TerminateProcess(HANDLE process, UINT exitCode);
