// Timers, message boxes and the live counts.
//
// Map of this file:
//   1. How the queue sees timers: the due timer a fetch may take, the time
//      a wait may sleep, forgetting a window's or an ended thread's timers.
//   2. SetTimer and KillTimer.
//   3. Message boxes (a replaceable handler) and the counts tests check.
//
// A timer lives in the queue of the thread it belongs to and becomes a
// WM_TIMER only when fetched, so it never has more than one message pending.
#include <atomic>
#include <string>

#include "platform/errors.h"
#include "platform/messages_internal.h"

namespace gavio::platform {
namespace {

std::atomic<uint32_t> g_liveTimers{0};
std::atomic<uint32_t> g_nextThreadTimerId{1};

MSG TimerMessage(const Timer& timer, uint64_t now) {
  return MSG{timer.hwnd, WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.proc),
             static_cast<DWORD>(now), {0, 0}};
}

}  // namespace

// ---- 1. Timers as the queue sees them ----------------------------------------

bool TakeDueTimer(ThreadQueue& queue, MSG* out, const MessageFilter& filter, bool remove,
                  uint64_t now) {
  for (Timer& timer : queue.timers) {
    if (timer.due > now) continue;
    MSG msg = TimerMessage(timer, now);
    if (!MatchesFilter(msg, filter)) continue;
    if (remove) timer.due = now + timer.period;
    *out = msg;
    return true;
  }
  return false;
}

int MsUntilNextTimer(ThreadQueue& queue, const MessageFilter& filter, uint64_t now) {
  uint64_t next = UINT64_MAX;
  for (const Timer& timer : queue.timers) {
    if (timer.due >= next || !MatchesFilter(TimerMessage(timer, now), filter)) continue;
    next = timer.due;
  }
  if (next == UINT64_MAX) return -1;
  if (next <= now) return 0;
  return next - now > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(next - now);
}

void DropTimers(ThreadQueue& queue, HWND hwnd, bool all) {
  auto& timers = queue.timers;
  for (auto it = timers.begin(); it != timers.end();) {
    if (all || it->hwnd == hwnd) {
      it = timers.erase(it);
      g_liveTimers.fetch_sub(1, std::memory_order_relaxed);
    } else {
      ++it;
    }
  }
}

}  // namespace gavio::platform

using namespace gavio::platform;

// ---- 2. SetTimer and KillTimer -----------------------------------------------

namespace {

// The queue a timer of hwnd belongs to: the caller's for a thread timer,
// the owner's for a window timer (null when the window does not exist).
std::shared_ptr<ThreadQueue> TimerQueue(HWND hwnd) {
  if (hwnd == nullptr) return CurrentQueueShared();
  std::shared_ptr<Window> window = FindWindow(hwnd);
  return window != nullptr ? window->ownerQueue : nullptr;
}

}  // namespace

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  std::shared_ptr<ThreadQueue> queue = TimerQueue(hwnd);
  if (queue == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  UINT period = elapse == 0 ? 1 : elapse;
  UINT_PTR result = id;
  bool found = false;
  bool wake = false;
  {
    MutexLock lock(queue->mutex);
    uint64_t due = MonotonicMs() + period;
    // A window timer is named by (hwnd, id); a thread timer by the id
    // SetTimer returned, which the caller may hand back to re-arm it.
    for (Timer& timer : queue->timers) {
      if (timer.hwnd == hwnd && timer.id == id && (hwnd != nullptr || id != 0)) {
        timer.period = period;
        timer.proc = proc;
        timer.due = due;
        found = true;
        break;
      }
    }
    if (!found) {
      result = hwnd != nullptr ? id : g_nextThreadTimerId.fetch_add(1, std::memory_order_relaxed);
      queue->timers.push_back(Timer{hwnd, result, period, proc, due});
      g_liveTimers.fetch_add(1, std::memory_order_relaxed);
    }
    wake = ClaimSleeper(*queue);
  }
  if (wake) Wake(*queue);
  // Windows answers a window timer with id 0 by 1.
  return result != 0 ? result : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::shared_ptr<ThreadQueue> queue = TimerQueue(hwnd);
  if (queue != nullptr) {
    MutexLock lock(queue->mutex);
    for (auto it = queue->timers.begin(); it != queue->timers.end(); ++it) {
      if (it->hwnd == hwnd && it->id == id) {
        queue->timers.erase(it);
        g_liveTimers.fetch_sub(1, std::memory_order_relaxed);
        return TRUE;
      }
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// ---- 3. Message boxes and counts ---------------------------------------------

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

std::atomic<GavioMessageBoxHandler> g_messageBox{DefaultMessageBox};

}  // namespace

int32_t MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  return g_messageBox.load()(owner, text, caption, type);
}

GavioMessageBoxHandler GavioSetMessageBoxHandler(GavioMessageBoxHandler handler) {
  return g_messageBox.exchange(handler != nullptr ? handler : DefaultMessageBox);
}

DWORD GavioLiveTimerCount(void) { return g_liveTimers.load(); }
