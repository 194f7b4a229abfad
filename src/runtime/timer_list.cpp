#include "runtime/timer_list.h"

#include <mutex>
#include <unordered_map>

#include "platform/messages.h"

namespace gavio {
namespace {

std::mutex g_handles_mutex;
std::unordered_map<UINT_PTR, TimerList*>& Handles() {
  static auto* handles = new std::unordered_map<UINT_PTR, TimerList*>;
  return *handles;
}

}  // namespace

TimerList::~TimerList() {
  for (Entry& entry : entries_) KillEntry(entry);
}

TimerList::Entry& TimerList::FindOrCreate(uint32_t timerId) {
  for (Entry& entry : entries_) {
    if (entry.timerId == timerId) return entry;
  }
  entries_.push_back(Entry{timerId, 0});
  return entries_.back();
}

void TimerList::KillEntry(Entry& entry) {
  if (entry.handle == 0) return;
  KillTimer(nullptr, entry.handle);
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  Handles().erase(entry.handle);
  entry.handle = 0;
}

bool TimerList::Add(uint32_t timerId, uint32_t milliseconds) {
  Entry& entry = FindOrCreate(timerId);
  KillEntry(entry);
  entry.handle = SetTimer(nullptr, 0, milliseconds, TimerProc);
  if (entry.handle == 0) return false;
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  Handles()[entry.handle] = this;
  return true;
}

void TimerList::Kill(uint32_t timerId) {
  for (Entry& entry : entries_) {
    if (entry.timerId == timerId) KillEntry(entry);
  }
  std::erase_if(entries_, [timerId](const Entry& entry) { return entry.timerId == timerId; });
}

void TimerList::TimerProc(HWND, UINT, UINT_PTR handle, DWORD time) {
  TimerList* list = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    auto it = Handles().find(handle);
    if (it != Handles().end()) list = it->second;
  }
  if (list == nullptr) return;
  for (const Entry& entry : list->entries_) {
    if (entry.handle == handle) {
      // The callback may kill this entry, or destroy the owner and with it
      // this list: nothing of either is touched after it.
      list->callback_(list->owner_, entry.timerId, time);
      return;
    }
  }
}

}  // namespace gavio
