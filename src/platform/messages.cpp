// Message queues, windows and timers.
//
// Map of this file:
//   1. Thread queues: one per thread, made on first use, retired when the
//      thread ends (its windows vanish, senders waiting on it get 0).
//   2. The wait: one poll() over the queue's eventfd, the watched fds of the
//      thread (sockets, the cross-process channel) and the next timer due.
//   3. Windows and classes: a process-wide table keyed by handle; handles
//      are never reused, so a stale handle is simply "not a window".
//   4. Posting, sending (same thread: a call; other thread: queued and
//      answered by the owner, the sender serving its own incoming sends
//      meanwhile), getting, peeking and dispatching.
//   5. Timers: kept by the owner thread's queue and turned into WM_TIMER
//      when fetched, so a timer never has more than one message pending.
#include "platform/messages.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/wait_seam.h"

namespace gavio::platform {
namespace {

// ---- 1. Thread queues -----------------------------------------------------

struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool done = false;
  DWORD sender_thread = 0;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT period;
  TIMERPROC proc;
  uint64_t due;
};

struct Watch {
  int fd;
  short events;
  FdCallback callback;
  void* context;
};

struct ThreadQueue {
  explicit ThreadQueue(DWORD id) : thread_id(id) {
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~ThreadQueue() {
    if (wake_fd >= 0) close(wake_fd);
  }

  const DWORD thread_id;
  int wake_fd = -1;
  std::mutex mutex;  // guards everything below except watches
  std::condition_variable sent_done;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::atomic<bool> has_sent{false};  // lets the owner skip the lock when none
  std::vector<Timer> timers;
  bool quit = false;
  int32_t quit_code = 0;
  bool sleeping = false;  // the owner is (about to be) in poll()
  bool alive = true;
  // Touched by the owner thread only.
  std::vector<Watch> watches;
};

struct Globals {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
};

Globals& globals() {
  static Globals* g = new Globals;  // never destroyed: threads may outlive statics
  return *g;
}

void Wake(ThreadQueue& queue) {
  uint64_t one = 1;
  ssize_t ignored = write(queue.wake_fd, &one, sizeof one);
  (void)ignored;
}

// Wakes the owner only when it sleeps: a post to a busy thread costs no
// system call.
void WakeIfSleeping(ThreadQueue& queue, std::unique_lock<std::mutex>& lock) {
  bool wake = queue.sleeping;
  queue.sleeping = false;
  lock.unlock();
  if (wake) Wake(queue);
}

void RetireQueue(const std::shared_ptr<ThreadQueue>& queue);

struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) RetireQueue(queue);
  }
};
GAVIO_FAST_TLS thread_local QueueHolder t_queue;

ThreadQueue& CurrentQueue() {
  if (!t_queue.queue) {
    auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
    std::lock_guard<std::mutex> lock(globals().mutex);
    globals().queues[queue->thread_id] = queue;
    t_queue.queue = queue;
  }
  return *t_queue.queue;
}

std::shared_ptr<ThreadQueue> QueueOfThread(DWORD thread_id) {
  std::lock_guard<std::mutex> lock(globals().mutex);
  auto it = globals().queues.find(thread_id);
  return it == globals().queues.end() ? nullptr : it->second;
}

// ---- 3. Windows and classes -----------------------------------------------

struct Window {
  HWND handle;
  DWORD owner_thread;
  std::shared_ptr<ThreadQueue> owner_queue;
  HWND parent;
  std::string class_name;
  std::string title;
  WNDPROC proc;
  LONG_PTR user_data = 0;
  LONG_PTR id = 0;
  HINSTANCE instance;
  bool destroying = false;
};

struct WindowClass {
  std::string name;
  WNDPROC proc;
  HINSTANCE instance;
};

struct WindowTable {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<Window>> windows;  // ordered: creation order
  std::vector<WindowClass> classes;
  uintptr_t next_handle = 0x10000;
  const RemoteWindowHooks* remote = nullptr;
};

WindowTable& table() {
  static WindowTable* t = new WindowTable;
  return *t;
}

// Bumped (under the table lock) whenever a window appears, goes away or
// gets a new procedure. Each thread remembers the last window it posted or
// dispatched to, valid while the generation is unchanged, so the steady
// stream of messages to one window costs no table lock.
std::atomic<uint64_t> g_window_generation{1};

