// Per-thread message queues and the thread's single wait.
//
// Map of this file:
//   1. Queues: one per thread, made on first use, retired when the thread
//      ends (its windows vanish, senders waiting on it get 0).
//   2. Waking: the sleep-or-wake decision and the wake descriptor.
//   3. Taking a message: posted messages in order, then the quit message,
//      then due timers; messages sent from other threads run first.
//   4. The wait: one epoll set per thread holding the wake descriptor and
//      the watched descriptors, with the next timer as its timeout, so an
//      event costs the same however many idle descriptors are watched.
//   5. The Win32 calls: posting, sending, getting, peeking, dispatching.
//
// The owner decides "nothing to do, so I sleep" in the same critical section
// that found the queue empty, by setting sleeping; whoever then adds work
// finds the flag in its own critical section, clears it and writes the wake
// descriptor once. A post to a busy owner costs no system call, a post to a
// sleeping owner one, and no post can slip between the check and the sleep.
#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/messages_internal.h"

namespace gavio::platform {

// ---- 1. Queues -----------------------------------------------------------------

ThreadQueue::ThreadQueue(DWORD id)
    : threadId(id),
      wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      epollFd(epoll_create1(EPOLL_CLOEXEC)) {
  if (wakeFd >= 0 && epollFd >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wakeFd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event);
  }
}

ThreadQueue::~ThreadQueue() {
  if (epollFd >= 0) close(epollFd);
  if (wakeFd >= 0) close(wakeFd);
}

namespace {

struct QueueRegistry {
  Mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues GAVIO_GUARDED_BY(mutex);
};

QueueRegistry& Registry() {
  static QueueRegistry* registry = new QueueRegistry;  // threads may outlive statics
  return *registry;
}

void RetireQueue(const std::shared_ptr<ThreadQueue>& queue);

// Keeps the thread's queue and retires it when the thread ends. Touched only
// when the queue is made: a thread_local with a destructor is reached
// through a guard that costs a dynamic TLS lookup on every access.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) RetireQueue(queue);
  }
};
thread_local QueueHolder t_queueHolder;
// The same queue for the hot path; valid while t_queueHolder holds it.
GAVIO_FAST_TLS thread_local ThreadQueue* t_queue = nullptr;

// The thread ended: its windows and timers go, and whoever waits for an
// answer from it gets 0.
void RetireQueue(const std::shared_ptr<ThreadQueue>& queue) {
  ForgetWindowsOfThread(queue->threadId);
  {
    MutexLock lock(Registry().mutex);
    Registry().queues.erase(queue->threadId);
  }
  std::vector<std::shared_ptr<SentMessage>> unanswered;
  {
    MutexLock lock(queue->mutex);
    queue->alive = false;
    DropTimers(*queue, nullptr, true);
    unanswered.swap(queue->sent);
    queue->posted.clear();
  }
  for (const auto& sent : unanswered) {
    sent->done.store(true, std::memory_order_release);
    Wake(*sent->sender);
  }
}

}  // namespace

ThreadQueue& CurrentQueue() {
  if (t_queue == nullptr) {
    auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
    {
      MutexLock lock(Registry().mutex);
      Registry().queues[queue->threadId] = queue;
    }
    t_queueHolder.queue = queue;
    t_queue = queue.get();
  }
  return *t_queue;
}

std::shared_ptr<ThreadQueue> CurrentQueueShared() {
  CurrentQueue();
  return t_queueHolder.queue;
}

std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId) {
  MutexLock lock(Registry().mutex);
  auto it = Registry().queues.find(threadId);
  return it == Registry().queues.end() ? nullptr : it->second;
}

bool MatchesFilter(const MSG& msg, const MessageFilter& filter) {
  if (filter.hwnd == reinterpret_cast<HWND>(-1)) {
    if (msg.hwnd != nullptr) return false;
  } else if (filter.hwnd != nullptr && msg.hwnd != filter.hwnd) {
    return false;
  }
  if (filter.min == 0 && filter.max == 0) return true;
  return msg.message >= filter.min && msg.message <= filter.max;
}

