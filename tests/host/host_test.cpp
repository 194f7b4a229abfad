// The host frame: registration, creation, the live-instance map, the life
// rules of the component base, the unload notice and the leak report. The
// component code is linked into this program; the factory library is the
// real one, handed over with SetFactoryHandle as a client would.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "gavio/host.h"
#include "gavio/ids.h"
#include "gavio/memory.h"
#include "gavio/timers.h"
#include "frame/factory_lookup.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "support/test_support.h"

namespace {

using namespace gavio;
using gavio_test::DebugCapture;

const std::vector<uint32_t> kRegistrationOrder = {
    1071, 1011, 55, 56, 53, 54, 322, 323, 324, 39, 1131, 1, 67, 355, 3, 132, 50,
    51, 178, 183, 1068, 7, 65, 64, 33, 1121, 795, 383, 256, 260, 1189, 1187, 1185, 1186};

IComponentFactory* LoadFactory() {
  void* module = LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str());
  HostSetFactoryHandle(module);
  return GetFactoryObject(module);
}

// A component of the factory's own id, to check that destroying one sends
// no unload notice.
class IPlain : public IComponent {
 public:
  virtual void ComponentFinalize() = 0;
};
class FakeFactoryInstance final : public Component<361, IPlain> {
 public:
  void ComponentFinalize() override {}
};
IComponent* NewFakeFactoryInstance() { return new FakeFactoryInstance; }
// Registered before any test runs: one test fills the table to its limit.
const bool kFakeRegistered = (RegisterComponentClass(361, NewFakeFactoryInstance), true);

// A kept-alive component with an operation that calls out, for the life
// rules around callbacks.
class ICallOut : public IComponent {
 public:
  virtual void CallOut(void (*callback)(ICallOut*)) = 0;
  virtual void ComponentFinalize() = 0;
};
class CallOutComponent final : public Component<7777, ICallOut> {
 public:
  explicit CallOutComponent(bool keepAlive) { SetKeepAlive(keepAlive); }
  void CallOut(void (*callback)(ICallOut*)) override {
    GAVIO_HOLD_OR_RETURN();
    callback(this);
  }
  void ComponentFinalize() override {
    ++finalised;
    if (destroy_in_finalize) Destroy(0);
  }
  static inline int finalised = 0;
  static inline bool destroy_in_finalize = false;
};
IComponent* NewKeptAlive() { return new CallOutComponent(true); }
IComponent* NewPlainCallOut() { return new CallOutComponent(false); }
const bool kCallOutRegistered = (RegisterComponentClass(7777, NewKeptAlive),
                                 RegisterComponentClass(7778, NewPlainCallOut), true);

TEST(Registration, ClassesAreListedInTableOrderAndCountIsReturnedWithoutWriting) {
  uint32_t count = HostGetComponentIds(nullptr, 0);
  std::vector<uint32_t> ids(count);
  ASSERT_EQ(HostGetComponentIds(ids.data(), count), count);
  // Every registered class keeps its place relative to the full table.
  auto next = kRegistrationOrder.begin();
  for (uint32_t id : ids) {
    if (id == 361 || id == 7777 || id == 7778) continue;  // this program's own
    next = std::find(next, kRegistrationOrder.end(), id);
    ASSERT_NE(next, kRegistrationOrder.end()) << "out of order: " << id;
  }
  // Every class with a factory is listed, each once (the browser host
  // among them); with every class built the list is the whole table.
  std::vector<uint32_t> listed;
  for (uint32_t id : ids) {
    if (std::find(kRegistrationOrder.begin(), kRegistrationOrder.end(), id) != kRegistrationOrder.end()) {
      listed.push_back(id);
    }
  }
  std::vector<uint32_t> distinct = listed;
  std::sort(distinct.begin(), distinct.end());
  EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end()) << "a class listed twice";
  EXPECT_EQ(kRegistrationOrder.size(), 34u);
  EXPECT_NE(std::find(listed.begin(), listed.end(), kBrowserId), listed.end());
  uint32_t first_two[2] = {0, 0};
  uint32_t guard = 0xDEADBEEF;
  HostGetComponentIds(first_two, 1);
  EXPECT_EQ(first_two[0], ids[0]);
  EXPECT_EQ(first_two[1], 0u);
  EXPECT_EQ(guard, 0xDEADBEEF);
}

