// Window timer service component (795). Every instance is a handle on one
// process-wide timer table; the instance's address is its owner key.
//
// The table owns one hidden window, made by a window maker (33) on the
// first timer and destroyed when the last owner releases. Platform timers
// are window timers on it, named by the table's own ids. The table's state
// is guarded by one mutex, taken only for bookkeeping: platform calls that
// send messages and every sink call run without it, so a sink may kill or
// set timers, or release its instance, from inside its call.
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "gavio/docs.h"
#include "gavio/ids.h"
#include "host/factories.h"
#include "platform/messages.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"

namespace gavio {
namespace {

struct TimerEntry {
  uint32_t timerId;
  uint32_t param;
  IWindowTimerEvent* sink;
};

class TimerTable final : public IWindowSink {
 public:
  // Never destroyed: instances may outlive static destruction order.
  static TimerTable& Instance() {
    static TimerTable* table = new TimerTable();
    return *table;
  }

  uint32_t Set(const void* owner, uint32_t milliseconds, uint32_t param,
               IWindowTimerEvent* sink) {
    HWND window = EnsureWindow();
    if (window == nullptr) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t id = NextTimerId();
    if (::SetTimer(window, id, milliseconds, nullptr) == 0) return 0;
    owners_[owner].push_back(TimerEntry{id, param, sink});
    return id;
  }

  int32_t ChangePeriod(const void* owner, uint32_t timerId, uint32_t milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (window_ == nullptr || Find(owner, timerId) == nullptr) return 0;
    return ::SetTimer(window_, timerId, milliseconds, nullptr) != 0 ? 1 : 0;
  }

  int32_t Kill(const void* owner, uint32_t timerId) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = owners_.find(owner);
    if (found == owners_.end()) return 0;
    std::vector<TimerEntry>& entries = found->second;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->timerId != timerId) continue;
      ::KillTimer(window_, timerId);
      entries.erase(it);
      return 1;
    }
    return 0;
  }

  void KillAll(const void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = owners_.find(owner);
    if (found == owners_.end()) return;
    for (const TimerEntry& entry : found->second) ::KillTimer(window_, entry.timerId);
    owners_.erase(found);
  }

  void Release(const void* owner) {
    KillAll(owner);
    IComponent* maker = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!owners_.empty() || maker_ == nullptr) return;
      maker = maker_;
      maker_ = nullptr;
      window_ = nullptr;
    }
    maker->Destroy(0);  // destroys the window it made
  }

  // Timer messages of the hidden window go to the first owner (in key
  // order) that holds the id. Returns 0 so default handling runs as well.
  int32_t OnWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM, LRESULT*) override {
    if (message != WM_TIMER) return 0;
    TimerEntry fired{};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (window != window_) return 0;
      for (const auto& [owner, entries] : owners_) {
        const TimerEntry* entry = FindIn(entries, static_cast<uint32_t>(wParam));
        if (entry == nullptr) continue;
        fired = *entry;
        break;
      }
    }
    if (fired.sink != nullptr) fired.sink->OnWindowTimer(fired.timerId, fired.param);
    return 0;
  }

 private:
  TimerTable() = default;

  HWND EnsureWindow() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (window_ != nullptr) return window_;
    }
    // Made outside the lock: creation sends messages to the maker.
    auto* maker = CreateComponentAs<IWindowMaker>(kWindowMakerId);
    HWND window = nullptr;
    if (maker == nullptr || maker->MakeWindow(&window, this) == 0) {
      if (maker != nullptr) maker->Destroy(0);
      return nullptr;
    }
    HWND kept = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (window_ == nullptr) {
        window_ = window;
        maker_ = maker;
        return window_;
      }
      kept = window_;
    }
    maker->Destroy(0);  // another thread made one meanwhile
    return kept;
  }

  static const TimerEntry* FindIn(const std::vector<TimerEntry>& entries, uint32_t timerId) {
    for (const TimerEntry& entry : entries) {
      if (entry.timerId == timerId) return &entry;
    }
    return nullptr;
  }

  // REQUIRES: mutex_ held.
  const TimerEntry* Find(const void* owner, uint32_t timerId) const {
    auto found = owners_.find(owner);
    return found != owners_.end() ? FindIn(found->second, timerId) : nullptr;
  }

  // REQUIRES: mutex_ held. Never 0, never an id still in use.
  uint32_t NextTimerId() {
    for (;;) {
      ++lastTimerId_;
      if (lastTimerId_ == 0) continue;
      bool inUse = false;
      for (const auto& [owner, entries] : owners_) inUse = inUse || FindIn(entries, lastTimerId_);
      if (!inUse) return lastTimerId_;
    }
  }

  std::mutex mutex_;
  HWND window_ = nullptr;
  IComponent* maker_ = nullptr;
  uint32_t lastTimerId_ = 0;
  std::map<const void*, std::vector<TimerEntry>> owners_;
};

class CWindowTimerService final : public Component<kWindowTimerServiceId, IWindowTimerService> {
 public:
  int32_t ChangePeriod(uint32_t timerId, uint32_t milliseconds) override {
    GAVIO_HOLD_OR_RETURN(0);
    return TimerTable::Instance().ChangePeriod(this, timerId, milliseconds);
  }

  uint32_t SetWindowTimer(uint32_t milliseconds, uint32_t param,
                          IWindowTimerEvent* sink) override {
    GAVIO_HOLD_OR_RETURN(0);
    return TimerTable::Instance().Set(this, milliseconds, param, sink);
  }

  int32_t KillWindowTimer(uint32_t timerId) override {
    GAVIO_HOLD_OR_RETURN(0);
    return TimerTable::Instance().Kill(this, timerId);
  }

  void KillAllTimers() override {
    GAVIO_HOLD_OR_RETURN();
    TimerTable::Instance().KillAll(this);
  }

  void Release() override {
    GAVIO_HOLD_OR_RETURN();
    TimerTable::Instance().Release(this);
  }

  void ComponentFinalize() override { TimerTable::Instance().Release(this); }
};

}  // namespace

IComponent* NewWindowTimerService() { return new (std::nothrow) CWindowTimerService(); }

}  // namespace gavio
