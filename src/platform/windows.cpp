// Window classes and windows.
//
// Map of this file:
//   1. The window table: one per process, keyed by handle, in creation
//      order; handles are never reused, so a stale handle is simply "not a
//      window". The remote-window hooks of the cross-process channel.
//   2. Routes: each thread remembers the last window it posted or
//      dispatched to, so a steady stream of messages costs no table lock.
//   3. Classes: RegisterClassA, UnregisterClassA.
//   4. Windows: create, destroy, look up, titles, window longs, procedures.
//
// A window belongs to the thread that created it: only that thread runs its
// procedure and only that thread may destroy it.
#include <string.h>
#include <strings.h>

#include <map>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/messages_internal.h"

namespace gavio::platform {
namespace {

// ---- 1. The window table -------------------------------------------------------

struct WindowClass {
  std::string name;
  WNDPROC proc;
  HINSTANCE instance;
};

struct WindowTable {
  Mutex mutex;
  // Ordered by handle, that is by creation: FindWindowExA walks it.
  std::map<uintptr_t, std::shared_ptr<Window>> windows GAVIO_GUARDED_BY(mutex);
  std::vector<WindowClass> classes GAVIO_GUARDED_BY(mutex);
  uintptr_t nextHandle GAVIO_GUARDED_BY(mutex) = 0x10000;
  const RemoteWindowHooks* remote GAVIO_GUARDED_BY(mutex) = nullptr;
};

WindowTable& Table() {
  static WindowTable* table = new WindowTable;  // never destroyed: threads may outlive statics
  return *table;
}

// Bumped under the table lock whenever a window appears, goes away or gets
// a new procedure: a thread's remembered route is valid while it is unchanged.
std::atomic<uint64_t> g_windowGeneration{1};

void WindowTableChanged() { g_windowGeneration.fetch_add(1, std::memory_order_release); }

bool IsRemote(HWND hwnd) {
  const RemoteWindowHooks* hooks = RemoteHooks();
  return hooks != nullptr && hooks->is_remote(hwnd);
}

// Tells other processes that a titled top-level window appeared or went.
void PublishTitle(const Window& window, bool alive) {
  const RemoteWindowHooks* hooks = RemoteHooks();
  if (hooks == nullptr || hooks->title_changed == nullptr || window.parent != nullptr) return;
  std::string title;
  {
    MutexLock lock(Table().mutex);
    title = window.title;
  }
  if (!title.empty()) {
    hooks->title_changed(window.handle, window.className.c_str(), title.c_str(), alive);
  }
}

GAVIO_FAST_TLS thread_local WindowRoute t_route{};
thread_local std::shared_ptr<ThreadQueue> t_routeQueue;  // keeps t_route.ownerQueue

}  // namespace

std::shared_ptr<Window> FindWindow(HWND hwnd) {
  MutexLock lock(Table().mutex);
  auto it = Table().windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == Table().windows.end() ? nullptr : it->second;
}

const RemoteWindowHooks* RemoteHooks() {
  MutexLock lock(Table().mutex);
  return Table().remote;
}

void SetRemoteWindowHooks(const RemoteWindowHooks* hooks) {
  MutexLock lock(Table().mutex);
  Table().remote = hooks;
}

void ForgetWindowsOfThread(DWORD threadId) {
  std::vector<std::shared_ptr<Window>> orphans;
  {
    MutexLock lock(Table().mutex);
    auto& windows = Table().windows;
    for (auto it = windows.begin(); it != windows.end();) {
      if (it->second->ownerThread == threadId) {
        orphans.push_back(it->second);
        it = windows.erase(it);
      } else {
        ++it;
      }
    }
    if (!orphans.empty()) WindowTableChanged();
  }
  for (const auto& window : orphans) PublishTitle(*window, false);
}

// ---- 2. Routes ---------------------------------------------------------------------

const WindowRoute* RouteOf(HWND hwnd) {
  uint64_t generation = g_windowGeneration.load(std::memory_order_acquire);
  if (hwnd != nullptr && t_route.hwnd == hwnd && t_route.generation == generation) {
    return &t_route;
  }
  MutexLock lock(Table().mutex);
  auto it = Table().windows.find(reinterpret_cast<uintptr_t>(hwnd));
  if (it == Table().windows.end()) return nullptr;
  const Window& w = *it->second;
  t_routeQueue = w.ownerQueue;
  t_route = WindowRoute{hwnd, g_windowGeneration.load(std::memory_order_relaxed), w.proc,
                        w.ownerThread, w.ownerQueue.get()};
  return &t_route;
}

LRESULT CallProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowRoute* route = RouteOf(hwnd);
  WNDPROC proc = route != nullptr ? route->proc : nullptr;
  return proc == nullptr ? 0 : proc(hwnd, message, wParam, lParam);
}

}  // namespace gavio::platform