void RemoveWindowTraces(ThreadQueue& queue, HWND hwnd) {
  auto notFor = [hwnd](const MSG& m) { return m.hwnd != hwnd; };
  std::vector<MSG> kept;
  for (size_t i = queue.takenAt; i < queue.taken.size(); ++i) {
    if (notFor(queue.taken[i])) kept.push_back(queue.taken[i]);
  }
  queue.taken.swap(kept);
  queue.takenAt = 0;
  MutexLock lock(queue.mutex);
  std::vector<MSG> keptPosted;
  for (const MSG& m : queue.posted) {
    if (notFor(m)) keptPosted.push_back(m);
  }
  queue.posted.swap(keptPosted);
  DropTimers(queue, hwnd, false);
}

// ---- 2. Waking -------------------------------------------------------------------

bool ClaimSleeper(ThreadQueue& queue) {
  return queue.sleeping.load(std::memory_order_relaxed) &&
         queue.sleeping.exchange(false, std::memory_order_relaxed);
}

void Wake(ThreadQueue& queue) {
  uint64_t one = 1;
  ssize_t ignored = write(queue.wakeFd, &one, sizeof one);
  (void)ignored;  // the counter can only be full if nobody reads it: already woken
}

namespace {

void DrainWake(ThreadQueue& queue) {
  uint64_t count;
  ssize_t ignored = read(queue.wakeFd, &count, sizeof count);
  (void)ignored;
}

// ---- 3. Taking a message ------------------------------------------------------------

// Runs every message other threads sent to this thread, in order.
void ServeSentMessages(ThreadQueue& queue) {
  while (queue.hasSent.load(std::memory_order_acquire)) {
    std::shared_ptr<SentMessage> sent;
    {
      MutexLock lock(queue.mutex);
      if (queue.sent.empty()) {
        queue.hasSent.store(false, std::memory_order_relaxed);
        return;
      }
      sent = queue.sent.front();
      queue.sent.erase(queue.sent.begin());
      if (queue.sent.empty()) queue.hasSent.store(false, std::memory_order_relaxed);
    }
    sent->result = CallProc(sent->hwnd, sent->message, sent->wParam, sent->lParam);
    sent->done.store(true, std::memory_order_release);
    Wake(*sent->sender);  // the sender checks done before every sleep
  }
}

// The first posted message the filter lets through, from the owner's batch
// first: no lock needed there.
bool TakeFromBatch(ThreadQueue& queue, MSG* out, const MessageFilter& filter, bool remove) {
  auto& taken = queue.taken;
  for (size_t i = queue.takenAt; i < taken.size(); ++i) {
    if (!MatchesFilter(taken[i], filter)) continue;
    *out = taken[i];
    if (remove) {
      if (i == queue.takenAt) {
        ++queue.takenAt;
      } else {
        taken.erase(taken.begin() + static_cast<ptrdiff_t>(i));
      }
    }
    return true;
  }
  return false;
}

// Under the lock: posted messages (moved into the batch in one step when
// the batch is used up), then WM_QUIT, which no filter holds back, then a
// due timer the filter lets through.
bool TakeLocked(ThreadQueue& queue, MSG* out, const MessageFilter& filter, bool remove)
    GAVIO_REQUIRES(queue.mutex) {
  if (queue.takenAt == queue.taken.size() && !queue.posted.empty()) {
    queue.taken.clear();
    queue.takenAt = 0;
    queue.taken.swap(queue.posted);
    if (TakeFromBatch(queue, out, filter, remove)) return true;
  } else {
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
      if (!MatchesFilter(*it, filter)) continue;
      *out = *it;
      if (remove) queue.posted.erase(it);
      return true;
    }
  }
  if (queue.quit) {
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, GetTickCount(), {0, 0}};
    if (remove) queue.quit = false;
    return true;
  }
  return !queue.timers.empty() && TakeDueTimer(queue, out, filter, remove, MonotonicMs());
}

// ---- 4. The wait --------------------------------------------------------------------

constexpr int kEventsPerWait = 64;

