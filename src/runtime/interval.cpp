// CInterval (component 50): one repeating timer per instance.
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
std::atomic<uint32_t> g_last_interval_id{0};

class CInterval final : public Component<kIntervalId, IInterval> {
 public:
  CInterval() : timers_(this, &CInterval::Fired) {}

  uint32_t SetInterval(uint32_t milliseconds, IIntervalEvent* sink, uint32_t param,
                       uint32_t reserved, IComponent* creator) override {
    GAVIO_HOLD_OR_RETURN(0);
    creatorId_ = creator != nullptr ? creator->GetComponentID() : 0;
    ClearInterval();
    if (sink != nullptr) {
      period_ = milliseconds;
      reserved_ = reserved;
      sink_ = sink;
      param_ = param;
      timerId_ = g_last_interval_id.fetch_add(1) + 1;
      timers_.Add(timerId_, milliseconds);
    }
    return 0;
  }

  void ClearInterval() override {
    if (timerId_ == kNoTimer) return;
    timers_.Kill(timerId_);
    sink_ = nullptr;
    timerId_ = kNoTimer;
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
    if (timerId == timerId_ && sink_ != nullptr) sink_->OnInterval(param_);
  }

  TimerList timers_;
  uint32_t timerId_ = kNoTimer;
  uint32_t period_ = 0;
  IIntervalEvent* sink_ = nullptr;
  uint32_t param_ = 0;
  uint32_t creatorId_ = 0;
  uint32_t reserved_ = 0;
};

}  // namespace

IComponent* NewInterval() { return new (std::nothrow) CInterval; }

}  // namespace gavio
