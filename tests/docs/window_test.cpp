// The window maker and the window timer service on this thread's messages.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "docs_test_env.h"
#include "gavio/docs.h"
#include "gavio/ids.h"
#include "platform/messages.h"

namespace {

using namespace gavio;
using docs_test::Create;
using docs_test::PumpUntil;

constexpr UINT kProbe = WM_USER + 5;

struct RecordingSink : IWindowSink {
  LRESULT answer = 0;
  std::vector<std::pair<HWND, UINT>> seen;
  int32_t OnWindowMessage(HWND window, UINT message, WPARAM, LPARAM, LRESULT* result) override {
    seen.push_back({window, message});
    if (message != kProbe) return 0;  // everything else: default handling
    *result = answer;
    return 1;
  }
  int Count(UINT message) const {
    int n = 0;
    for (const auto& [window, m] : seen) n += m == message ? 1 : 0;
    return n;
  }
};

TEST(WindowMaker, WindowsReachTheirOwnSinksAndDeclinedMessagesGetDefaultHandling) {
  DWORD windowsBefore = GavioLiveWindowCount();
  auto* maker = Create<IWindowMaker>(kWindowMakerId);
  RecordingSink first, second;
  first.answer = 11;
  second.answer = 22;
  HWND a = nullptr, b = nullptr, c = nullptr;
  EXPECT_EQ(maker->MakeWindow(nullptr, &first), 0);
  EXPECT_EQ(maker->MakeWindow(&a, nullptr), 0);
  ASSERT_EQ(maker->MakeWindow(&a, &first), 1);
  WindowRect rect{10, 20, 110, 70};
  ASSERT_EQ(maker->MakeWindowEx(0, 0, nullptr, &rect, &b, &second), 1);
  ASSERT_EQ(maker->MakeWindow(&c, &second), 1);
  EXPECT_EQ(SendMessageA(a, kProbe, 0, 0), 11);
  EXPECT_EQ(SendMessageA(b, kProbe, 0, 0), 22);
  EXPECT_EQ(first.Count(kProbe), 1);
  EXPECT_EQ(second.Count(kProbe), 1);
  // Two windows of one instance share its class, whose name is their title.
  char titleA[100], titleB[100];
  GetWindowTextA(a, titleA, sizeof titleA);
  GetWindowTextA(b, titleB, sizeof titleB);
  EXPECT_STREQ(titleA, titleB);
  EXPECT_EQ(std::string(titleA).rfind("ClassName", 0), 0u);
  // The sink declines WM_CLOSE, so the default handling destroys the window.
  SendMessageA(b, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(b));
  EXPECT_EQ(second.Count(WM_NCDESTROY), 1);
  // Finalising destroys a and c, and leaves b (already gone) alone.
  maker->Destroy(0);
  EXPECT_FALSE(IsWindow(a));
  EXPECT_FALSE(IsWindow(c));
  EXPECT_EQ(first.Count(WM_DESTROY), 1);
  EXPECT_EQ(second.Count(WM_NCDESTROY), 2);
  EXPECT_EQ(GavioLiveWindowCount(), windowsBefore);
}

struct TimerLog : IWindowTimerEvent {
  std::map<uint32_t, int> firings;  // timer id -> count
  std::vector<uint32_t> params;
  int total = 0;
  IWindowTimerService* releaseFrom = nullptr;  // releases its service on the first call
  void OnWindowTimer(uint32_t timerId, uint32_t param) override {
    ++firings[timerId];
    params.push_back(param);
    ++total;
    if (releaseFrom != nullptr) {
      releaseFrom->Destroy(0);
      releaseFrom = nullptr;
    }
  }
};

TEST(WindowTimerService, EachInstanceHearsOnlyItsOwnTimersAndKillAllSparesTheOther) {
  DWORD windowsBefore = GavioLiveWindowCount();
  auto* one = Create<IWindowTimerService>(kWindowTimerServiceId);
  auto* two = Create<IWindowTimerService>(kWindowTimerServiceId);
  TimerLog logOne, logTwo;
  uint32_t a = one->SetWindowTimer(2, 100, &logOne);
  uint32_t b = one->SetWindowTimer(3, 101, &logOne);
  uint32_t c = two->SetWindowTimer(2, 200, &logTwo);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  ASSERT_NE(c, 0u);
  EXPECT_TRUE(a != b && b != c && a != c);
  EXPECT_EQ(GavioLiveWindowCount(), windowsBefore + 1);  // one hidden window for all
  ASSERT_TRUE(PumpUntil([&] { return logOne.firings[a] >= 3 && logOne.firings[b] >= 3 &&
                                     logTwo.firings[c] >= 3; }));
  EXPECT_EQ(logOne.firings.count(c), 0u);
  EXPECT_EQ(logTwo.firings.size(), 1u);
  // Another instance's timer is not one's own to change or kill.
  EXPECT_EQ(one->ChangePeriod(c, 50), 0);
  EXPECT_EQ(one->KillWindowTimer(c), 0);
  EXPECT_EQ(two->ChangePeriod(c, 1), 1);
  one->KillAllTimers();
  int oneSoFar = logOne.total;
  int twoSoFar = logTwo.total;
  ASSERT_TRUE(PumpUntil([&] { return logTwo.total >= twoSoFar + 5; }));
  EXPECT_EQ(logOne.total, oneSoFar);
  EXPECT_EQ(two->KillWindowTimer(c), 1);
  EXPECT_EQ(two->KillWindowTimer(c), 0);
  // Releasing the last owner destroys the hidden window; the next timer
  // makes a new one.
  one->Release();
  two->Release();
  EXPECT_EQ(GavioLiveWindowCount(), windowsBefore);
  uint32_t d = one->SetWindowTimer(1, 300, &logOne);
  EXPECT_NE(d, 0u);
  ASSERT_TRUE(PumpUntil([&] { return logOne.firings[d] >= 1; }));
  one->Destroy(0);
  two->Destroy(0);
  EXPECT_EQ(GavioLiveWindowCount(), windowsBefore);
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
}

TEST(WindowTimerService, AnInstanceDestroyedFromItsOwnTimerCallStopsCleanly) {
  DWORD windowsBefore = GavioLiveWindowCount();
  auto* service = Create<IWindowTimerService>(kWindowTimerServiceId);
  TimerLog log;
  log.releaseFrom = service;
  ASSERT_NE(service->SetWindowTimer(1, 7, &log), 0u);
  ASSERT_TRUE(PumpUntil([&] { return log.total >= 1 && GavioLiveWindowCount() == windowsBefore; }));
  EXPECT_EQ(log.total, 1);
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
}

}  // namespace