void WindowTableChanged() { g_window_generation.fetch_add(1, std::memory_order_release); }

struct WindowRoute {
  HWND hwnd = nullptr;
  uint64_t generation = 0;
  WNDPROC proc = nullptr;
  DWORD owner_thread = 0;
  std::shared_ptr<ThreadQueue> owner_queue;
};
GAVIO_FAST_TLS thread_local WindowRoute t_route;

// The procedure, owner and owner queue of a window, or null. The result is
// this thread's remembered route: copy what is needed before calling out,
// since a nested lookup replaces it.
const WindowRoute* RouteOf(HWND hwnd) {
  uint64_t generation = g_window_generation.load(std::memory_order_acquire);
  if (t_route.hwnd == hwnd && t_route.generation == generation && hwnd != nullptr) {
    return &t_route;
  }
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().windows.find(reinterpret_cast<uintptr_t>(hwnd));
  if (it == table().windows.end()) return nullptr;
  const Window& w = *it->second;
  t_route = WindowRoute{hwnd, g_window_generation.load(std::memory_order_relaxed), w.proc,
                        w.owner_thread, w.owner_queue};
  return &t_route;
}

std::atomic<uint32_t> g_live_timers{0};
std::atomic<uint32_t> g_next_thread_timer_id{1};

std::shared_ptr<Window> FindWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == table().windows.end() ? nullptr : it->second;
}

const RemoteWindowHooks* RemoteHooks() {
  std::lock_guard<std::mutex> lock(table().mutex);
  return table().remote;
}

bool IsRemote(HWND hwnd) {
  const RemoteWindowHooks* hooks = RemoteHooks();
  return hooks != nullptr && hooks->is_remote(hwnd);
}

void PublishTitle(const Window& window, bool alive) {
  const RemoteWindowHooks* hooks = RemoteHooks();
  if (hooks != nullptr && hooks->title_changed != nullptr && window.parent == nullptr &&
      !window.title.empty()) {
    hooks->title_changed(window.handle, window.class_name.c_str(), window.title.c_str(), alive);
  }
}

LRESULT CallProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowRoute* route = RouteOf(hwnd);
  WNDPROC proc = route != nullptr ? route->proc : nullptr;
  return proc == nullptr ? 0 : proc(hwnd, message, wParam, lParam);
}

void RemoveWindowTraces(ThreadQueue& queue, HWND hwnd) {
  std::lock_guard<std::mutex> lock(queue.mutex);
  for (auto it = queue.posted.begin(); it != queue.posted.end();) {
    it = it->hwnd == hwnd ? queue.posted.erase(it) : it + 1;
  }
  for (auto it = queue.timers.begin(); it != queue.timers.end();) {
    if (it->hwnd == hwnd) {
      it = queue.timers.erase(it);
      --g_live_timers;
    } else {
      ++it;
    }
  }
}

void RetireQueue(const std::shared_ptr<ThreadQueue>& queue) {
  std::vector<std::shared_ptr<Window>> orphans;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    for (auto it = table().windows.begin(); it != table().windows.end();) {
      if (it->second->owner_thread == queue->thread_id) {
        orphans.push_back(it->second);
        it = table().windows.erase(it);
        WindowTableChanged();
      } else {
        ++it;
      }
    }
  }
  for (const auto& window : orphans) PublishTitle(*window, false);
  {
    std::lock_guard<std::mutex> lock(globals().mutex);
    globals().queues.erase(queue->thread_id);
  }
  std::vector<std::shared_ptr<SentMessage>> unanswered;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->alive = false;
    g_live_timers -= static_cast<uint32_t>(queue->timers.size());
    queue->timers.clear();
    unanswered.assign(queue->sent.begin(), queue->sent.end());
    queue->sent.clear();
    for (const auto& sent : unanswered) sent->done = true;
  }
  for (const auto& sent : unanswered) {
    if (auto sender = QueueOfThread(sent->sender_thread)) Wake(*sender);
  }
}

// ---- 4. Sending ------------------------------------------------------------

