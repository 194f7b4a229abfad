// CTimeout (component 51): one one-shot timer per instance.
#include <new>

#include "gavio/ids.h"
#include "gavio/timers.h"
#include "host/factories.h"
#include "frame/component_base.h"
#include "runtime/timer_list.h"

namespace gavio {
namespace {

constexpr uint32_t kNoTimer = 0xFFFFFFFFu;
uint32_t g_last_timeout_id = 0;  // process-wide, never reused; first is 1

class CTimeout final : public Component<kTimeoutId, ITimeout> {
 public:
  CTimeout() : timers_(this, &CTimeout::Fired) {}

  uint32_t SetTimeout(uint32_t milliseconds, ITimeoutEvent* sink, uint32_t param,
                      IComponent* creator) override {
    GAVIO_HOLD_OR_RETURN(0);
    creator_id_ = creator != nullptr ? creator->GetComponentID() : 0;
    ClearTimeout();
    if (sink != nullptr) {
      sink_ = sink;
      param_ = param;
      timer_id_ = ++g_last_timeout_id;
      timers_.Add(timer_id_, milliseconds);
    }
    return 0;
  }

  void ClearTimeout() override {
    if (timer_id_ == kNoTimer) return;
    timers_.Kill(timer_id_);
    sink_ = nullptr;
    timer_id_ = kNoTimer;
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
    if (timerId != timer_id_ || sink_ == nullptr) return;
    ITimeoutEvent* sink = sink_;
    uint32_t param = param_;
    ClearTimeout();
    sink->OnTimeout(param);
  }

  TimerList timers_;
  uint32_t timer_id_ = kNoTimer;
  ITimeoutEvent* sink_ = nullptr;
  uint32_t param_ = 0;
  uint32_t creator_id_ = 0;
};

}  // namespace

IComponent* NewTimeout() { return new (std::nothrow) CTimeout; }

}  // namespace gavio
