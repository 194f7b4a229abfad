// Threads, events, critical sections and waits, with real threads: waits
// that time out, events that release one or all, and handles closed while
// another thread is still inside a wait on them.
#include "platform/sync.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls a condition with a generous bound (a test that hits it has failed).
template <class Done>
bool WaitUntil(Done done, int64_t limitMs = 10000) {
  Clock::time_point start = Clock::now();
  while (!done()) {
    if (MsSince(start) > limitMs) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(Threads, ASuspendedThreadStartsOnlyOnResumeAndHoldsAtSuspensionPoints) {
  struct Shared {
    std::atomic<int> steps{0};
    std::atomic<bool> stop{false};
  } shared;
  DWORD id = 0;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        while (!s->stop) {
          SuspensionPoint();
          ++s->steps;
          usleep(1000);
        }
        return 5;
      },
      &shared, CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  usleep(30000);
  EXPECT_EQ(shared.steps, 0);
  EXPECT_EQ(ResumeThread(thread), 1u);
  while (shared.steps < 3) usleep(1000);
  EXPECT_EQ(SuspendThread(thread), 0u);
  usleep(20000);
  int held = shared.steps;
  usleep(30000);
  EXPECT_LE(shared.steps - held, 1);  // at most the step already past its point
  ResumeThread(thread);
  shared.stop = true;
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, TerminateAbandonsABlockedThreadWhichThenSeesItWasAbandoned) {
  static std::atomic<bool> release{false};
  static std::atomic<int> saw_abandoned{-1};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        while (!release) usleep(1000);
        saw_abandoned = IsThreadAbandoned();
        return 0;
      },
      nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  EXPECT_TRUE(TerminateThread(thread, 1));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 1u);
  CloseHandle(thread);  // the thread still runs; it must not need the handle
  release = true;
  while (saw_abandoned == -1) usleep(1000);
  EXPECT_EQ(saw_abandoned, 1);
}

TEST(Events, AutoResetReleasesOneWaitManualResetStaysSetAndBadHandlesFail) {
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
  CloseHandle(automatic);
  CloseHandle(manual);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int not_a_handle = 0;
  EXPECT_FALSE(SetEvent(&not_a_handle));
}

TEST(Waits, ATimedWaitNeverEndsEarlyAndAnEventSetMeanwhileEndsItAtOnce) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  for (DWORD limit : {0u, 1u, 30u}) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, limit), WAIT_TIMEOUT);
    EXPECT_GE(MsSince(start), static_cast<int64_t>(limit));
  }
  std::atomic<bool> waiting{false};
  std::thread setter([&] {
    WaitUntil([&] { return waiting.load(); });
    SetEvent(event);
  });
  waiting = true;
  EXPECT_EQ(WaitForSingleObject(event, 60000), WAIT_OBJECT_0);  // not the whole minute
  setter.join();
  CloseHandle(event);
}

// Each SetEvent of an auto-reset event lets exactly one of the waiters go;
// a manual-reset one lets them all go and stays set.
TEST(Waits, AutoResetReleasesOneWaiterPerSetManualResetReleasesAll) {
  constexpr int kWaiters = 4;
  for (BOOL manual : {FALSE, TRUE}) {
    HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
      waiters.emplace_back([&] {
        if (WaitForSingleObject(event, 30000) == WAIT_OBJECT_0) ++released;
      });
    }
    if (manual) {
      SetEvent(event);
      EXPECT_TRUE(WaitUntil([&] { return released == kWaiters; }));
      EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    } else {
      for (int i = 1; i <= kWaiters; ++i) {
        SetEvent(event);
        EXPECT_TRUE(WaitUntil([&] { return released >= i; }));
        EXPECT_EQ(released, i);
      }
      EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // every set was taken
    }
    for (std::thread& t : waiters) t.join();
    CloseHandle(event);
  }
}

// The object must outlive every wait that started on it: closing the
// handle right after waking the waiter (or while it waits on a thread
// handle) only closes the handle. Under the sanitizers a freed object
// shows at once; without them it shows as a crash or a hang.
TEST(Waits, ClosingAHandleWhileAnotherThreadWaitsOnItIsSafe) {
  constexpr int kRounds = 2000;
  for (int round = 0; round < kRounds; ++round) {
    HANDLE event = CreateEventA(nullptr, round % 2 == 0, FALSE, nullptr);
    std::atomic<bool> entering{false};
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
      entering = true;
      result = WaitForSingleObject(event, 30000);
    });
    WaitUntil([&] { return entering.load(); });
    SetEvent(event);
    ASSERT_TRUE(CloseHandle(event));
    waiter.join();
    // The waiter either got in before the close (and was released) or
    // found the handle already closed.
    ASSERT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_FAILED) << round;
  }
  for (int round = 0; round < kRounds / 10; ++round) {
    HANDLE thread = CreateThread(
        nullptr, 0, [](void*) -> DWORD { return 3; }, nullptr, 0, nullptr);
    std::thread waiter([&] { WaitForSingleObject(thread, 30000); });
    CloseHandle(thread);
    waiter.join();
  }
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(event));
}

TEST(CriticalSections, RecursiveForTheOwnerExclusiveForOthers) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));  // the owner enters again
  bool other_entered = true;
  std::thread([&] { other_entered = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other_entered);
  LeaveCriticalSection(&cs);
  std::thread([&] { other_entered = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other_entered);  // still held once
  LeaveCriticalSection(&cs);

  constexpr int kThreads = 4, kSteps = 20000;
  int64_t counter = 0;  // a data race unless the section excludes
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kSteps; ++i) {
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);
        ++counter;
        LeaveCriticalSection(&cs);
        LeaveCriticalSection(&cs);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, int64_t{kThreads} * kSteps);
  DeleteCriticalSection(&cs);
}

}  // namespace
