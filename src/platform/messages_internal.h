// What the three message files share.
//
//   message_queue.cpp  the per-thread queues and their wait (one epoll set
//                      per thread), posting, sending, getting, peeking and
//                      dispatching, the descriptor watches of wait_seam.h
//   windows.cpp        window classes, the process-wide window table, the
//                      window procedures' routes and the remote-window hooks
//   timers.cpp         SetTimer/KillTimer, due timers turned into WM_TIMER,
//                      the time a wait may sleep, message boxes and counts
//
// Locks: a queue's mutex and the window table's mutex are never held
// together, and neither is held while a window procedure, a timer
// procedure or a watch callback runs.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/handles.h"  // MonotonicMs, GAVIO_FAST_TLS
#include "platform/messages.h"
#include "platform/wait_seam.h"

// Clang checks the lock discipline of the annotated members below
// (-Wthread-safety); other compilers ignore the annotations.
#if defined(__clang__)
#define GAVIO_TSA(x) __attribute__((x))
#else
#define GAVIO_TSA(x)
#endif
#define GAVIO_CAPABILITY GAVIO_TSA(capability("mutex"))
#define GAVIO_SCOPED_CAPABILITY GAVIO_TSA(scoped_lockable)
#define GAVIO_GUARDED_BY(m) GAVIO_TSA(guarded_by(m))
#define GAVIO_REQUIRES(m) GAVIO_TSA(requires_capability(m))
#define GAVIO_ACQUIRE(...) GAVIO_TSA(acquire_capability(__VA_ARGS__))
#define GAVIO_RELEASE(...) GAVIO_TSA(release_capability(__VA_ARGS__))

namespace gavio::platform {

class GAVIO_CAPABILITY Mutex {
 public:
  void Lock() GAVIO_ACQUIRE() { mutex_.lock(); }
  void Unlock() GAVIO_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class GAVIO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) GAVIO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() GAVIO_RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// ---- Queues -----------------------------------------------------------------

struct ThreadQueue;

// A message sent from another thread, answered by the target's owner.
// result is written before done is set, and read only after done is seen.
struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  std::shared_ptr<ThreadQueue> sender;
  LRESULT result = 0;
  std::atomic<bool> done{false};
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT period;
  TIMERPROC proc;
  uint64_t due;  // MonotonicMs() at which the next WM_TIMER is owed
};

struct Watch {
  short events;
  FdCallback callback;
  void* context;
};

// What GetMessageA/PeekMessageA asked for.
struct MessageFilter {
  HWND hwnd;  // null = any, (HWND)-1 = thread messages only
  UINT min;
  UINT max;  // min == max == 0: every message
};

struct ThreadQueue {
  explicit ThreadQueue(DWORD threadId);
  ~ThreadQueue();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  const DWORD threadId;
  const int wakeFd;   // eventfd written to end the owner's wait
  const int epollFd;  // the owner's wait: wakeFd and the watched descriptors

  // What posters write sits on cache lines of its own, apart from what the
  // owner reads on every fetch, so a stream of posts does not keep pulling
  // the owner's lines away from it.
  alignas(64) Mutex mutex;
  std::vector<MSG> posted GAVIO_GUARDED_BY(mutex);
  std::vector<std::shared_ptr<SentMessage>> sent GAVIO_GUARDED_BY(mutex);
  std::vector<Timer> timers GAVIO_GUARDED_BY(mutex);
  bool quit GAVIO_GUARDED_BY(mutex) = false;
  int32_t quitCode GAVIO_GUARDED_BY(mutex) = 0;
  // Set by the owner in the same critical section that found nothing to
  // return; whoever adds work finds it in its own critical section, clears
  // it and writes wakeFd. Atomic only so the owner may clear it unlocked.
  std::atomic<bool> sleeping{false};
  bool alive GAVIO_GUARDED_BY(mutex) = true;

  // A hint that sent is not empty, so the owner skips the lock when none.
  alignas(64) std::atomic<bool> hasSent{false};
  // Owner thread only. Posted messages move here in one batch under the
  // lock and are then taken without it; they come before those in posted.
  std::vector<MSG> taken;
  size_t takenAt = 0;
  std::unordered_map<int, Watch> watches;
};

// The calling thread's queue, made on first use.
ThreadQueue& CurrentQueue();
std::shared_ptr<ThreadQueue> CurrentQueueShared();
std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId);

// Called by whoever just gave the owner work, under the queue lock: true
// when the owner decided to sleep (the flag is cleared), and the caller must
// then Wake it once the lock is released. A busy owner costs no system call.
bool ClaimSleeper(ThreadQueue& queue) GAVIO_REQUIRES(queue.mutex);
void Wake(ThreadQueue& queue);

// Drops the posted messages and timers of a window being destroyed. Owner
// thread only.
void RemoveWindowTraces(ThreadQueue& queue, HWND hwnd);

bool MatchesFilter(const MSG& msg, const MessageFilter& filter);

// ---- Windows ----------------------------------------------------------------

struct Window {
  HWND handle;
  DWORD ownerThread;
  std::shared_ptr<ThreadQueue> ownerQueue;
  HWND parent;
  std::string className;
  // The rest is guarded by the window table's mutex.
  std::string title;
  WNDPROC proc;
  LONG_PTR userData = 0;
  LONG_PTR id = 0;
  HINSTANCE instance;
  bool destroying = false;
};

std::shared_ptr<Window> FindWindow(HWND hwnd);
// Calls the window's current procedure (0 when it has none).
LRESULT CallProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// What a thread remembers about the last window it posted or dispatched
// to; see RouteOf.
// Trivially destructible, so reaching it costs no TLS guard; the owner
// queue is kept alive by a second, rarely touched thread_local.
struct WindowRoute {
  HWND hwnd;
  uint64_t generation;
  WNDPROC proc;
  DWORD ownerThread;
  ThreadQueue* ownerQueue;
};
// The procedure, owner and owner queue of a local window, or null. The
// result is this thread's remembered route: copy what is needed before
// calling out, since a nested lookup replaces it.
const WindowRoute* RouteOf(HWND hwnd);

// The windows of a thread that ended vanish without messages.
void ForgetWindowsOfThread(DWORD threadId);

const RemoteWindowHooks* RemoteHooks();

// ---- Timers -----------------------------------------------------------------

// Takes the first due timer the filter lets through as a WM_TIMER message,
// re-arming it when remove is set.
bool TakeDueTimer(ThreadQueue& queue, MSG* out, const MessageFilter& filter, bool remove,
                  uint64_t now) GAVIO_REQUIRES(queue.mutex);
// Milliseconds until the next timer the filter lets through is due (0 when
// one is due), or -1 when there is none. Timers the filter leaves out must
// not shorten the wait: nothing could take them, and the wait would spin.
int MsUntilNextTimer(ThreadQueue& queue, const MessageFilter& filter, uint64_t now)
    GAVIO_REQUIRES(queue.mutex);
// Forgets the timers of a window, or of an ended thread's queue (hwnd null
// and all set).
void DropTimers(ThreadQueue& queue, HWND hwnd, bool all) GAVIO_REQUIRES(queue.mutex);

}  // namespace gavio::platform