// Runs every message other threads sent to this thread. Returns whether any.
bool ServeSentMessages(ThreadQueue& queue) {
  bool any = false;
  while (queue.has_sent.load(std::memory_order_acquire)) {
    std::shared_ptr<SentMessage> sent;
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      if (queue.sent.empty()) {
        queue.has_sent.store(false, std::memory_order_relaxed);
        return any;
      }
      sent = queue.sent.front();
      queue.sent.pop_front();
      if (queue.sent.empty()) queue.has_sent.store(false, std::memory_order_relaxed);
    }
    any = true;
    LRESULT result = CallProc(sent->hwnd, sent->message, sent->wParam, sent->lParam);
    if (auto sender = QueueOfThread(sent->sender_thread)) {
      {
        std::lock_guard<std::mutex> lock(sender->mutex);
        sent->result = result;
        sent->done = true;
      }
      Wake(*sender);
    }
  }
  return any;
}

// ---- 2. The wait -----------------------------------------------------------

void DrainWake(ThreadQueue& queue) {
  uint64_t count;
  while (read(queue.wake_fd, &count, sizeof count) > 0) {
  }
}

// One poll over the wake-up fd (and, unless onlyWake, the watched fds) for
// at most timeoutMs (-1 = no limit). Runs the callbacks of ready watches.
// Returns true when anything was ready.
bool WaitOnce(ThreadQueue& queue, int timeoutMs, bool onlyWake) {
  std::vector<pollfd> fds;
  fds.push_back({queue.wake_fd, POLLIN, 0});
  if (!onlyWake) {
    for (const Watch& w : queue.watches) fds.push_back({w.fd, w.events, 0});
  }
  int ready = poll(fds.data(), fds.size(), timeoutMs);
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.sleeping = false;
  }
  if (ready <= 0) return false;
  if (fds[0].revents != 0) DrainWake(queue);
  for (size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    // A callback may have removed or replaced this watch.
    for (const Watch& w : queue.watches) {
      if (w.fd == fds[i].fd) {
        Watch copy = w;
        copy.callback(copy.context, copy.fd, fds[i].revents);
        break;
      }
    }
  }
  return true;
}

bool MatchesFilter(const MSG& msg, HWND hwnd, UINT min, UINT max) {
  if (hwnd == reinterpret_cast<HWND>(-1)) {
    if (msg.hwnd != nullptr) return false;
  } else if (hwnd != nullptr && msg.hwnd != hwnd) {
    return false;
  }
  if (min == 0 && max == 0) return true;
  return msg.message >= min && msg.message <= max;
}

// ---- 5. Timers -------------------------------------------------------------

// Takes a due timer as a WM_TIMER message. Caller holds the queue lock.
bool TakeDueTimer(ThreadQueue& queue, MSG* out, HWND hwnd, UINT min, UINT max, bool remove,
                  uint64_t now) {
  for (Timer& timer : queue.timers) {
    if (timer.due > now) continue;
    MSG msg{timer.hwnd, WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.proc),
            static_cast<DWORD>(now), {0, 0}};
    if (!MatchesFilter(msg, hwnd, min, max)) continue;
    if (remove) timer.due = now + timer.period;
    *out = msg;
    return true;
  }
  return false;
}

int MsUntilNextTimer(ThreadQueue& queue, uint64_t now) {
  uint64_t next = UINT64_MAX;
  for (const Timer& timer : queue.timers) next = timer.due < next ? timer.due : next;
  if (next == UINT64_MAX) return -1;
  return next <= now ? 0 : static_cast<int>(next - now > 0x7FFFFFFF ? 0x7FFFFFFF : next - now);
}

// Looks for a message without waiting.
bool TryFetch(ThreadQueue& queue, MSG* out, HWND hwnd, UINT min, UINT max, bool remove) {
  std::lock_guard<std::mutex> lock(queue.mutex);
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!MatchesFilter(*it, hwnd, min, max)) continue;
    *out = *it;
    if (remove) {
      if (it == queue.posted.begin()) {
        queue.posted.pop_front();  // the common case, far cheaper than erase
      } else {
        queue.posted.erase(it);
      }
    }
    return true;
  }
  if (queue.quit && ((min == 0 && max == 0) || (WM_QUIT >= min && WM_QUIT <= max))) {
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quit_code), 0, GetTickCount(), {0, 0}};
    if (remove) queue.quit = false;
    return true;
  }
  return TakeDueTimer(queue, out, hwnd, min, max, remove, MonotonicMs());
}

