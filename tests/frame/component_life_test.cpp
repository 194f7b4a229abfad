// The component life under concurrent holds: a Destroy on one thread and a
// hold guard closing on another must end the instance exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "frame/component_base.h"

namespace {

using gavio::Component;
using gavio::IComponent;

std::atomic<int> g_deleted{0};

class IHolder : public IComponent {
 public:
  // Holds the instance until *release is set.
  virtual void HoldUntil(const std::atomic<bool>* release, std::atomic<bool>* holding) = 0;
  virtual void ComponentFinalize() = 0;
};

class Holder final : public Component<9001, IHolder> {
 public:
  explicit Holder(std::atomic<bool>* release) : release_(release) {}
  ~Holder() override { g_deleted.fetch_add(1); }

  void HoldUntil(const std::atomic<bool>* release, std::atomic<bool>* holding) override {
    GAVIO_HOLD_OR_RETURN();
    holding->store(true);
    while (!release->load()) std::this_thread::yield();
  }
  // Releasing the other thread's hold as the last thing finalising does
  // lines its guard's close up with the end of Destroy.
  void ComponentFinalize() override { release_->store(true); }

 private:
  std::atomic<bool>* release_;
};

TEST(ComponentLife, DestroyRacingAHoldGuardOnAnotherThreadDeletesOnce) {
  constexpr int kRounds = 1000;
  int before = g_deleted.load();
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<bool> release{false};
    std::atomic<bool> holding{false};
    auto* holder = new Holder(&release);
    std::thread other([&] { holder->HoldUntil(&release, &holding); });
    while (!holding.load()) std::this_thread::yield();
    holder->Destroy(0);
    other.join();
    ASSERT_EQ(g_deleted.load() - before, round + 1) << "round " << round;
  }
}

}  // namespace
