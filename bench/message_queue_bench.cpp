// Posted messages per second through one thread's queue and dispatch,
// against a plain mutex-and-condition-variable queue in the same run.
// A producer thread posts; the benchmark thread gets and dispatches.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/messages.h"

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
