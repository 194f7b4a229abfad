// Child processes. Each child gets a small reaper thread that waits for it,
// so the handle can be waited on like any other object and no zombie is
// left behind when nobody waits.
#include "platform/processes.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/sync.h"

extern char** environ;

namespace gavio::platform {
namespace {

struct ProcessState {
  std::mutex mutex;
  std::condition_variable cv;
  pid_t pid = 0;
  bool finished = false;
  bool terminated = false;
  DWORD terminate_code = 0;
  DWORD exit_code = STILL_ACTIVE;
};

DWORD ExitCodeOf(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<DWORD>(WTERMSIG(status));
  return 1;
}

// Waits for the end without collecting the child first, and collects it
// under the lock: while finished is false the pid cannot have been reused,
// so TerminateProcess never signals a stranger.
void Reap(std::shared_ptr<ProcessState> state) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(state->pid), &info, WEXITED | WNOWAIT) < 0 &&
         errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    int status = 0;
    while (waitpid(state->pid, &status, 0) < 0 && errno == EINTR) {
    }
    state->exit_code = state->terminated ? state->terminate_code : ExitCodeOf(status);
    state->finished = true;
  }
  state->cv.notify_all();
}

class Process : public KernelObject {
 public:
  explicit Process(std::shared_ptr<ProcessState> state) : state_(std::move(state)) {}

  DWORD Wait(DWORD ms) override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    auto finished = [this] { return state_->finished; };
    if (ms == INFINITE) {
      state_->cv.wait(lock, finished);
      return WAIT_OBJECT_0;
    }
    return state_->cv.wait_for(lock, std::chrono::milliseconds(ms), finished) ? WAIT_OBJECT_0
                                                                             : WAIT_TIMEOUT;
  }
  ProcessState& state() { return *state_; }

 private:
  std::shared_ptr<ProcessState> state_;
};

}  // namespace
}  // namespace gavio::platform

using namespace gavio::platform;

HANDLE GavioCreateProcess(const char* program, const char* const* argv, DWORD* processId) {
  if (program == nullptr || program[0] == '\0' || argv == nullptr || argv[0] == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<ProcessState>();
  pid_t pid = 0;
  int rc = strchr(program, '/') != nullptr
               ? posix_spawn(&pid, program, nullptr, nullptr, const_cast<char* const*>(argv),
                             environ)
               : posix_spawnp(&pid, program, nullptr, nullptr, const_cast<char* const*>(argv),
                              environ);
  if (rc != 0) {
    SetLastError(Win32ErrorFromErrno(rc));
    return nullptr;
  }
  state->pid = pid;
  std::thread(Reap, state).detach();
  if (processId != nullptr) *processId = static_cast<DWORD>(pid);
  return new Process(state);
}

DWORD GetProcessId(HANDLE handle) {
  HandleRef<Process> process(handle);
  return !process ? 0 : static_cast<DWORD>(process->state().pid);
}

BOOL GetExitCodeProcess(HANDLE handle, DWORD* exitCode) {
  HandleRef<Process> process(handle);
  if (!process || exitCode == nullptr) {
    if (process) SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(process->state().mutex);
  *exitCode = process->state().exit_code;
  return TRUE;
}

BOOL TerminateProcess(HANDLE handle, UINT exitCode) {
  HandleRef<Process> process(handle);
  if (!process) return FALSE;
  ProcessState& state = process->state();
  std::lock_guard<std::mutex> lock(state.mutex);
  // The reaper has not collected the child while finished is false, so the
  // pid still names it.
  if (state.finished) return TRUE;
  state.terminated = true;
  state.terminate_code = exitCode;
  if (kill(state.pid, SIGKILL) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}
