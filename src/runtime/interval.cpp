// CInterval (component 50): one repeating timer per instance.
#include <new>

#include "gavio/ids.h"
#include "gavio/timers.h"
#include "host/factories.h"
#include "frame/component_base.h"
#include "runtime/timer_list.h"

namespace gavio {
namespace {

constexpr uint32_t kNoTimer = 0xFFFFFFFFu;
// Process-wide and never reused; the first timer is 1. Used on timer
// threads only, as the platform timers are.
uint32_t g_last_interval_id = 0;

class CInterval final : public Component<kIntervalId, IInterval> {
 public:
  CInterval() : timers_(this, &CInterval::Fired) {}

  uint32_t SetInterval(uint32_t milliseconds, IIntervalEvent* sink, uint32_t param,
                       uint32_t reserved, IComponent* creator) override {
    GAVIO_HOLD_OR_RETURN(0);
    creator_id_ = creator != nullptr ? creator->GetComponentID() : 0;
    ClearInterval();
    if (sink != nullptr) {
      period_ = milliseconds;
      reserved_ = reserved;
      sink_ = sink;
      param_ = param;
      timer_id_ = ++g_last_interval_id;
      timers_.Add(timer_id_, milliseconds);
    }
    return 0;
  }

  void ClearInterval() override {
    if (timer_id_ == kNoTimer) return;
    timers_.Kill(timer_id_);
    sink_ = nullptr;
    timer_id_ = kNoTimer;
    param_ = 0;
  }

  void ComponentFinalize() override { ClearInterval(); }

 private:
  static void Fired(void* owner, uint32_t timerId, DWORD time) {
    static_cast<CInterval*>(owner)->OnTimer(timerId, time);
  }

  void OnTimer(uint32_t timerId, DWORD) {
    // Held so the sink may destroy this instance from inside its callback.
    GAVIO_HOLD_OR_RETURN();
    if (timerId == timer_id_ && sink_ != nullptr) sink_->OnInterval(param_);
  }

  TimerList timers_;
  uint32_t timer_id_ = kNoTimer;
  uint32_t period_ = 0;
  IIntervalEvent* sink_ = nullptr;
  uint32_t param_ = 0;
  uint32_t creator_id_ = 0;
  uint32_t reserved_ = 0;
};

}  // namespace

IComponent* NewInterval() { return new (std::nothrow) CInterval; }

}  // namespace gavio
