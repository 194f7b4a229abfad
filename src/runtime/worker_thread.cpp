// Worker thread component (132).
//
// Abandoning a thread safely: the thread never sees the component. It owns
// a reference to a small shared block (the sink, the stop flag, the
// abandoned flag and a copy of the log sink) that lives until both the
// component and the thread let go of it. Every sink call starts with a check
// of the abandoned flag under the block's mutex, the last thing before the
// call (a log line may block on a slow debugger output, so none comes in
// between), and a stop that times out sets that flag under the same mutex
// before it returns; so once Stop has returned, no new sink call can begin.
// The call in flight (the step that did not return in time) is the caller's
// own code and runs on; when it returns, the thread finds the flag and ends,
// touching nothing but the block.
//
// The platform's suspension is cooperative: the body offers a suspension
// point before every step, so Suspend holds the loop between steps.
#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

constexpr DWORD kThreadExitCode = 1;
constexpr DWORD kResumeFailed = 0xFFFFFFFFu;

struct WorkerShared {
  WorkerShared(IThreadSink* s, const LogSink& l) : sink(s), log(l) {}

  IThreadSink* const sink;
  LogSink log;
  std::atomic<bool> stopRequested{false};
  std::mutex mutex;
  bool abandoned = false;           // guarded by mutex
  HANDLE handleToClose = nullptr;   // guarded by mutex; set when the component went first
};

// Starts a sink call unless the thread was abandoned.
bool MayCallSink(WorkerShared& shared) {
  std::lock_guard<std::mutex> lock(shared.mutex);
  return !shared.abandoned;
}

DWORD WorkerBody(void* parameter) {
  std::shared_ptr<WorkerShared> shared;
  {
    auto* handed = static_cast<std::shared_ptr<WorkerShared>*>(parameter);
    shared = std::move(*handed);
    delete handed;
  }
  const DWORD threadId = GetCurrentThreadId();
  // A log line may block (a slow debugger output) while a stop times out:
  // it is written only while the thread is wanted, and the sink call that
  // follows asks again.
  if (!MayCallSink(*shared)) return kThreadExitCode;
  shared->log.Trace("Thread 0x%X Entry....\n", threadId);
  if (!MayCallSink(*shared)) return kThreadExitCode;
  shared->sink->OnThreadEntry();
  for (;;) {
    SuspensionPoint();
    if (shared->stopRequested.load() || !MayCallSink(*shared)) break;
    if (shared->sink->OnThreadStep() == 0) break;
  }
  if (!MayCallSink(*shared)) return kThreadExitCode;
  shared->log.Trace("Thread 0x%X Exit ...\n", threadId);
  if (!MayCallSink(*shared)) return kThreadExitCode;
  shared->sink->OnThreadExit();
  HANDLE own = nullptr;
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    own = shared->handleToClose;
  }
  if (own != nullptr) CloseHandle(own);
  return kThreadExitCode;
}

class CWorkerThread final : public Component<kWorkerThreadId, IWorkerThread> {
 public:
  CWorkerThread() : log_(nullptr, kWorkerThreadId) {}

  uint32_t GetThreadId() override {
    GAVIO_HOLD_OR_RETURN(0);
    return thread_ != nullptr ? threadId_ : 0;
  }

  int32_t Resume() override {
    GAVIO_HOLD_OR_RETURN(0);
    return thread_ != nullptr && ResumeThread(thread_) != kResumeFailed ? 1 : 0;
  }

  int32_t Suspend() override {
    GAVIO_HOLD_OR_RETURN(0);
    return thread_ != nullptr && SuspendThread(thread_) != kResumeFailed ? 1 : 0;
  }

  int32_t Wait(uint32_t timeoutMs) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (thread_ == nullptr) return 0;
    if (OnWorker()) return 1;  // waiting for its own end would never return
    return WaitForSingleObject(thread_, timeoutMs) == WAIT_TIMEOUT ? 1 : 0;
  }

  int32_t Stop(uint32_t timeoutMs) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (thread_ == nullptr) {
      log_.Trace("Work Thread not start ......\n");
      return 0;
    }
    log_.Trace("Try Stop Thread:0x%X ...\n", threadId_);
    if (OnWorker()) {
      log_.Trace("*** ERROR  *** Termianl Thread By MySelf ****\n");
      return 0;
    }
    StopThread(timeoutMs);
    return 1;
  }

  int32_t Start(IThreadSink* sink, int32_t bSuspended) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (thread_ != nullptr) {
      log_.Trace("The Thread Start Already.....\n");
      return 0;
    }
    if (sink == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    auto shared = std::make_shared<WorkerShared>(sink, log_);
    auto* handed = new std::shared_ptr<WorkerShared>(shared);
    DWORD threadId = 0;
    // Created held, so a suspended start never lets the thread begin.
    HANDLE thread = CreateThread(nullptr, 0, WorkerBody, handed, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
      delete handed;
      log_.Trace("*** Thread Create Failed \n");
      return 0;
    }
    thread_ = thread;
    threadId_ = threadId;
    shared_ = std::move(shared);
    SetThreadPriority(thread_, THREAD_PRIORITY_NORMAL);
    if (bSuspended == 0) ResumeThread(thread_);
    log_.Trace("Thread:0x%X Create Successs...\n", threadId_);
    return 1;
  }

  int32_t GetPriority() override {
    GAVIO_HOLD_OR_RETURN(THREAD_PRIORITY_ERROR_RETURN);
    return thread_ != nullptr ? GetThreadPriority(thread_) : THREAD_PRIORITY_ERROR_RETURN;
  }

  int32_t SetPriority(int32_t priority) override {
    GAVIO_HOLD_OR_RETURN(0);
    return thread_ != nullptr && SetThreadPriority(thread_, priority) ? 1 : 0;
  }

  void ComponentFinalize() override {
    if (thread_ == nullptr) return;
    if (!OnWorker()) {
      log_.Trace("Try Stop Thread:0x%X ...\n", threadId_);
      StopThread(INFINITE);
      return;
    }
    // Destroyed from inside a sink call: the thread ends after that call
    // and closes its own handle; the component goes away at once.
    log_.Trace("*** ERROR  *** Release Thread By MySelf ****\n");
    shared_->stopRequested.store(true);
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->handleToClose = thread_;
    }
    Forget();
  }

 private:
  bool OnWorker() const { return GetCurrentThreadId() == threadId_; }

  void StopThread(uint32_t timeoutMs) {
    // The flag goes up before the thread is released, so a thread that was
    // held never begins another step; and a stop must reach a suspended
    // thread however often it was suspended.
    shared_->stopRequested.store(true);
    for (DWORD previous = ResumeThread(thread_); previous > 1 && previous != kResumeFailed;
         previous = ResumeThread(thread_)) {
    }
    if (WaitForSingleObject(thread_, timeoutMs) == WAIT_TIMEOUT) {
      log_.Trace("ERROR: TIME OUT, TerminateThread 0x%X ...\n", threadId_);
      {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->abandoned = true;
      }
      TerminateThread(thread_, kThreadExitCode);
    }
    CloseHandle(thread_);
    Forget();
  }

  void Forget() {
    thread_ = nullptr;
    threadId_ = 0;
    shared_.reset();
  }

  LogSink log_;
  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  std::shared_ptr<WorkerShared> shared_;
};

}  // namespace

IComponent* NewWorkerThread() { return new (std::nothrow) CWorkerThread(); }

}  // namespace gavio
