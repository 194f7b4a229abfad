// The seams between the message queue and the facilities that add input to
// a thread's single wait (sockets, the cross-process window channel).
//
// Each thread's wait is one poll() over its queue's wake-up descriptor, the
// descriptors registered here and the time to its next timer. Callbacks run
// on the registering thread, inside GetMessageA/PeekMessageA/SendMessageA
// waits, never on another thread.
#pragma once

#include <poll.h>

#include "platform/types.h"

// Exported so the platform tests can drive the wait directly.
#define GAVIO_SEAM __attribute__((visibility("default")))

namespace gavio::platform {

// Called with the poll revents of fd. May register or unregister watches
// (including its own), post or send messages.
using FdCallback = void (*)(void* context, int fd, short revents);

// Watches fd on the calling thread until UnwatchFd. events is a poll mask.
// Re-watching an fd replaces its entry. Returns false on bad input.
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

// Runs fn(context) for every message-queue-owning thread wake-up source
// except this; exposed for the socket facility: wakes a thread's wait.
GAVIO_SEAM void WakeThread(DWORD threadId);

}  // namespace gavio::platform