TEST(Registration, TableStopsAt512AndRefusesZeroIdsAndNullFactories) {
  uint32_t before = HostGetComponentIds(nullptr, 0);
  RegisterComponentClass(0, NewFakeFactoryInstance);
  RegisterComponentClass(9999, nullptr);
  EXPECT_EQ(HostGetComponentIds(nullptr, 0), before);
  // A duplicate is stored; lookups still find the earlier class.
  RegisterComponentClass(kTimeoutId, NewFakeFactoryInstance);
  EXPECT_EQ(HostGetComponentIds(nullptr, 0), before + 1);
  IComponent* timeout = HostCreateComponent(kTimeoutId, 0);
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(timeout->GetComponentID(), kTimeoutId);
  timeout->Destroy(0);
  while (HostGetComponentIds(nullptr, 0) < kMaxRegistrations) {
    RegisterComponentClass(70000, NewFakeFactoryInstance);
  }
  RegisterComponentClass(70001, NewFakeFactoryInstance);
  EXPECT_EQ(HostGetComponentIds(nullptr, 0), kMaxRegistrations);
  EXPECT_EQ(HostCreateComponent(70001, 0), nullptr);
}

TEST(Creation, UnknownIdsFailWithBothErrorLines) {
  DebugCapture debug;
  EXPECT_EQ(HostCreateComponent(424242, 7), nullptr);
  EXPECT_EQ(debug.Text(),
            "Gavio[Error]: Can't find the factory method of Component\n"
            "Gavio[Error]: ComponentID=424242 CreatorID=7");
}

TEST(Lifecycle, SafeSwitchOffKeepsEveryInstanceAlive) {
  IComponent* interval = HostCreateComponent(kIntervalId, 0);
  HostSetSafeToDestroy(0);
  interval->Destroy(1);
  EXPECT_FALSE(HostMapIsEmpty());
  EXPECT_EQ(interval->GetComponentID(), kIntervalId);  // still a live object
  HostSetSafeToDestroy(1);
  interval->Destroy(0);
  EXPECT_TRUE(HostMapIsEmpty());
}

TEST(Lifecycle, KeepAliveIgnoresPlainDestroyAndForcedDestroyWritesTheLeakReport) {
  gavio_test::TempDir dir;
  std::string ini = dir.File("log.ini");
  gavio_test::WriteFile(ini, "[Log]\nFile=log.txt\nFileMask=0x21\nDebugMask=0\n");
  IComponentFactory* factory = LoadFactory();
  ASSERT_NE(factory, nullptr);
  HostSetRegistryPath(ini.c_str());
  auto* memory = static_cast<IMemoryManager*>(HostCreateComponent(kMemoryManagerId, 0));
  void* a = memory->Allocate(0x55, 10);
  void* b = memory->Allocate(0x66, 20);
  EXPECT_EQ(memory->Allocate(1, 0), nullptr);
  memory->Destroy(0);
  EXPECT_FALSE(HostMapIsEmpty());
  memory->Destroy(1);
  EXPECT_TRUE(HostMapIsEmpty());
  HostSetRegistryPath(nullptr);
  std::string log = gavio_test::ReadFile(dir.File("log.txt"));
  EXPECT_NE(log.find("[M3][Error]Detect memory leak, block count = 2\n"), std::string::npos);
  EXPECT_NE(log.find("Creator:0x00000055 Size:10"), std::string::npos);
  EXPECT_NE(log.find("Creator:0x00000066 Size:20"), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5);
  free(a);
  free(b);
}

struct DestroyingSink : ITimeoutEvent {
  ITimeout* timeout = nullptr;
  int fired = 0;
  void OnTimeout(uint32_t) override {
    ++fired;
    timeout->Destroy(0);  // from inside the instance's own callback
  }
};

TEST(Lifecycle, DestroyFromInsideACallbackDeletesAfterTheCallbackReturns) {
  DestroyingSink sink;
  sink.timeout = static_cast<ITimeout*>(HostCreateComponent(kTimeoutId, 0));
  sink.timeout->SetTimeout(1, &sink, 0, nullptr);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return sink.fired == 1; }));
  EXPECT_TRUE(HostMapIsEmpty());
  EXPECT_EQ(GavioLiveTimerCount(), 0u);
}

TEST(Lifecycle, AKeptAliveInstanceForceDestroyedInsideItsCallbackIsDeletedAfterwards) {
  ASSERT_TRUE(kCallOutRegistered);
  auto* component = static_cast<ICallOut*>(HostCreateComponent(7777, 0));
  component->CallOut([](ICallOut* self) {
    self->Destroy(0);  // kept alive: ignored
    EXPECT_FALSE(HostMapIsEmpty());
    self->Destroy(1);  // finalised now, deleted when CallOut returns
    EXPECT_FALSE(HostMapIsEmpty());
  });
  EXPECT_TRUE(HostMapIsEmpty());
}

