// The per-thread message queue, windows and timers, with real threads.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
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
  std::atomic<DWORD> worker_id{0};
  std::atomic<bool> stop{false};
  Recorder worker_r;
  LRESULT answer_from_worker = 0;
  std::thread worker([&] {
    worker_id = GetCurrentThreadId();
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
  PostThreadMessageA(worker_id, WM_NULL, 0, 0);  // lets its pump look at stop
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
  // Idle descriptors beside the busy one: their callbacks never run.
  std::vector<int> idle(400);
  for (size_t i = 0; i < idle.size(); i += 2) {
    ASSERT_EQ(pipe(&idle[i]), 0);
    ASSERT_TRUE(gavio::platform::WatchFd(
        idle[i], POLLIN, [](void*, int, short) { ADD_FAILURE() << "idle watch ran"; }, nullptr));
  }
  ASSERT_TRUE(gavio::platform::WatchFd(
      fds[0], POLLIN,
      [](void* context, int fd, short) {
        char byte;
        ASSERT_EQ(read(fd, &byte, 1), 1);
        auto* s = static_cast<Seen*>(context);
        ++s->calls;
        s->thread = GetCurrentThreadId();
        PostMessageA(nullptr, WM_NULL, 0, 0);  // as a socket notice would
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
  for (size_t i = 0; i < idle.size(); i += 2) {
    gavio::platform::UnwatchFd(idle[i]);
    close(idle[i]);
    close(idle[i + 1]);
  }
}

// Bounds a test that could hang: past the limit the threads are told to
// give up through their queues, and if even that goes unheard the program
// aborts, so a lost wake-up fails the suite instead of stalling it.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, std::function<void()> giveUp)
      : thread_([this, limit, giveUp] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
          fired_ = true;
          giveUp();
          if (!cv_.wait_for(lock, std::chrono::seconds(10), [this] { return done_; })) {
            fprintf(stderr, "watchdog: the threads did not answer; aborting\n");
            abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  bool fired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

constexpr UINT kPong = WM_USER + 2;
constexpr UINT kGiveUp = WM_USER + 3;
constexpr UINT kReady = WM_USER + 4;

// Producers post pings to this thread and block in GetMessageA for each
// pong; this thread blocks in GetMessageA for the pings. A wake-up lost on
// either side stalls the exchange.
void PingPong(int producers, int rounds) {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue exists
  const DWORD server = GetCurrentThreadId();
  std::vector<std::thread> threads;
  std::vector<DWORD> ids(producers);
  std::atomic<int> ready{0};
  std::atomic<int> completed{0};
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      MSG reply;
      PeekMessageA(&reply, nullptr, 0, 0, PM_NOREMOVE);
      ids[p] = GetCurrentThreadId();
      ++ready;
      PostThreadMessageA(server, kReady, 0, 0);
      int round = 0;
      for (; round < rounds; ++round) {
        if (!PostThreadMessageA(server, kPing, GetCurrentThreadId(), round)) break;
        if (GetMessageA(&reply, nullptr, 0, 0) != TRUE || reply.message != kPong) break;
      }
      if (round == rounds) ++completed;
      PostThreadMessageA(server, WM_NULL, 0, 0);
    });
  }
  while (ready < producers) GetMessageA(&msg, nullptr, kReady, kReady);
  Watchdog watchdog(std::chrono::seconds(120), [&] {
    PostThreadMessageA(server, kGiveUp, 0, 0);
    for (DWORD id : ids) PostThreadMessageA(id, kGiveUp, 0, 0);
  });
  int64_t pings = 0;
  const int64_t expected = static_cast<int64_t>(producers) * rounds;
  while (pings < expected && GetMessageA(&msg, nullptr, 0, 0) == TRUE) {
    if (msg.message == kGiveUp) break;
    if (msg.message != kPing) continue;
    ++pings;
    PostThreadMessageA(static_cast<DWORD>(msg.wParam), kPong, 0, msg.lParam);
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(watchdog.fired()) << "stalled after " << pings << " of " << expected << " pings";
  EXPECT_EQ(pings, expected);
  EXPECT_EQ(completed, producers);
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(MessageQueue, PingPongBetweenThreadsNeverLosesAWakeUp) {
  struct Case {
    int producers;
    int rounds;
  };
  for (Case c : {Case{1, 100000}, Case{4, 25000}}) {
    SCOPED_TRACE(testing::Message() << c.producers << " producers");
    PingPong(c.producers, c.rounds);
  }
}

double ThreadCpuMs() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
         usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
}

// A due timer the filter leaves out must not make the wait spin.
TEST(MessageQueue, AFilteredWaitBesideADueTimerSleeps) {
  Recorder a_r, b_r;
  HWND a = MakeWindow(&a_r);
  HWND b = MakeWindow(&b_r);
  struct Case {
    const char* name;
    HWND timerWindow;
    HWND filterWindow;
    UINT min, max;
  };
  for (Case c : {Case{"range leaves out WM_TIMER", nullptr, nullptr, kPing, kPing},
                 Case{"window filter leaves out another window's timer", a, b, 0, 0}}) {
    SCOPED_TRACE(c.name);
    UINT_PTR timer = SetTimer(c.timerWindow, 1, 1, nullptr);
    ASSERT_NE(timer, 0u);
    constexpr int kWaitMs = 300;
    std::thread poster([&] {
      usleep(kWaitMs * 1000);  // the length of the wait being measured
      PostMessageA(b, kPing, 0, 0);
    });
    double cpuBefore = ThreadCpuMs();
    auto wallBefore = std::chrono::steady_clock::now();
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, c.filterWindow, c.min, c.max), TRUE);
    double cpu = ThreadCpuMs() - cpuBefore;
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                            wallBefore)
                      .count();
    poster.join();
    EXPECT_EQ(msg.message, kPing);
    EXPECT_LT(cpu, wall * 0.05) << "cpu " << cpu << " ms in a " << wall << " ms wait";
    KillTimer(c.timerWindow, timer);
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  DestroyWindow(a);
  DestroyWindow(b);
}

// The quit message passes every filter: a thread waiting for one reply
// still learns it should end.
TEST(Win32Rules, QuitIsNeverFilteredOut) {
  Recorder r;
  HWND hwnd = MakeWindow(&r);
  MSG msg;
  PostQuitMessage(3);
  ASSERT_TRUE(PeekMessageA(&msg, hwnd, kPing, kPing, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(GetMessageA(&msg, nullptr, kPing, kPing), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(hwnd);
}

TEST(Win32Rules, AnotherThreadsWindowCannotBeDestroyedNorItsClassUnregistered) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "gavio-test-class";
  ASSERT_NE(RegisterClassA(&wc), 0);
  HWND hwnd = CreateWindowExA(0, "gavio-test-class", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                              nullptr, nullptr);
  ASSERT_NE(hwnd, nullptr);
  BOOL destroyed = TRUE;
  DWORD error = 0;
  std::thread other([&] {
    destroyed = DestroyWindow(hwnd);
    error = GetLastError();
  });
  other.join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_FALSE(UnregisterClassA("gavio-test-class", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_TRUE(UnregisterClassA("gavio-test-class", nullptr));
}

// Windows come and go on one thread while another searches and sends:
// the thread sanitizer checks what they share.
TEST(Windows, ConcurrentCreateDestroyFindAndSend) {
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  const DWORD main_thread = GetCurrentThreadId();
  std::thread searcher([&] {
    while (!stop) {
      if (HWND found = FindWindowA("static", "gavio-churn")) SendMessageA(found, kPing, 1, 0);
    }
    finished = true;
    PostThreadMessageA(main_thread, WM_NULL, 0, 0);
  });
  Recorder r;
  for (int i = 0; i < 300; ++i) {
    HWND hwnd = MakeWindow(&r, "gavio-churn");
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    DestroyWindow(hwnd);
  }
  stop = true;
  EXPECT_TRUE(PumpUntil([&] { return finished.load(); }));  // answers its last send
  searcher.join();
}

}  // namespace
