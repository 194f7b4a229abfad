// The main of every test program: GoogleTest with one listener that checks
// each test leaves no live windows, timers or component instances behind.
#include <gtest/gtest.h>

#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/messages.h"

namespace {

class LeakListener : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    windows_ = GavioLiveWindowCount();
    timers_ = GavioLiveTimerCount();
    instancesLive_ = !gavio::HostMapIsEmpty();
  }
  // Runs after the fixture's TearDown and destructor.
  void OnTestEnd(const testing::TestInfo&) override {
    EXPECT_LE(GavioLiveWindowCount(), windows_) << "the test left windows alive";
    EXPECT_LE(GavioLiveTimerCount(), timers_) << "the test left timers alive";
    if (!instancesLive_) {
      EXPECT_TRUE(gavio::HostMapIsEmpty()) << "the test left component instances alive";
    }
  }

 private:
  DWORD windows_ = 0;
  DWORD timers_ = 0;
  bool instancesLive_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new LeakListener);
  return RUN_ALL_TESTS();
}
