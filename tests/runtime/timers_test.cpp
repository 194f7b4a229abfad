// CInterval and CTimeout on this thread's message loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "gavio/ids.h"
#include "gavio/timers.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "runtime/timer_list.h"
#include "support/test_support.h"

namespace {

using namespace gavio;
using gavio_test::PumpFor;
using gavio_test::PumpUntil;

template <class T>
T* Make(uint32_t id) {
  return static_cast<T*>(HostCreateComponent(id, 0));
}

struct TimeoutLog : ITimeoutEvent {
  std::vector<uint32_t> params;
  ITimeout* rearm_on = nullptr;  // set a new timeout from inside the callback
  void OnTimeout(uint32_t param) override {
    params.push_back(param);
    if (rearm_on != nullptr && params.size() == 1) rearm_on->SetTimeout(1, this, param + 1, nullptr);
  }
};

struct IntervalLog : IIntervalEvent {
  std::vector<uint32_t> params;
  void OnInterval(uint32_t param) override { params.push_back(param); }
};

TEST(Timeout, FiresOnceAndCanBeReArmedFromInsideItsCallback) {
  auto* timeout = Make<ITimeout>(kTimeoutId);
  TimeoutLog log;
  log.rearm_on = timeout;
  timeout->SetTimeout(1, &log, 10, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return log.params.size() == 2; }));
  PumpFor(30);
  EXPECT_EQ(log.params, (std::vector<uint32_t>{10, 11}));
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
  timeout->Destroy(0);
}

TEST(Timeout, ANullSinkOnlyClearsTheRunningTimeout) {
  auto* timeout = Make<ITimeout>(kTimeoutId);
  TimeoutLog log;
  timeout->SetTimeout(5, &log, 1, nullptr);
  timeout->SetTimeout(5, nullptr, 2, nullptr);
  PumpFor(40);
  EXPECT_TRUE(log.params.empty());
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
  timeout->Destroy(0);
}

TEST(Interval, SettingTwiceFiresOnlyForTheSecondAndClearingIdleDoesNothing) {
  auto* interval = Make<IInterval>(kIntervalId);
  interval->ClearInterval();
  IntervalLog first, second;
  interval->SetInterval(1, &first, 1, 0, nullptr);
  interval->SetInterval(1, &second, 2, 0, interval);
  ASSERT_TRUE(PumpUntil([&] { return second.params.size() >= 3; }));
  EXPECT_TRUE(first.params.empty());
  interval->ClearInterval();
  size_t seen = second.params.size();
  PumpFor(30);
  EXPECT_EQ(second.params.size(), seen);
  interval->Destroy(0);
}

TEST(Interval, DestroyWithARunningTimerKillsItAndTheStaleFiringIsHarmless) {
  auto* interval = Make<IInterval>(kIntervalId);
  auto* timeout = Make<ITimeout>(kTimeoutId);
  IntervalLog log;
  TimeoutLog timeout_log;
  interval->SetInterval(1, &log, 7, 0, nullptr);
  timeout->SetTimeout(1, &timeout_log, 7, nullptr);
  EXPECT_EQ(GavioLiveTimerCount(), 2u);
  Sleep(5);  // both due: their WM_TIMER would be generated at the next fetch
  interval->Destroy(0);
  timeout->Destroy(0);
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
  PumpFor(30);
  EXPECT_TRUE(log.params.empty());
  EXPECT_TRUE(timeout_log.params.empty());
  EXPECT_TRUE(HostMapIsEmpty());
}

// A timer re-armed under a fresh id from its own callback, as a timeout set
// again from inside its sink is: the list keeps one entry however often.
TEST(TimerList, ReArmingUnderFreshIdsFromTheCallbackKeepsOneEntry) {
  struct Rearming {
    TimerList* list = nullptr;
    uint32_t fired = 0;
    size_t most = 0;
  } state;
  TimerList list(&state, [](void* owner, uint32_t timerId, DWORD) {
    auto* self = static_cast<Rearming*>(owner);
    ++self->fired;
    self->list->Kill(timerId);
    if (self->fired < 200) self->list->Add(timerId + 1, 0);
    self->most = std::max(self->most, self->list->EntryCount());
  });
  state.list = &list;
  ASSERT_TRUE(list.Add(1, 0));
  ASSERT_TRUE(PumpUntil([&] { return state.fired == 200; }));
  EXPECT_EQ(state.most, 1u);
  EXPECT_EQ(list.EntryCount(), 0u);
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
}

}  // namespace
