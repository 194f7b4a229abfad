// The per-thread message queue, windows and timers, with real threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sync.h"
#include "platform/wait_seam.h"
#include "support/test_support.h"

namespace {

using gavio_test::PumpUntil;

constexpr UINT kPing = WM_USER + 1;

struct Recorder {
  std::vector<std::pair<UINT, WPARAM>> seen;
  DWORD thread = 0;
};

LRESULT RecordProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  auto* r = reinterpret_cast<Recorder*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (r != nullptr && msg >= WM_USER) {
    r->seen.emplace_back(msg, w);
    r->thread = GetCurrentThreadId();
    return static_cast<LRESULT>(w * 2);
  }
  return DefWindowProcA(hwnd, msg, w, l);
}

HWND MakeWindow(Recorder* r, const char* title = "") {
  HWND hwnd = CreateWindowExA(0, "static", title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                              nullptr);
  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordProc));
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(r));
  return hwnd;
}

TEST(MessageQueue, PostsFromOtherThreadsArriveInOrderOnTheOwnerThread) {
  Recorder r;
  HWND hwnd = MakeWindow(&r);
  constexpr int kCount = 2000;
  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(PostMessageA(hwnd, kPing, i, 0));
  });
  ASSERT_TRUE(PumpUntil([&] { return r.seen.size() == kCount; }));
  producer.join();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(r.seen[i].second, static_cast<WPARAM>(i));
  EXPECT_EQ(r.thread, GetCurrentThreadId());
  DestroyWindow(hwnd);
}

TEST(MessageQueue, CrossThreadSendWaitsForTheAnswerAndMutualSendsDoNotDeadlock) {
  Recorder main_r;
  HWND main_window = MakeWindow(&main_r);
  std::atomic<HWND> worker_window{nullptr};
  std::atomic<bool> stop{false};
  Recorder worker_r;
  LRESULT answer_from_worker = 0;
  std::thread worker([&] {
    worker_window = MakeWindow(&worker_r);
    // Sends to the main thread while the main thread sends to us.
    answer_from_worker = SendMessageA(main_window, kPing, 21, 0);
    PumpUntil([&] { return stop.load(); });
    DestroyWindow(worker_window);
  });
  while (worker_window.load() == nullptr) usleep(1000);
  EXPECT_EQ(SendMessageA(worker_window, kPing + 1, 5, 0), 10);
  ASSERT_TRUE(PumpUntil([&] { return main_r.seen.size() == 1; }));
  stop = true;
  worker.join();
  EXPECT_EQ(answer_from_worker, 42);
  ASSERT_EQ(worker_r.seen.size(), 1u);
  EXPECT_NE(worker_r.thread, GetCurrentThreadId());
  DestroyWindow(main_window);
}

TEST(MessageQueue, SendToAWindowWhoseThreadEndsReturnsZeroInsteadOfHanging) {
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> leave{false};
  Recorder r;
  std::thread owner([&] {
    window = MakeWindow(&r);
    while (!leave) usleep(1000);  // never pumps: the send stays pending
  });
  while (window.load() == nullptr) usleep(1000);
  std::thread release([&] {
    usleep(50000);
    leave = true;
  });
  EXPECT_EQ(SendMessageA(window, kPing, 1, 0), 0);
  owner.join();
  release.join();
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(PostMessageA(window, kPing, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(MessageQueue, PeekFiltersByWindowAndRangeAndQuitEndsGetMessage) {
  Recorder a_r, b_r;
  HWND a = MakeWindow(&a_r);
  HWND b = MakeWindow(&b_r);
  PostMessageA(a, kPing, 1, 0);
  PostMessageA(b, kPing + 5, 2, 0);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, b, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, kPing + 5, kPing + 5, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, b);
  EXPECT_FALSE(PeekMessageA(&msg, b, 0, 0, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, a);
  PostQuitMessage(7);
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST(Windows, SubclassingUserDataTitlesAndDestroyDropQueuedMessages) {
  HWND first = CreateWindowExA(0, "static", "gavio-test-title", 0, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
  HWND second = CreateWindowExA(0, "STATIC", "gavio-test-title", 0, 0, 0, 0, 0, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(FindWindowExA(nullptr, nullptr, "static", "gavio-test-title"), first);
  EXPECT_EQ(FindWindowExA(nullptr, first, "static", "gavio-test-title"), second);
  EXPECT_EQ(FindWindowExA(nullptr, second, "static", "gavio-test-title"), nullptr);

  static WNDPROC previous = nullptr;
  static int calls = 0;
  previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      first, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND h, UINT m, WPARAM w, LPARAM l) {
        if (m == kPing) ++calls;
        return CallWindowProcA(previous, h, m, w, l);
      })));
  EXPECT_EQ(previous, DefWindowProcA);
  SendMessageA(first, kPing, 0, 0);
  EXPECT_EQ(calls, 1);

  PostMessageA(first, kPing, 0, 0);
  ASSERT_TRUE(DestroyWindow(first));
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(IsWindow(first));
  EXPECT_EQ(FindWindowA("static", "gavio-test-title"), second);
  DestroyWindow(second);
  EXPECT_EQ(GavioLiveWindowCount(), 0u);
}

TEST(Timers, ThreadTimerRepeatsThroughItsProcedureUntilKilled) {
  static int fired = 0;
  static UINT_PTR fired_id = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 5, [](HWND, UINT msg, UINT_PTR timer, DWORD) {
    ++fired;
    fired_id = timer;
  });
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(PumpUntil([] { return fired >= 3; }));
  EXPECT_EQ(fired_id, id);
  ASSERT_TRUE(KillTimer(nullptr, id));
  int after_kill = fired;
  gavio_test::PumpFor(50);
  EXPECT_EQ(fired, after_kill);
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
}

TEST(Timers, PostedMessagesComeBeforeADueTimerAndWindowTimersDieWithTheirWindow) {
  Recorder r;
  HWND hwnd = MakeWindow(&r);
  ASSERT_EQ(SetTimer(hwnd, 9, 1, nullptr), 9u);
  ASSERT_EQ(SetTimer(hwnd, 9, 1, nullptr), 9u);  // replaces, does not add
  EXPECT_EQ(GavioLiveTimerCount(), 1u);
  usleep(10000);
  PostMessageA(hwnd, kPing, 3, 0);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, kPing);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, 9u);
  DestroyWindow(hwnd);
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
}

TEST(WaitSeam, AWatchedDescriptorWakesTheWaitAndRunsItsCallbackOnTheOwnerThread) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  struct Seen {
    int calls = 0;
    DWORD thread = 0;
  } seen;
  ASSERT_TRUE(gavio::platform::WatchFd(
      fds[0], POLLIN,
      [](void* context, int fd, short) {
        char byte;
        ASSERT_EQ(read(fd, &byte, 1), 1);
        auto* s = static_cast<Seen*>(context);
        ++s->calls;
        s->thread = GetCurrentThreadId();
      },
      &seen));
  std::thread writer([&] {
    usleep(20000);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
  });
  EXPECT_TRUE(PumpUntil([&] { return seen.calls == 1; }));
  writer.join();
  EXPECT_EQ(seen.thread, GetCurrentThreadId());
  gavio::platform::UnwatchFd(fds[0]);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
