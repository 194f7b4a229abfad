// The timer entries of one CInterval or CTimeout instance, on the
// platform's thread timers.
//
// The platform's timer procedure carries no user argument, so a
// process-wide table maps each platform timer handle back to its list.
// Entries are created on first reference and removed when their timer is
// killed, so an owner that re-arms under a fresh id (a timeout set again
// from its own callback) keeps one entry, not one per firing.
//
// Thread safety: a list is used on the thread that set its timers; the
// handle table is locked because other threads' lists share it.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/types.h"

namespace gavio {

class TimerList {
 public:
  // Runs on the setting thread when the timer of timerId fires.
  using Callback = void (*)(void* owner, uint32_t timerId, DWORD time);

  TimerList(void* owner, Callback callback) : owner_(owner), callback_(callback) {}
  ~TimerList();
  TimerList(const TimerList&) = delete;
  TimerList& operator=(const TimerList&) = delete;

  // Finds or creates the entry of timerId, kills any platform timer it
  // still has and sets a new one with the period. False when the platform
  // refused.
  bool Add(uint32_t timerId, uint32_t milliseconds);
  // Kills the platform timer of timerId and forgets its entry.
  void Kill(uint32_t timerId);
  // The number of entries (for tests).
  size_t EntryCount() const { return entries_.size(); }

 private:
  struct Entry {
    uint32_t timerId;
    UINT_PTR handle;  // 0 when no platform timer runs
  };
  static void TimerProc(HWND, UINT, UINT_PTR handle, DWORD time);
  Entry& FindOrCreate(uint32_t timerId);
  void KillEntry(Entry& entry);

  void* owner_;
  Callback callback_;
  std::vector<Entry> entries_;
};

}  // namespace gavio
