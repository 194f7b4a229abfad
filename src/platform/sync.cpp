// Critical sections, events and threads.
//
// Threads are created detached; a thread handle owns a shared state block
// that the thread also holds, so either side may go first. Suspension is
// cooperative (see sync.h): a suspended thread holds at its next
// SuspensionPoint, and a thread created suspended holds before its body.
#include "platform/sync.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "platform/errors.h"
#include "platform/handles.h"

namespace gavio::platform {
namespace {

// Waits on cv until ready() or the time passes; returns ready().
template <class Ready>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD ms,
             Ready ready) {
  if (ms == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
}

class Event : public KernelObject {
 public:
  Event(bool manual, bool initial) : manual_(manual), signalled_(initial) {}

  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    if (manual_) {
      cv_.notify_all();
    } else {
      cv_.notify_one();
    }
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
  }
  DWORD Wait(DWORD ms) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!WaitFor(cv_, lock, ms, [this] { return signalled_; })) return WAIT_TIMEOUT;
    if (!manual_) signalled_ = false;
    return WAIT_OBJECT_0;
  }

 private:
  const bool manual_;
  bool signalled_;
  std::mutex mutex_;
  std::condition_variable cv_;
};

struct ThreadState {
  std::mutex mutex;
  std::condition_variable cv;
  LPTHREAD_START_ROUTINE start = nullptr;
  void* parameter = nullptr;
  DWORD thread_id = 0;
  bool id_known = false;
  int suspend_count = 0;
  bool finished = false;
  bool abandoned = false;
  DWORD exit_code = STILL_ACTIVE;
  int32_t priority = THREAD_PRIORITY_NORMAL;
};

thread_local std::shared_ptr<ThreadState> t_current;

// Holds while the thread is suspended (an abandoned thread never holds).
void HoldWhileSuspended(ThreadState& state) {
  std::unique_lock<std::mutex> lock(state.mutex);
  state.cv.wait(lock, [&] { return state.suspend_count == 0 || state.abandoned; });
}

void* ThreadMain(void* raw) {
  auto* slot = static_cast<std::shared_ptr<ThreadState>*>(raw);
  t_current = std::move(*slot);
  delete slot;
  ThreadState& state = *t_current;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.thread_id = GetCurrentThreadId();
    state.id_known = true;
  }
  state.cv.notify_all();
  HoldWhileSuspended(state);
  DWORD code = state.start(state.parameter);
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.abandoned) state.exit_code = code;
    state.finished = true;
  }
  state.cv.notify_all();
  return nullptr;
}

class Thread : public KernelObject {
 public:
  explicit Thread(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}

  DWORD Wait(DWORD ms) override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return WaitFor(state_->cv, lock, ms, [this] { return state_->finished; }) ? WAIT_OBJECT_0
                                                                             : WAIT_TIMEOUT;
  }
  ThreadState& state() { return *state_; }

 private:
  std::shared_ptr<ThreadState> state_;
};

struct CriticalSectionStorage {
  pthread_mutex_t mutex;
};
static_assert(sizeof(CriticalSectionStorage) <= sizeof(CRITICAL_SECTION));

pthread_mutex_t* MutexOf(CRITICAL_SECTION* cs) {
  return &reinterpret_cast<CriticalSectionStorage*>(cs->opaque)->mutex;
}

}  // namespace
}  // namespace gavio::platform

using namespace gavio::platform;

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
  if (cs == nullptr) return;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(MutexOf(cs), &attr);
  pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
  if (cs != nullptr) pthread_mutex_destroy(MutexOf(cs));
}
void EnterCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_lock(MutexOf(cs)); }
void LeaveCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_unlock(MutexOf(cs)); }
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
  return pthread_mutex_trylock(MutexOf(cs)) == 0 ? TRUE : FALSE;
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
  auto* event = new (std::nothrow) Event(manualReset != 0, initialState != 0);
  if (!event) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return event;
}

BOOL SetEvent(HANDLE handle) {
  HandleRef<Event> event(handle);
  if (!event) return FALSE;
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  HandleRef<Event> event(handle);
  if (!event) return FALSE;
  event->Reset();
  return TRUE;
}

// The wait holds its own reference: a CloseHandle meanwhile only closes the
// handle, and the object lives until this wait is over.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  HandleRef<KernelObject> object(handle);
  if (!object) return WAIT_FAILED;
  return object->Wait(milliseconds);
}

BOOL CloseHandle(HANDLE handle) { return CloseObject(handle) ? TRUE : FALSE; }

HANDLE CreateThread(void*, size_t stackSize, LPTHREAD_START_ROUTINE start, void* parameter,
                    DWORD flags, DWORD* threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  state->start = start;
  state->parameter = parameter;
  state->suspend_count = (flags & CREATE_SUSPENDED) != 0 ? 1 : 0;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize < 65536 ? 65536 : stackSize);
  auto* slot = new std::shared_ptr<ThreadState>(state);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, ThreadMain, slot);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete slot;
    SetLastError(Win32ErrorFromErrno(rc));
    return nullptr;
  }
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->cv.wait(lock, [&] { return state->id_known; });
  }
  if (threadId != nullptr) *threadId = state->thread_id;
  return new Thread(state);
}

DWORD GetThreadId(HANDLE handle) {
  HandleRef<Thread> thread(handle);
  return !thread ? 0 : thread->state().thread_id;
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
  HandleRef<Thread> thread(handle);
  if (!thread || exitCode == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(thread->state().mutex);
  *exitCode = thread->state().exit_code;
  return TRUE;
}

DWORD SuspendThread(HANDLE handle) {
  HandleRef<Thread> thread(handle);
  if (!thread) return 0xFFFFFFFFu;
  ThreadState& state = thread->state();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.finished) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFFu;
  }
  return static_cast<DWORD>(state.suspend_count++);
}

DWORD ResumeThread(HANDLE handle) {
  HandleRef<Thread> thread(handle);
  if (!thread) return 0xFFFFFFFFu;
  ThreadState& state = thread->state();
  DWORD previous;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    previous = static_cast<DWORD>(state.suspend_count);
    if (state.suspend_count > 0) --state.suspend_count;
  }
  state.cv.notify_all();
  return previous;
}

void SuspensionPoint(void) {
  if (t_current) HoldWhileSuspended(*t_current);
}

int32_t GetThreadPriority(HANDLE handle) {
  HandleRef<Thread> thread(handle);
  if (!thread) return THREAD_PRIORITY_ERROR_RETURN;
  std::lock_guard<std::mutex> lock(thread->state().mutex);
  return thread->state().priority;
}

// Raising a thread's priority needs privileges on Linux; the value is kept
// so callers read back what they set, and the scheduler is left alone.
BOOL SetThreadPriority(HANDLE handle, int32_t priority) {
  HandleRef<Thread> thread(handle);
  if (!thread) return FALSE;
  if (priority < -15 || priority > 15) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(thread->state().mutex);
  thread->state().priority = priority;
  return TRUE;
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
  HandleRef<Thread> thread(handle);
  if (!thread) return FALSE;
  ThreadState& state = thread->state();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.finished) {
      state.abandoned = true;
      state.finished = true;
      state.exit_code = exitCode;
    }
  }
  state.cv.notify_all();
  return TRUE;
}

BOOL IsThreadAbandoned(void) {
  if (!t_current) return FALSE;
  std::lock_guard<std::mutex> lock(t_current->mutex);
  return t_current->abandoned ? TRUE : FALSE;
}