// The fetch loop of GetMessageA (wait) and PeekMessageA (no wait).
bool Fetch(MSG* out, HWND hwnd, UINT min, UINT max, bool remove, bool wait) {
  ThreadQueue& queue = CurrentQueue();
  for (;;) {
    ServeSentMessages(queue);
    if (TryFetch(queue, out, hwnd, min, max, remove)) return true;
    int timeout;
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      timeout = wait ? MsUntilNextTimer(queue, MonotonicMs()) : 0;
      if (wait) queue.sleeping = true;
    }
    bool ready = WaitOnce(queue, timeout, false);
    if (!wait) {
      if (!ready) return false;
      ServeSentMessages(queue);
      return TryFetch(queue, out, hwnd, min, max, remove);
    }
  }
}

}  // namespace

bool WatchFd(int fd, short events, FdCallback callback, void* context) {
  if (fd < 0 || callback == nullptr) return false;
  ThreadQueue& queue = CurrentQueue();
  for (Watch& w : queue.watches) {
    if (w.fd == fd) {
      w = Watch{fd, events, callback, context};
      return true;
    }
  }
  queue.watches.push_back(Watch{fd, events, callback, context});
  return true;
}

void UnwatchFd(int fd) {
  ThreadQueue& queue = CurrentQueue();
  for (auto it = queue.watches.begin(); it != queue.watches.end(); ++it) {
    if (it->fd == fd) {
      queue.watches.erase(it);
      return;
    }
  }
}

void SetRemoteWindowHooks(const RemoteWindowHooks* hooks) {
  std::lock_guard<std::mutex> lock(table().mutex);
  table().remote = hooks;
}

void WakeThread(DWORD threadId) {
  if (auto queue = QueueOfThread(threadId)) Wake(*queue);
}

}  // namespace gavio::platform

using namespace gavio::platform;

// ---- Classes and windows ------------------------------------------------------

namespace {

bool FindClass(const char* name, WindowClass* out) {
  if (name == nullptr) return false;
  if (strcasecmp(name, "static") == 0) {
    *out = WindowClass{"static", DefWindowProcA, nullptr};
    return true;
  }
  std::lock_guard<std::mutex> lock(table().mutex);
  for (const WindowClass& c : table().classes) {
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
  WindowClass existing;
  if (FindClass(wc->lpszClassName, &existing)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  std::lock_guard<std::mutex> lock(table().mutex);
  table().classes.push_back(WindowClass{wc->lpszClassName, wc->lpfnWndProc, wc->hInstance});
  return static_cast<WORD>(0xC000 + table().classes.size());
}

BOOL UnregisterClassA(const char* className, HINSTANCE) {
  if (className == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(table().mutex);
  for (const auto& [handle, window] : table().windows) {
    if (strcasecmp(window->class_name.c_str(), className) == 0) {
      SetLastError(ERROR_BUSY);  // windows of the class still exist
      return FALSE;
    }
  }
  auto& classes = table().classes;
  for (auto it = classes.begin(); it != classes.end(); ++it) {
    if (strcasecmp(it->name.c_str(), className) == 0) {
      classes.erase(it);
      return TRUE;
    }
  }
  SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
  return FALSE;
}

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
  CurrentQueue();  // the owner needs a queue before any message can arrive
  window->owner_queue = t_queue.queue;
  window->owner_thread = GetCurrentThreadId();
  window->parent = parent;
  window->class_name = cls.name;
  window->title = windowName != nullptr ? windowName : "";
  window->proc = cls.proc;
  window->instance = instance;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    table().next_handle += 4;
    window->handle = reinterpret_cast<HWND>(table().next_handle);
    table().windows[table().next_handle] = window;
    WindowTableChanged();
  }
  HWND hwnd = window->handle;
  CREATESTRUCTA create{param, instance, menu, parent, height, width, y, x,
                       static_cast<LONG>(style), windowName, className, exStyle};
  if (CallProc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)) == 0 ||
      CallProc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  if (IsWindow(hwnd)) PublishTitle(*window, true);
  return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL DestroyWindow(HWND hwnd) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr || window->owner_thread != GetCurrentThreadId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (window->destroying) return TRUE;
  window->destroying = true;
  CallProc(hwnd, WM_DESTROY, 0, 0);
  CallProc(hwnd, WM_NCDESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    table().windows.erase(reinterpret_cast<uintptr_t>(hwnd));
    WindowTableChanged();
  }
  RemoveWindowTraces(CurrentQueue(), hwnd);
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
  return window->owner_thread;
}

int32_t GetWindowTextA(HWND hwnd, char* buffer, int32_t size) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr || buffer == nullptr || size <= 0) return 0;
  std::lock_guard<std::mutex> lock(table().mutex);
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
    std::lock_guard<std::mutex> lock(table().mutex);
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
  bool after_is_remote = false;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    hooks = table().remote;
    after_is_remote = childAfter != nullptr &&
                      table().windows.count(reinterpret_cast<uintptr_t>(childAfter)) == 0;
    if (!after_is_remote) {
      auto it = childAfter == nullptr
                    ? table().windows.begin()
                    : table().windows.upper_bound(reinterpret_cast<uintptr_t>(childAfter));
      for (; it != table().windows.end(); ++it) {
        const Window& w = *it->second;
        if (w.parent != nullptr || w.destroying) continue;
        if (className != nullptr && strcasecmp(w.class_name.c_str(), className) != 0) continue;
        if (windowName != nullptr && w.title != windowName) continue;
        return w.handle;
      }
    }
  }
  // Other processes' windows follow this process's own.
  if (hooks == nullptr || windowName == nullptr) return nullptr;
  if (className != nullptr && strcasecmp(className, "static") != 0) return nullptr;
  return hooks->find_next(after_is_remote ? childAfter : nullptr, windowName);
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
  std::lock_guard<std::mutex> lock(table().mutex);
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
      previous = window->user_data;
      window->user_data = value;
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
  std::lock_guard<std::mutex> lock(table().mutex);
  switch (index) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(window->proc);
    case GWLP_USERDATA: return window->user_data;
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