// Waits on the epoll set for at most timeoutMs (-1 = no limit) and runs the
// callbacks of ready watches. Returns true when anything was ready.
bool WaitForInput(ThreadQueue& queue, int timeoutMs) {
  epoll_event events[kEventsPerWait];
  int ready = epoll_wait(queue.epollFd, events, kEventsPerWait, timeoutMs);
  // Awake again. Racing a poster that claims the flag only costs a spare
  // wake-up later, so this needs no lock.
  if (timeoutMs != 0) queue.sleeping.store(false, std::memory_order_relaxed);
  for (int i = 0; i < ready; ++i) {
    int fd = events[i].data.fd;
    if (fd == queue.wakeFd) {
      DrainWake(queue);
      continue;
    }
    // An earlier callback of this round may have removed or replaced it.
    auto it = queue.watches.find(fd);
    if (it == queue.watches.end()) continue;
    Watch watch = it->second;
    watch.callback(watch.context, fd, static_cast<short>(events[i].events));
  }
  return ready > 0;
}

// The wait of a thread waiting for the answer to its own send: only the
// wake descriptor, so no watch callback runs inside a send.
void WaitForWake(ThreadQueue& queue) {
  pollfd wake{queue.wakeFd, POLLIN, 0};
  if (poll(&wake, 1, -1) > 0) DrainWake(queue);
  queue.sleeping.store(false, std::memory_order_relaxed);
}

// Milliseconds left of a wait that may last `limit` (INFINITE: no limit),
// shortened by the next timer the filter lets through.
int SleepTime(ThreadQueue& queue, const MessageFilter& filter, DWORD limit)
    GAVIO_REQUIRES(queue.mutex) {
  int timeout = limit == INFINITE ? -1 : static_cast<int>(limit > 0x7FFFFFFF ? 0x7FFFFFFF : limit);
  int timer = queue.timers.empty() ? -1 : MsUntilNextTimer(queue, filter, MonotonicMs());
  if (timer >= 0 && (timeout < 0 || timer < timeout)) timeout = timer;
  return timeout;
}

// The loop of GetMessageA (wait) and PeekMessageA (no wait).
bool Fetch(MSG* out, const MessageFilter& filter, bool remove, bool wait) {
  ThreadQueue& queue = CurrentQueue();
  for (int round = 0;; ++round) {
    ServeSentMessages(queue);
    if (TakeFromBatch(queue, out, filter, remove)) return true;
    int timeout = 0;
    {
      MutexLock lock(queue.mutex);
      if (TakeLocked(queue, out, filter, remove)) return true;
      if (!queue.sent.empty()) continue;
      // A peek looks at the descriptors once, without sleeping.
      if (wait) {
        timeout = SleepTime(queue, filter, INFINITE);
        queue.sleeping.store(timeout != 0, std::memory_order_relaxed);
      } else if (round > 0) {
        return false;
      }
    }
    if (!WaitForInput(queue, timeout) && !wait) return false;
  }
}

}  // namespace

// ---- wait_seam.h -------------------------------------------------------------------

bool WatchFd(int fd, short events, FdCallback callback, void* context) {
  if (fd < 0 || callback == nullptr) return false;
  ThreadQueue& queue = CurrentQueue();
  if (fd == queue.wakeFd || fd == queue.epollFd) return false;
  epoll_event event{};
  event.events = static_cast<uint16_t>(events);  // the POLL* bits are the EPOLL* bits
  event.data.fd = fd;
  // The map may still hold an fd that was closed without UnwatchFd (the
  // kernel dropped it from the set) or miss one this thread re-uses.
  int op = queue.watches.count(fd) != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (epoll_ctl(queue.epollFd, op, fd, &event) != 0) {
    int retry = errno == ENOENT ? EPOLL_CTL_ADD : errno == EEXIST ? EPOLL_CTL_MOD : -1;
    if (retry < 0 || epoll_ctl(queue.epollFd, retry, fd, &event) != 0) return false;
  }
  queue.watches[fd] = Watch{events, callback, context};
  return true;
}

