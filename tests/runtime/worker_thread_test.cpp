// The worker thread: the order of sink calls, suspension that really holds
// the loop, stops of suspended and blocked threads, and destroying the
// component from inside its own sink.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "platform/types.h"
#include "runtime_test_env.h"
#include "support/test_support.h"

namespace {

using gavio::IThreadSink;
using gavio::IWorkerThread;
using gavio_test::DebugCapture;

constexpr uint32_t kLimitMs = 10000;

// Waits (bounded) until done() holds.
template <class Done>
bool Eventually(Done done) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool ThreadIsGone(uint32_t threadId) {
  struct stat info;
  return stat(("/proc/self/task/" + std::to_string(threadId)).c_str(), &info) != 0;
}

// Counts the calls; each step waits for a ticket when gated, and the step
// hook, when set, runs inside the step.
class CountingSink : public IThreadSink {
 public:
  void OnThreadEntry() override { ++entries; }
  int32_t OnThreadStep() override {
    int32_t n = ++steps;
    if (gated) {
      std::unique_lock<std::mutex> lock(mutex_);
      waiting = true;
      cv_.notify_all();
      cv_.wait(lock, [&] { return open_ || tickets_ > 0; });
      if (!open_) --tickets_;
      waiting = false;
    }
    int32_t result = hook ? hook(n) : (n < stopAfter ? 1 : 0);
    ++stepsReturned;  // the last touch of this sink by the step
    return result;
  }
  void OnThreadExit() override { ++exits; }

  void Release(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    tickets_ += count;
    cv_.notify_all();
  }
  // Lets every step through from now on.
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

  std::atomic<int> entries{0}, steps{0}, stepsReturned{0}, exits{0};
  std::atomic<bool> waiting{false};
  bool gated = false;
  int stopAfter = 1 << 30;
  std::function<int32_t(int)> hook;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int tickets_ = 0;
  bool open_ = false;
};

class WorkerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    worker_ = runtime_test::Create<IWorkerThread>(gavio::kWorkerThreadId);
    ASSERT_NE(worker_, nullptr);
  }
  void TearDown() override {
    if (worker_ != nullptr) worker_->Destroy(0);
  }

  IWorkerThread* worker_ = nullptr;
  CountingSink sink_;
};

TEST_F(WorkerThreadTest, RunsEntryStepsAndExitThenCanBeStoppedAndRestarted) {
  DebugCapture debug;
  sink_.stopAfter = 3;
  ASSERT_EQ(worker_->Start(&sink_, 0), 1);
  uint32_t id = worker_->GetThreadId();
  EXPECT_NE(id, 0u);
  EXPECT_EQ(worker_->Wait(kLimitMs), 0);  // ended on its own
  EXPECT_EQ(sink_.entries, 1);
  EXPECT_EQ(sink_.steps, 3);
  EXPECT_EQ(sink_.exits, 1);

  char expected[64];
  snprintf(expected, sizeof expected, "Thread 0x%X Entry....", id);
  EXPECT_EQ(debug.Count(expected), 1);
  snprintf(expected, sizeof expected, "Thread 0x%X Exit ...", id);
  EXPECT_EQ(debug.Count(expected), 1);
  snprintf(expected, sizeof expected, "Thread:0x%X Create Successs...", id);
  EXPECT_EQ(debug.Count(expected), 1);

  // The ended thread is still known until a stop forgets it.
  EXPECT_EQ(worker_->Start(&sink_, 0), 0);
  EXPECT_EQ(debug.Count("The Thread Start Already....."), 1);
  EXPECT_EQ(worker_->Stop(kLimitMs), 1);
  EXPECT_EQ(worker_->GetThreadId(), 0u);
  sink_.stopAfter = 1;
  ASSERT_EQ(worker_->Start(&sink_, 0), 1);
  EXPECT_EQ(worker_->Wait(kLimitMs), 0);
  EXPECT_EQ(sink_.entries, 2);
}