// ---- Posting, sending, getting -------------------------------------------------

namespace {

BOOL PostTo(ThreadQueue& queue, const MSG& msg) {
  std::unique_lock<std::mutex> lock(queue.mutex);
  if (!queue.alive) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  queue.posted.push_back(msg);
  WakeIfSleeping(queue, lock);
  return TRUE;
}

}  // namespace

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  MSG m{hwnd, msg, wParam, lParam, GetTickCount(), {0, 0}};
  if (hwnd == nullptr) return PostTo(CurrentQueue(), m);
  const WindowRoute* route = RouteOf(hwnd);
  ThreadQueue* queue = route != nullptr ? route->owner_queue.get() : nullptr;  // kept by the route
  if (queue == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return PostTo(*queue, m);
}

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue = QueueOfThread(threadId);
  if (queue == nullptr) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return PostTo(*queue, MSG{nullptr, msg, wParam, lParam, GetTickCount(), {0, 0}});
}

void PostQuitMessage(int32_t exitCode) {
  ThreadQueue& queue = CurrentQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  queue.quit = true;
  queue.quit_code = exitCode;
  WakeIfSleeping(queue, lock);
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr) {
    const RemoteWindowHooks* hooks = RemoteHooks();
    if (hooks != nullptr && hooks->is_remote(hwnd)) return hooks->send(hwnd, msg, wParam, lParam);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  DWORD self = GetCurrentThreadId();
  if (window->owner_thread == self) return CallProc(hwnd, msg, wParam, lParam);

  std::shared_ptr<ThreadQueue> target = QueueOfThread(window->owner_thread);
  if (target == nullptr) return 0;
  ThreadQueue& own = CurrentQueue();
  auto sent = std::make_shared<SentMessage>();
  *sent = SentMessage{hwnd, msg, wParam, lParam, 0, false, self};
  {
    std::unique_lock<std::mutex> lock(target->mutex);
    if (!target->alive) return 0;
    target->sent.push_back(sent);
    target->has_sent.store(true, std::memory_order_release);
    lock.unlock();
    Wake(*target);  // sends are rare; always wake
  }
  for (;;) {
    // Serve what others send us meanwhile, so mutual sends cannot deadlock.
    ServeSentMessages(own);
    {
      std::lock_guard<std::mutex> lock(own.mutex);
      if (sent->done) return sent->result;
      own.sleeping = true;
    }
    WaitOnce(own, -1, true);
  }
}

