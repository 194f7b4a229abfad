// CTimeout (component 51): one one-shot timer per instance.
#include <atomic>
#include <new>

#include "gavio/ids.h"
#include "gavio/timers.h"
#include "frame/component_base.h"
#include "runtime/timer_list.h"

namespace gavio {
namespace {

constexpr uint32_t kNoTimer = 0xFFFFFFFFu;
// Process-wide and never reused; the first timer is 1. Timers are set on
// many threads at once.
std::atomic<uint32_t> g_last_timeout_id{0};

class CTimeout final : public Component<kTimeoutId, ITimeout> {
 public:
  CTimeout() : timers_(this, &CTimeout::Fired) {}

  uint32_t SetTimeout(uint32_t milliseconds, ITimeoutEvent* sink, uint32_t param,
                      IComponent* creator) override {
    GAVIO_HOLD_OR_RETURN(0);
    creatorId_ = creator != nullptr ? creator->GetComponentID() : 0;
    ClearTimeout();
    if (sink != nullptr) {
      sink_ = sink;
      param_ = param;
      timerId_ = g_last_timeout_id.fetch_add(1) + 1;
      timers_.Add(timerId_, milliseconds);
    }
    return 0;
  }

  void ClearTimeout() override {
    if (timerId_ == kNoTimer) return;
    timers_.Kill(timerId_);
    sink_ = nullptr;
    timerId_ = kNoTimer;
    param_ = 0;
  }

  void ComponentFinalize() override { ClearTimeout(); }

 private:
  static void Fired(void* owner, uint32_t timerId, DWORD time) {
    static_cast<CTimeout*>(owner)->OnTimer(timerId, time);
  }

  // Cleared before the sink runs, so the sink may set a new timeout (or
  // destroy this instance) from inside its callback; a stale id does nothing.
  void OnTimer(uint32_t timerId, DWORD) {
    GAVIO_HOLD_OR_RETURN();
    if (timerId != timerId_ || sink_ == nullptr) return;
    ITimeoutEvent* sink = sink_;
    uint32_t param = param_;
    ClearTimeout();
    sink->OnTimeout(param);
  }

  TimerList timers_;
  uint32_t timerId_ = kNoTimer;
  ITimeoutEvent* sink_ = nullptr;
  uint32_t param_ = 0;
  uint32_t creatorId_ = 0;
};

}  // namespace

IComponent* NewTimeout() { return new (std::nothrow) CTimeout; }

}  // namespace gavio