TEST_F(WorkerThreadTest, WithoutAThreadEveryControlAnswersNo) {
  DebugCapture debug;
  EXPECT_EQ(worker_->Stop(0), 0);
  EXPECT_EQ(debug.Count("Work Thread not start ......"), 1);
  EXPECT_EQ(worker_->Wait(0), 0);
  EXPECT_EQ(worker_->Resume(), 0);
  EXPECT_EQ(worker_->Suspend(), 0);
  EXPECT_EQ(worker_->GetThreadId(), 0u);
  EXPECT_EQ(worker_->GetPriority(), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_EQ(worker_->SetPriority(THREAD_PRIORITY_HIGHEST), 0);
  EXPECT_EQ(worker_->Start(nullptr, 0), 0);
}

TEST_F(WorkerThreadTest, SuspendedStartHoldsUntilResumed) {
  ASSERT_EQ(worker_->Start(&sink_, 1), 1);
  EXPECT_EQ(worker_->GetPriority(), THREAD_PRIORITY_NORMAL);
  EXPECT_EQ(worker_->SetPriority(THREAD_PRIORITY_BELOW_NORMAL), 1);
  EXPECT_EQ(worker_->GetPriority(), THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_EQ(worker_->Wait(50), 1);
  EXPECT_EQ(sink_.entries, 0);
  sink_.stopAfter = 2;
  EXPECT_EQ(worker_->Resume(), 1);
  EXPECT_EQ(worker_->Wait(kLimitMs), 0);
  EXPECT_EQ(sink_.steps, 2);
}

TEST_F(WorkerThreadTest, SuspendHoldsTheLoopBetweenStepsAndResumeReleasesIt) {
  sink_.gated = true;
  ASSERT_EQ(worker_->Start(&sink_, 0), 1);
  ASSERT_TRUE(Eventually([&] { return sink_.waiting.load(); }));
  EXPECT_EQ(worker_->Suspend(), 1);
  sink_.Release(5);  // the step in flight ends; no other may begin
  ASSERT_TRUE(Eventually([&] { return !sink_.waiting.load(); }));
  EXPECT_EQ(worker_->Wait(100), 1);
  EXPECT_EQ(sink_.steps, 1);
  EXPECT_EQ(worker_->Resume(), 1);
  ASSERT_TRUE(Eventually([&] { return sink_.steps >= 2; }));
  sink_.Open();
  EXPECT_EQ(worker_->Stop(kLimitMs), 1);
  EXPECT_EQ(sink_.exits, 1);
}

TEST_F(WorkerThreadTest, StopResumesAThreadSuspendedTwice) {
  ASSERT_EQ(worker_->Start(&sink_, 1), 1);
  EXPECT_EQ(worker_->Suspend(), 1);
  EXPECT_EQ(worker_->Stop(kLimitMs), 1);
  EXPECT_EQ(sink_.entries, 1);
  EXPECT_EQ(sink_.steps, 0);  // the stop came before the first step
  EXPECT_EQ(sink_.exits, 1);
}

TEST_F(WorkerThreadTest, StopThatTimesOutAbandonsTheThreadForGood) {
  DebugCapture debug;
  sink_.gated = true;
  ASSERT_EQ(worker_->Start(&sink_, 0), 1);
  uint32_t id = worker_->GetThreadId();
  ASSERT_TRUE(Eventually([&] { return sink_.waiting.load(); }));
  EXPECT_EQ(worker_->Stop(0), 1);
  char expected[64];
  snprintf(expected, sizeof expected, "ERROR: TIME OUT, TerminateThread 0x%X ...", id);
  EXPECT_EQ(debug.Count(expected), 1);
  EXPECT_EQ(worker_->GetThreadId(), 0u);
  // The component goes away while its old thread is still inside the step;
  // once the step returns, the thread ends without another sink call.
  worker_->Destroy(0);
  worker_ = nullptr;
  sink_.Open();
  // The counter orders the step's last use of the sink before the test's end.
  ASSERT_TRUE(Eventually([&] { return sink_.stepsReturned.load() == 1 && ThreadIsGone(id); }));
  EXPECT_EQ(sink_.steps, 1);
  EXPECT_EQ(sink_.exits, 0);
}

TEST_F(WorkerThreadTest, DestroyFromInsideTheStepEndsTheThreadCleanly) {
  DebugCapture debug;
  std::atomic<int32_t> stopResult{-1}, waitResult{-1};
  std::atomic<bool> go{false};
  sink_.hook = [&](int n) {
    if (n == 1) {
      // Only once this thread alone uses the component.
      Eventually([&] { return go.load(); });
      stopResult = worker_->Stop(0);
      waitResult = worker_->Wait(INFINITE);
      worker_->Destroy(0);
    }
    return 1;  // would go on, but the component is gone
  };
  ASSERT_EQ(worker_->Start(&sink_, 0), 1);
  uint32_t id = worker_->GetThreadId();
  go = true;
  // The exit call comes after the step's last use of worker_.
  ASSERT_TRUE(Eventually([&] { return sink_.exits.load() == 1 && ThreadIsGone(id); }));
  worker_ = nullptr;
  EXPECT_EQ(stopResult, 0);
  EXPECT_EQ(waitResult, 1);
  EXPECT_EQ(debug.Count("*** ERROR  *** Termianl Thread By MySelf ****"), 1);
  EXPECT_EQ(debug.Count("*** ERROR  *** Release Thread By MySelf ****"), 1);
  EXPECT_EQ(sink_.steps, 1);
  EXPECT_EQ(sink_.exits, 1);
}

}  // namespace

namespace {

// Counts every sink call that begins after the test saw Stop return.
class LateCallSink : public IThreadSink {
 public:
  void OnThreadEntry() override { Note(); }
  int32_t OnThreadStep() override {
    Note();
    return 0;
  }
  void OnThreadExit() override { Note(); }

  std::atomic<bool> stopReturned{false};
  std::atomic<int> late{0};

 private:
  void Note() {
    if (stopReturned.load()) ++late;
  }
};

// The system call a thread of this process is blocked in, or -1.
long BlockedSyscall(uint32_t threadId) {
  std::string path = "/proc/self/task/" + std::to_string(threadId) + "/syscall";
  FILE* file = fopen(path.c_str(), "re");
  if (file == nullptr) return -1;
  long number = -1;
  if (fscanf(file, "%ld", &number) != 1) number = -1;
  fclose(file);
  return number;
}

// The debugger output is a slow reader: the thread's "Entry" log line
// blocks on a FIFO (no reader yet) after the thread was found still wanted
// and before its first sink call. A stop that times out meanwhile must keep
// that call from beginning once the line is written.
TEST(WorkerThreadStop, ALogLineThatBlocksDoesNotLetASinkCallBeginAfterAShortStop) {
  gavio_test::TempDir dir;
  std::string output = dir.File("debug.txt");
  std::string fifo = dir.File("debug.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(link(fifo.c_str(), dir.File("fifo.link").c_str()), 0);
  setenv("GAVIO_DEBUG_OUTPUT", output.c_str(), 1);

  LateCallSink sink;
  auto* worker = runtime_test::Create<IWorkerThread>(gavio::kWorkerThreadId);
  ASSERT_NE(worker, nullptr);
  ASSERT_EQ(worker->Start(&sink, 1), 1);
  uint32_t id = worker->GetThreadId();
  // From here the worker's next line goes to the FIFO and waits for a reader.
  ASSERT_EQ(rename(dir.File("fifo.link").c_str(), output.c_str()), 0);
  ASSERT_EQ(worker->Resume(), 1);
  bool blocked = Eventually([&] { return BlockedSyscall(id) == SYS_openat; });
  // The test's own lines go to a plain file again.
  gavio_test::WriteFile(dir.File("plain.txt"), "");
  ASSERT_EQ(rename(dir.File("plain.txt").c_str(), output.c_str()), 0);
  if (!blocked) {
    unsetenv("GAVIO_DEBUG_OUTPUT");
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    worker->Destroy(0);
    close(reader);
    GTEST_SKIP() << "cannot see the worker block in its log line";
  }

  EXPECT_EQ(worker->Stop(0), 1);
  sink.stopReturned = true;
  worker->Destroy(0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // the line goes through
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(Eventually([&] { return ThreadIsGone(id); }));
  close(reader);
  unsetenv("GAVIO_DEBUG_OUTPUT");
  EXPECT_EQ(sink.late.load(), 0);
}

}  // namespace