BOOL GetMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (hwnd != nullptr && hwnd != reinterpret_cast<HWND>(-1) && FindWindow(hwnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  Fetch(msg, hwnd, filterMin, filterMax, true, true);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return Fetch(msg, hwnd, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0, false) ? TRUE
                                                                                        : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (msg == nullptr) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
    return 0;
  }
  if (msg->hwnd == nullptr) return 0;
  const WindowRoute* route = RouteOf(msg->hwnd);
  WNDPROC proc = route != nullptr ? route->proc : nullptr;
  if (proc == nullptr || route->owner_thread != GetCurrentThreadId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WaitMessageTimeout(DWORD milliseconds) {
  ThreadQueue& queue = CurrentQueue();
  ServeSentMessages(queue);
  int timeout;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (!queue.posted.empty() || queue.quit) return TRUE;
    int timer = MsUntilNextTimer(queue, MonotonicMs());
    timeout = milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds > 0x7FFFFFFF ? 0x7FFFFFFF : milliseconds);
    if (timer >= 0 && (timeout < 0 || timer < timeout)) timeout = timer;
    queue.sleeping = true;
  }
  return WaitOnce(queue, timeout, false) ? TRUE : FALSE;
}

// ---- Timers -----------------------------------------------------------------------

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  std::shared_ptr<ThreadQueue> queue;
  if (hwnd == nullptr) {
    queue = t_queue.queue;
    if (!queue) {
      CurrentQueue();
      queue = t_queue.queue;
    }
  } else {
    std::shared_ptr<Window> window = FindWindow(hwnd);
    if (window != nullptr) queue = QueueOfThread(window->owner_thread);
    if (queue == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  UINT period = elapse == 0 ? 1 : elapse;
  std::unique_lock<std::mutex> lock(queue->mutex);
  if (hwnd != nullptr || id != 0) {
    for (Timer& timer : queue->timers) {
      if (timer.hwnd == hwnd && timer.id == id) {
        timer.period = period;
        timer.proc = proc;
        timer.due = MonotonicMs() + period;
        WakeIfSleeping(*queue, lock);
        return hwnd != nullptr ? (id != 0 ? id : 1) : id;
      }
    }
  }
  UINT_PTR timer_id = hwnd != nullptr ? id : g_next_thread_timer_id++;
  queue->timers.push_back(Timer{hwnd, timer_id, period, proc, MonotonicMs() + period});
  ++g_live_timers;
  WakeIfSleeping(*queue, lock);
  return hwnd != nullptr ? (id != 0 ? id : 1) : timer_id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::shared_ptr<ThreadQueue> queue;
  if (hwnd == nullptr) {
    queue = t_queue.queue;
  } else if (std::shared_ptr<Window> window = FindWindow(hwnd)) {
    queue = QueueOfThread(window->owner_thread);
  }
  if (queue != nullptr) {
    std::lock_guard<std::mutex> lock(queue->mutex);
    for (auto it = queue->timers.begin(); it != queue->timers.end(); ++it) {
      if (it->hwnd == hwnd && it->id == id) {
        queue->timers.erase(it);
        --g_live_timers;
        return TRUE;
      }
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// ---- Message boxes and counts -----------------------------------------------------

namespace {

int32_t DefaultMessageBox(HWND, const char* text, const char* caption, UINT type) {
  std::string line = "MessageBox [";
  line += caption != nullptr ? caption : "";
  line += "] ";
  line += text != nullptr ? text : "";
  line += "\n";
  OutputDebugStringA(line.c_str());
  return (type & 0xFu) == MB_YESNO ? IDNO : IDOK;
}

std::atomic<GavioMessageBoxHandler> g_message_box{DefaultMessageBox};

}  // namespace

int32_t MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  return g_message_box.load()(owner, text, caption, type);
}

GavioMessageBoxHandler GavioSetMessageBoxHandler(GavioMessageBoxHandler handler) {
  return g_message_box.exchange(handler != nullptr ? handler : DefaultMessageBox);
}

DWORD GavioLiveWindowCount(void) {
  std::lock_guard<std::mutex> lock(table().mutex);
  return static_cast<DWORD>(table().windows.size());
}

DWORD GavioLiveTimerCount(void) { return g_live_timers.load(); }