TEST(Lifecycle, ADestroyFromInsideComponentFinalizeFinalisesOnce) {
  CallOutComponent::finalised = 0;
  CallOutComponent::destroy_in_finalize = true;
  IComponent* component = HostCreateComponent(7778, 0);
  component->Destroy(0);
  CallOutComponent::destroy_in_finalize = false;
  EXPECT_EQ(CallOutComponent::finalised, 1);
  EXPECT_TRUE(HostMapIsEmpty());
}

TEST(UnloadNotice, ExactlyOneWhenTheLastInstanceGoesAndNoneForTheFactoryClass) {
  IComponentFactory* factory = LoadFactory();
  ASSERT_NE(factory, nullptr);
  uint32_t before = factory->GetUnloadNoticeCount();
  IComponent* first = HostCreateComponent(kIntervalId, 0);
  IComponent* second = HostCreateComponent(kTimeoutId, 0);
  first->Destroy(0);
  EXPECT_EQ(factory->GetUnloadNoticeCount(), before);
  second->Destroy(0);
  EXPECT_EQ(factory->GetUnloadNoticeCount(), before + 1);

  ASSERT_TRUE(kFakeRegistered);
  IComponent* fake = HostCreateComponent(361, 0);
  ASSERT_NE(fake, nullptr);
  fake->Destroy(0);
  EXPECT_EQ(factory->GetUnloadNoticeCount(), before + 1);
}

TEST(LiveMap, RemovingAnUnknownPointerWritesBothLinesAndChangesNothing) {
  IComponent* live = HostCreateComponent(kIntervalId, 0);
  DebugCapture debug;
  int not_a_component = 0;
  HostNotifyRemoved(reinterpret_cast<IComponent*>(&not_a_component), true);
  EXPECT_EQ(debug.Count("Gavio[Error]: To remove a component not exist\n"), 1);
  EXPECT_EQ(debug.Count("Gavio[Error]: IComponent* = 0x"), 1);
  EXPECT_FALSE(HostMapIsEmpty());
  live->Destroy(0);
}

TEST(LiveMap, FreeMapDestroysOnlyAutoFreeInstancesAndTheLeakReportListsTheRest) {
  IComponent* kept = HostCreateComponent(kIntervalId, 0x77);
  for (int i = 0; i < 3; ++i) HostCreateComponent(kTimeoutId, 0)->SetAutoFree(1);
  HostFreeAutoFreeInstances();
  DebugCapture debug;
  HostWriteLeakReport();
  std::string text = debug.Text();
  EXPECT_EQ(debug.Count("Gavio[Error]:====="), 2);
  EXPECT_NE(text.find("Gavio[Error]:Found leak Gavio components. Count:1\n"), std::string::npos);
  EXPECT_NE(text.find("Gavio[Error]:ComponentID:0x00000032 CreatorID:0x00000077 Pointer:0x"),
            std::string::npos);
  kept->Destroy(0);
  debug.Clear();
  HostWriteLeakReport();
  EXPECT_EQ(debug.Text(), "");
}

TEST(ComponentPointer, DestroysItsComponentUnlessDetachedAndLogsIdZero) {
  IComponentFactory* factory = LoadFactory();
  ASSERT_NE(factory, nullptr);
  IComponent* detached = nullptr;
  {
    TGavioPtr pointer(nullptr, kTimeoutId);
    ASSERT_TRUE(pointer);
    EXPECT_EQ(pointer.Get()->GetAutoFree(), 0u);
    EXPECT_EQ(CreateAndDetach(&detached, kIntervalId, nullptr), 1);
  }
  ASSERT_NE(detached, nullptr);
  EXPECT_EQ(detached->GetComponentID(), kIntervalId);
  detached->Destroy(0);
  EXPECT_EQ(CreateAndDetach(nullptr, kIntervalId, nullptr), 0);
  DebugCapture debug;
  TGavioPtr zero(nullptr, 0);
  EXPECT_FALSE(zero);
  EXPECT_EQ(debug.Count("[Gavio_Error] TGavioPtr with ComponentId = 0\n"), 1);
}

TEST(Paths, RegistryPathOfFullLengthIsEmptied) {
  std::string long_path(260, 'a');
  EXPECT_EQ(HostSetRegistryPath(long_path.c_str()), 0);
  char out[kPathSize];
  HostGetRegistryPath(out);
  EXPECT_STREQ(out, "");
  std::string fits(259, 'b');
  HostSetRegistryPath(fits.c_str());
  HostGetRegistryPath(out);
  EXPECT_EQ(std::string(out), fits);
  HostSetRegistryPath(nullptr);
}

}  // namespace
