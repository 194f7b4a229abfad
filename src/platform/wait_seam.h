// The seams between the message queue and the facilities that add input to
// a thread's single wait (sockets, the cross-process window channel).
//
// Each thread waits in one epoll set holding its queue's wake-up descriptor
// and the descriptors watched here, with the time to its next timer as the
// timeout, so one ready descriptor costs the same however many idle ones
// are watched. Callbacks run on the registering thread, inside the waits of
// GetMessageA, PeekMessageA and WaitMessageTimeout, never on another thread
// and never while the thread waits for the answer to its own SendMessageA.
#pragma once

#include <poll.h>

#include "platform/types.h"

// Exported so the platform tests can drive the wait directly.
#define GAVIO_SEAM __attribute__((visibility("default")))

namespace gavio::platform {

// Called with the poll revents of fd (the watch is level-triggered: it runs
// again while the condition holds). May register or unregister watches
// (including its own), post or send messages.
using FdCallback = void (*)(void* context, int fd, short revents);

// Watches fd on the calling thread until UnwatchFd. events is a poll mask.
// Re-watching an fd replaces its entry. Unwatch before closing: a closed fd
// silently leaves the set. Returns false on bad input or an fd that cannot
// be waited on (a regular file).
GAVIO_SEAM bool WatchFd(int fd, short events, FdCallback callback, void* context);
GAVIO_SEAM void UnwatchFd(int fd);

// Cross-process windows. The channel registers these once; until then only
// windows of this process exist. FindRemoteWindow is asked for windows
// after the local ones: it gets the remote handle found last (null = start)
// and returns the next remote window with that title (class "static"), or
// null. SendRemoteMessage delivers WM_COPYDATA to a remote handle.
struct RemoteWindowHooks {
  HWND (*find_next)(HWND after, const char* title);
  bool (*is_remote)(HWND hwnd);
  LRESULT (*send)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // A local window got or lost a title (publish it to other processes).
  void (*title_changed)(HWND hwnd, const char* className, const char* title, bool alive);
};
GAVIO_SEAM void SetRemoteWindowHooks(const RemoteWindowHooks* hooks);

// Ends the current or next wait of threadId's queue, so that thread looks
// at its queue and watches again (one write to its wake-up descriptor).
// Does nothing for a thread without a queue.
GAVIO_SEAM void WakeThread(DWORD threadId);

}  // namespace gavio::platform