using namespace gavio::platform;

// ---- 3. Classes --------------------------------------------------------------------

namespace {

bool FindClass(const char* name, WindowClass* out) {
  if (name == nullptr) return false;
  if (strcasecmp(name, "static") == 0) {
    *out = WindowClass{"static", DefWindowProcA, nullptr};
    return true;
  }
  MutexLock lock(Table().mutex);
  for (const WindowClass& c : Table().classes) {
    if (strcasecmp(c.name.c_str(), name) == 0) {
      *out = c;
      return true;
    }
  }
  return false;
}

}  // namespace

WORD RegisterClassA(const WNDCLASSA* wc) {
  if (wc == nullptr || wc->lpszClassName == nullptr || wc->lpfnWndProc == nullptr ||
      wc->lpszClassName[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (strcasecmp(wc->lpszClassName, "static") == 0) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  MutexLock lock(Table().mutex);
  auto& classes = Table().classes;
  for (const WindowClass& c : classes) {
    if (strcasecmp(c.name.c_str(), wc->lpszClassName) == 0) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  classes.push_back(WindowClass{wc->lpszClassName, wc->lpfnWndProc, wc->hInstance});
  return static_cast<WORD>(0xC000 + classes.size());
}

BOOL UnregisterClassA(const char* className, HINSTANCE) {
  if (className == nullptr) return FALSE;
  MutexLock lock(Table().mutex);
  for (const auto& [handle, window] : Table().windows) {
    if (strcasecmp(window->className.c_str(), className) == 0) {
      SetLastError(ERROR_CLASS_HAS_WINDOWS);
      return FALSE;
    }
  }
  auto& classes = Table().classes;
  for (auto it = classes.begin(); it != classes.end(); ++it) {
    if (strcasecmp(it->name.c_str(), className) == 0) {
      classes.erase(it);
      return TRUE;
    }
  }
  SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
  return FALSE;
}

// ---- 4. Windows --------------------------------------------------------------------

HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName,
                     DWORD style, int32_t x, int32_t y, int32_t width, int32_t height,
                     HWND parent, HMENU menu, HINSTANCE instance, void* param) {
  WindowClass cls;
  if (!FindClass(className, &cls)) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return nullptr;
  }
  if (parent != nullptr && parent != HWND_MESSAGE && !IsWindow(parent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto window = std::make_shared<Window>();
  window->ownerQueue = CurrentQueueShared();  // the owner needs a queue before any message
  window->ownerThread = GetCurrentThreadId();
  window->parent = parent;
  window->className = cls.name;
  window->title = windowName != nullptr ? windowName : "";
  window->proc = cls.proc;
  window->instance = instance;
  HWND hwnd;
  {
    MutexLock lock(Table().mutex);
    Table().nextHandle += 4;
    hwnd = reinterpret_cast<HWND>(Table().nextHandle);
    window->handle = hwnd;
    Table().windows[Table().nextHandle] = window;
    WindowTableChanged();
  }
  CREATESTRUCTA create{param, instance, menu, parent, height, width, y, x,
                       static_cast<LONG>(style), windowName, className, exStyle};
  if (CallProc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)) == 0 ||
      CallProc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  if (!IsWindow(hwnd)) return nullptr;  // destroyed by its own WM_CREATE
  PublishTitle(*window, true);
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  std::shared_ptr<Window> window;
  {
    MutexLock lock(Table().mutex);
    auto it = Table().windows.find(reinterpret_cast<uintptr_t>(hwnd));
    if (it == Table().windows.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    window = it->second;
    if (window->ownerThread != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    // A procedure that destroys its window again from WM_DESTROY.
    if (window->destroying) return TRUE;
    window->destroying = true;
  }
  CallProc(hwnd, WM_DESTROY, 0, 0);
  CallProc(hwnd, WM_NCDESTROY, 0, 0);
  {
    MutexLock lock(Table().mutex);
    Table().windows.erase(reinterpret_cast<uintptr_t>(hwnd));
    WindowTableChanged();
  }
  RemoveWindowTraces(*window->ownerQueue, hwnd);
  PublishTitle(*window, false);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  if (hwnd == nullptr) return FALSE;
  if (FindWindow(hwnd) != nullptr) return TRUE;
  return IsRemote(hwnd) ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (processId != nullptr) *processId = GetCurrentProcessId();
  return window->ownerThread;
}

int32_t GetWindowTextA(HWND hwnd, char* buffer, int32_t size) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr || buffer == nullptr || size <= 0) return 0;
  MutexLock lock(Table().mutex);
  size_t n = window->title.size() < static_cast<size_t>(size - 1) ? window->title.size()
                                                                  : static_cast<size_t>(size - 1);
  memcpy(buffer, window->title.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

BOOL SetWindowTextA(HWND hwnd, const char* text) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  PublishTitle(*window, false);
  {
    MutexLock lock(Table().mutex);
    window->title = text != nullptr ? text : "";
  }
  PublishTitle(*window, true);
  return TRUE;
}

HWND FindWindowExA(HWND parent, HWND childAfter, const char* className, const char* windowName) {
  if (parent != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const RemoteWindowHooks* hooks = nullptr;
  bool afterIsRemote = false;
  {
    MutexLock lock(Table().mutex);
    auto& windows = Table().windows;
    hooks = Table().remote;
    afterIsRemote =
        childAfter != nullptr && windows.count(reinterpret_cast<uintptr_t>(childAfter)) == 0;
    if (!afterIsRemote) {
      auto it = childAfter == nullptr
                    ? windows.begin()
                    : windows.upper_bound(reinterpret_cast<uintptr_t>(childAfter));
      for (; it != windows.end(); ++it) {
        const Window& w = *it->second;
        if (w.parent != nullptr || w.destroying) continue;
        if (className != nullptr && strcasecmp(w.className.c_str(), className) != 0) continue;
        if (windowName != nullptr && w.title != windowName) continue;
        return w.handle;
      }
    }
  }
  // Other processes' windows follow this process's own.
  if (hooks == nullptr || windowName == nullptr) return nullptr;
  if (className != nullptr && strcasecmp(className, "static") != 0) return nullptr;
  return hooks->find_next(afterIsRemote ? childAfter : nullptr, windowName);
}

HWND FindWindowA(const char* className, const char* windowName) {
  return FindWindowExA(nullptr, nullptr, className, windowName);
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int32_t index, LONG_PTR value) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  MutexLock lock(Table().mutex);
  LONG_PTR previous = 0;
  switch (index) {
    case GWLP_WNDPROC:
      if (value == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      previous = reinterpret_cast<LONG_PTR>(window->proc);
      window->proc = reinterpret_cast<WNDPROC>(value);
      WindowTableChanged();
      break;
    case GWLP_USERDATA:
      previous = window->userData;
      window->userData = value;
      break;
    case GWLP_ID:
      previous = window->id;
      window->id = value;
      break;
    case GWLP_HINSTANCE:
      previous = reinterpret_cast<LONG_PTR>(window->instance);
      window->instance = reinterpret_cast<HINSTANCE>(value);
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
  SetLastError(ERROR_SUCCESS);
  return previous;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int32_t index) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  MutexLock lock(Table().mutex);
  switch (index) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(window->proc);
    case GWLP_USERDATA: return window->userData;
    case GWLP_ID: return window->id;
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(window->instance);
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
  }
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc == nullptr ? 0 : proc(hwnd, msg, wParam, lParam);
}

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM, LPARAM) {
  switch (msg) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    default: return 0;
  }
}

DWORD GavioLiveWindowCount(void) {
  MutexLock lock(Table().mutex);
  return static_cast<DWORD>(Table().windows.size());
}
