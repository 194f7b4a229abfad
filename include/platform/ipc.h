// Windows visible across processes (see ipc_windows.cpp for the channel).
//
// A top-level window of class "static" with a title is published to every
// process of the same user: FindWindowExA(null, after, "static", title)
// finds it after this process's own windows, and SendMessageA(WM_COPYDATA)
// delivers the record synchronously: the receiver's window procedure runs on
// its owner thread, inside that thread's message loop, while the sender
// waits for its result. Other messages are not carried (SendMessageA
// answers 0, ERROR_NOT_SUPPORTED).
//
// The sender waits at most the send time limit; a receiver that died answers
// at once (0, ERROR_BROKEN_PIPE or ERROR_INVALID_WINDOW_HANDLE), one that
// hangs answers 0 with ERROR_TIMEOUT when the limit passes. While it waits,
// the sending thread still serves cross-process sends to its own windows, so
// two processes sending to each other at the same time do not deadlock.
// Payloads above GAVIO_MAX_REMOTE_COPYDATA bytes are refused.
#pragma once

#include "platform/types.h"

#define GAVIO_MAX_REMOTE_COPYDATA (64u * 1024u * 1024u)
#define GAVIO_DEFAULT_REMOTE_SEND_TIMEOUT 60000u

// Sets the send time limit in milliseconds for the whole process and
// returns the previous one.
GAVIO_PLATFORM_API DWORD GavioSetRemoteSendTimeout(DWORD milliseconds);

// The folder that holds the published windows of this user (mode 0700,
// "$XDG_RUNTIME_DIR/gavio" or "/tmp/gavio-<uid>"), copied into buffer.
// FALSE when no safe folder could be made.
GAVIO_PLATFORM_API BOOL GavioGetRemoteWindowFolder(char* buffer, DWORD size);
