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
// two processes sending to each other at the same time do not deadlock. A
// send that reached the window procedure sets the last error to 0, so a
// caller can tell a procedure that answered 0 from a send that failed.
// Payloads above GAVIO_MAX_REMOTE_COPYDATA bytes are refused.
//
// A sender keeps its connection to a window open for the next send. A
// receiver holds at most 64 connections per window (a new one displaces
// the one idle longest), drops a request that stops arriving for 5 s and
// an idle connection after 30 s, and buffers a request only as its bytes
// arrive.
#pragma once

#include "platform/types.h"

#define GAVIO_MAX_REMOTE_COPYDATA (16u * 1024u * 1024u)
#define GAVIO_DEFAULT_REMOTE_SEND_TIMEOUT 60000u

// Sets the send time limit in milliseconds for the whole process and
// returns the previous one. The limit starts at the environment variable
// GAVIO_REMOTE_SEND_TIMEOUT_MS when it holds a positive number, else at
// GAVIO_DEFAULT_REMOTE_SEND_TIMEOUT.
GAVIO_PLATFORM_API DWORD GavioSetRemoteSendTimeout(DWORD milliseconds);

// The folder that holds the published windows of this user (mode 0700,
// "$XDG_RUNTIME_DIR/gavio" or "/tmp/gavio-<uid>"), copied into buffer.
// FALSE when no safe folder could be made.
GAVIO_PLATFORM_API BOOL GavioGetRemoteWindowFolder(char* buffer, DWORD size);

// TRUE when hwnd, a window of this process, is published to the other
// processes of the user. FALSE otherwise, with the last error
// ERROR_ACCESS_DENIED when the per-user folder was refused (missing and not
// creatable, not a folder, a link, or another user's), else ERROR_NOT_FOUND.
GAVIO_PLATFORM_API BOOL GavioIsWindowPublished(HWND hwnd);