void UnwatchFd(int fd) {
  ThreadQueue& queue = CurrentQueue();
  if (queue.watches.erase(fd) == 0) return;
  epoll_ctl(queue.epollFd, EPOLL_CTL_DEL, fd, nullptr);  // fails harmlessly once fd is closed
}

void WakeThread(DWORD threadId) {
  if (auto queue = QueueOfThread(threadId)) Wake(*queue);
}

}  // namespace gavio::platform

using namespace gavio::platform;

// ---- 5. The Win32 calls -----------------------------------------------------------

namespace {

// The time stamp of a posted message: the clock of GetTickCount read at the
// scheduler tick's resolution (Windows stamps messages at a similar one),
// which costs no hardware counter read on the hot path of posting.
DWORD MessageTime() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

BOOL PostTo(ThreadQueue& queue, const MSG& msg) {
  bool wake;
  {
    MutexLock lock(queue.mutex);
    if (!queue.alive) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return FALSE;
    }
    queue.posted.push_back(msg);
    wake = ClaimSleeper(queue);
  }
  if (wake) Wake(queue);
  return TRUE;
}

}  // namespace

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  MSG m{hwnd, msg, wParam, lParam, MessageTime(), {0, 0}};
  if (hwnd == nullptr) return PostTo(CurrentQueue(), m);
  const WindowRoute* route = RouteOf(hwnd);
  ThreadQueue* queue = route != nullptr ? route->ownerQueue : nullptr;  // kept by the route
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
  return PostTo(*queue, MSG{nullptr, msg, wParam, lParam, MessageTime(), {0, 0}});
}

void PostQuitMessage(int32_t exitCode) {
  ThreadQueue& queue = CurrentQueue();
  MutexLock lock(queue.mutex);
  queue.quit = true;
  queue.quitCode = exitCode;
  // Only the owner posts its own quit, and the owner is not asleep.
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> window = FindWindow(hwnd);
  if (window == nullptr) {
    const RemoteWindowHooks* hooks = RemoteHooks();
    if (hooks != nullptr && hooks->is_remote(hwnd)) return hooks->send(hwnd, msg, wParam, lParam);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (window->ownerThread == GetCurrentThreadId()) return CallProc(hwnd, msg, wParam, lParam);

  ThreadQueue& target = *window->ownerQueue;
  ThreadQueue& own = CurrentQueue();
  auto sent = std::make_shared<SentMessage>();
  sent->hwnd = hwnd;
  sent->message = msg;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->sender = CurrentQueueShared();
  bool wake;
  {
    MutexLock lock(target.mutex);
    if (!target.alive) return 0;
    target.sent.push_back(sent);
    target.hasSent.store(true, std::memory_order_release);
    wake = ClaimSleeper(target);
  }
  if (wake) Wake(target);
  for (;;) {
    // Serve what others send us meanwhile, so mutual sends cannot deadlock.
    ServeSentMessages(own);
    {
      MutexLock lock(own.mutex);
      if (sent->done.load(std::memory_order_acquire)) return sent->result;
      if (!own.sent.empty()) continue;
      own.sleeping.store(true, std::memory_order_relaxed);
    }
    WaitForWake(own);  // the answer always writes our wake descriptor
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
  Fetch(msg, MessageFilter{hwnd, filterMin, filterMax}, true, true);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  MessageFilter filter{hwnd, filterMin, filterMax};
  return Fetch(msg, filter, (removeFlags & PM_REMOVE) != 0, false) ? TRUE : FALSE;
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
  if (proc == nullptr || route->ownerThread != GetCurrentThreadId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WaitMessageTimeout(DWORD milliseconds) {
  ThreadQueue& queue = CurrentQueue();
  ServeSentMessages(queue);
  const MessageFilter all{nullptr, 0, 0};
  int timeout;
  {
    MutexLock lock(queue.mutex);
    if (queue.takenAt < queue.taken.size() || !queue.posted.empty() || queue.quit ||
        !queue.sent.empty()) {
      return TRUE;
    }
    timeout = SleepTime(queue, all, milliseconds);
    queue.sleeping.store(timeout != 0, std::memory_order_relaxed);
  }
  return WaitForInput(queue, timeout) ? TRUE : FALSE;
}
