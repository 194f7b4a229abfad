// Host lookup 66: one event per lookup, on the creating thread, and a
// component that can be destroyed while its worker still resolves.
#include <arpa/inet.h>

#include <algorithm>
#include <vector>

#include "factory_library.h"

namespace gavio::hostlib_test {
namespace {

constexpr DWORD kEventLimitMs = 60000;  // a resolver may wait on its servers
constexpr DWORD kQuietMs = 300;
const char kUnresolvable[] = "gavio-no-such-host.invalid";

class RecordingSink : public IHostLookupSink {
 public:
  void OnHostLookupSuccess(const uint32_t* addresses, uint32_t count) override {
    ++successes;
    this->addresses.assign(addresses, addresses + count);
    Record();
  }
  void OnHostLookupFail(uint32_t error) override {
    this->error = error;
    Record();
  }
  void Record() {
    ++events;
    threadId = GetCurrentThreadId();
    if (onEvent) onEvent();
  }

  int events = 0;
  int successes = 0;
  uint32_t error = 0;
  DWORD threadId = 0;
  std::vector<uint32_t> addresses;
  std::function<void()> onEvent;
};

class HostLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    windowsBefore_ = GavioLiveWindowCount();
    IComponentFactory* factory = FactoryObject();
    ASSERT_NE(factory, nullptr);
    lookup_ = static_cast<IHostLookup*>(factory->CreateComponentById(66, nullptr));
    ASSERT_NE(lookup_, nullptr);
    EXPECT_EQ(lookup_->GetComponentID(), 66u);
    EventSourceOf(lookup_)->AddListener(static_cast<IHostLookupSink*>(&sink_), 0);
  }
  void TearDown() override {
    if (lookup_ != nullptr) lookup_->Destroy(0);
    EXPECT_EQ(GavioLiveWindowCount(), windowsBefore_);
  }

  bool WaitForEvent() {
    return PumpUntil([this] { return sink_.events > 0; }, kEventLimitMs);
  }

  DWORD windowsBefore_ = 0;
  IHostLookup* lookup_ = nullptr;
  RecordingSink sink_;
};

TEST_F(HostLookupTest, LocalhostGivesOneSuccessOnTheCreatingThread) {
  RecordingSink removed;
  EventSourceOf(lookup_)->AddListener(static_cast<IHostLookupSink*>(&removed), 0);
  EXPECT_EQ(EventSourceOf(lookup_)->RemoveListener(&removed), 1);
  EXPECT_EQ(EventSourceOf(lookup_)->RemoveListener(&removed), 0);

  ASSERT_EQ(lookup_->Resolve("localhost"), 1);
  ASSERT_TRUE(WaitForEvent());
  PumpFor(kQuietMs);
  EXPECT_EQ(sink_.events, 1);
  ASSERT_EQ(sink_.successes, 1);
  EXPECT_EQ(sink_.threadId, GetCurrentThreadId());
  EXPECT_NE(std::find(sink_.addresses.begin(), sink_.addresses.end(), htonl(INADDR_LOOPBACK)),
            sink_.addresses.end());
  EXPECT_EQ(removed.events, 0);
}

TEST_F(HostLookupTest, UnresolvableNameGivesOneFailure) {
  ASSERT_EQ(lookup_->Resolve(kUnresolvable), 1);
  ASSERT_TRUE(WaitForEvent());
  PumpFor(kQuietMs);
  EXPECT_EQ(sink_.events, 1);
  EXPECT_EQ(sink_.successes, 0);
  EXPECT_NE(sink_.error, 0u);
  EXPECT_EQ(sink_.threadId, GetCurrentThreadId());
}

TEST_F(HostLookupTest, NewLookupSupersedesTheRunningOne) {
  ASSERT_EQ(lookup_->Resolve(kUnresolvable), 1);
  ASSERT_EQ(lookup_->Resolve("127.0.0.1"), 1);
  ASSERT_TRUE(WaitForEvent());
  PumpFor(kQuietMs);
  EXPECT_EQ(sink_.events, 1);
  EXPECT_EQ(sink_.successes, 1);
}

TEST_F(HostLookupTest, DestroyWhileResolvingDropsTheResult) {
  ASSERT_EQ(lookup_->Resolve("localhost"), 1);
  lookup_->Destroy(0);
  lookup_ = nullptr;
  // The worker finishes on its own; nothing may reach the sink or the
  // destroyed component (the sanitizer build checks the latter).
  PumpFor(2 * kQuietMs);
  EXPECT_EQ(sink_.events, 0);
}

TEST_F(HostLookupTest, ListenerMayDestroyTheComponentFromInsideTheEvent) {
  RecordingSink second;
  EventSourceOf(lookup_)->AddListener(static_cast<IHostLookupSink*>(&second), 0);
  sink_.onEvent = [this] {
    lookup_->Destroy(0);
    lookup_ = nullptr;
  };
  second.onEvent = sink_.onEvent;
  ASSERT_EQ(lookup_->Resolve("127.0.0.1"), 1);
  ASSERT_TRUE(PumpUntil([&] { return sink_.events + second.events > 0; }, kEventLimitMs));
  PumpFor(kQuietMs);
  // The first listener destroyed it: a destroyed component raises no more.
  EXPECT_EQ(sink_.events + second.events, 1);
  EXPECT_EQ(lookup_, nullptr);
}

}  // namespace
}  // namespace gavio::hostlib_test
