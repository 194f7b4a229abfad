// Posted messages per second through one thread's queue and dispatch,
// against a plain mutex-and-condition-variable queue in the same run.
// A producer thread posts; the benchmark thread gets and dispatches.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/wait_seam.h"

namespace {

constexpr int kBatch = 100000;
constexpr UINT kWork = WM_USER + 1;

uint64_t g_sum = 0;

LRESULT CountingProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (msg == kWork) {
    g_sum += w;
    return 0;
  }
  return DefWindowProcA(hwnd, msg, w, l);
}

void BM_PlatformQueueCrossThread(benchmark::State& state) {
  HWND hwnd = CreateWindowExA(0, "static", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc));
  for (auto _ : state) {
    std::thread producer([&] {
      for (int i = 0; i < kBatch; ++i) PostMessageA(hwnd, kWork, 1, 0);
    });
    MSG msg;
    for (int received = 0; received < kBatch;) {
      GetMessageA(&msg, nullptr, 0, 0);
      DispatchMessageA(&msg);
      ++received;
    }
    producer.join();
  }
  DestroyWindow(hwnd);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PlatformQueueCrossThread)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlatformQueueSameThread(benchmark::State& state) {
  HWND hwnd = CreateWindowExA(0, "static", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc));
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) PostMessageA(hwnd, kWork, 1, 0);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  DestroyWindow(hwnd);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PlatformQueueSameThread)->Unit(benchmark::kMillisecond)->UseRealTime();

// A round trip between two threads that each sleep in GetMessageA for the
// other's post, while the second thread watches range(0) idle descriptors:
// the cost of a wake-up must not grow with them.
void BM_PlatformWakeRoundTripBesideIdleWatches(benchmark::State& state) {
  const int idle = static_cast<int>(state.range(0));
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  const DWORD self = GetCurrentThreadId();
  std::atomic<DWORD> echo{0};
  std::thread echoer([&] {
    std::vector<int> fds(2 * idle);
    for (int i = 0; i < idle; ++i) {
      if (pipe(&fds[2 * i]) != 0) break;
      gavio::platform::WatchFd(fds[2 * i], POLLIN, [](void*, int, short) {}, nullptr);
    }
    MSG in;
    PeekMessageA(&in, nullptr, 0, 0, PM_NOREMOVE);
    echo = GetCurrentThreadId();
    while (GetMessageA(&in, nullptr, 0, 0) == TRUE) PostThreadMessageA(self, kWork, 0, 0);
    for (int i = 0; i < idle; ++i) {
      gavio::platform::UnwatchFd(fds[2 * i]);
      close(fds[2 * i]);
      close(fds[2 * i + 1]);
    }
  });
  while (echo.load() == 0) std::this_thread::yield();
  for (auto _ : state) {
    PostThreadMessageA(echo, kWork, 0, 0);
    GetMessageA(&msg, nullptr, 0, 0);
  }
  PostThreadMessageA(echo, WM_QUIT, 0, 0);
  echoer.join();
}
BENCHMARK(BM_PlatformWakeRoundTripBesideIdleWatches)->Arg(0)->Arg(1000)->UseRealTime();

// The baseline: the least a thread-safe queue with a blocking pop can do.
struct PlainQueue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<MSG> items;

  void Push(const MSG& m) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      items.push_back(m);
    }
    cv.notify_one();
  }
  MSG Pop() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return !items.empty(); });
    MSG m = items.front();
    items.pop_front();
    return m;
  }
};

void BM_MutexCondvarQueueCrossThread(benchmark::State& state) {
  PlainQueue queue;
  for (auto _ : state) {
    std::thread producer([&] {
      for (int i = 0; i < kBatch; ++i) queue.Push(MSG{nullptr, kWork, 1, 0, 0, {0, 0}});
    });
    for (int received = 0; received < kBatch; ++received) {
      MSG m = queue.Pop();
      CountingProc(m.hwnd, m.message, m.wParam, m.lParam);
    }
    producer.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_MutexCondvarQueueCrossThread)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
