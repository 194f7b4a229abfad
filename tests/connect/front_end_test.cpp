// The connector front-ends (323 and 324, the same class) against game_peer
// processes: data queued before the connection stands goes out in order,
// a refusing server is passed over, a list that fails throughout reports
// -1 and forgets what was queued, and a close reaches the listeners.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "connect/front_end_hooks.h"
#include "connect_test_env.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "support/test_support.h"

using connect_test::Entry;
using connect_test::GamePeer;
using connect_test::Packet;
using gavio::IConnectorFrontEnd;

namespace {

struct Recorder : gavio::IConnectorFrontEndSink {
  void OnConnectFailed(int32_t error) override { failures.push_back(error); }
  void OnData(const char* bytes, int32_t length) override {
    data.emplace_back(bytes, static_cast<size_t>(length));
  }
  void OnClose(int32_t reason) override { closes.push_back(reason); }
  std::vector<int32_t> failures;
  std::vector<std::string> data;
  std::vector<int32_t> closes;
};

struct FrontEnd {
  IConnectorFrontEnd* front;
  Recorder recorder;

  explicit FrontEnd(uint32_t id, const std::vector<uint16_t>& ports)
      : front(static_cast<IConnectorFrontEnd*>(connect_test::Create(id))) {
    gavio::EventSourceOf(front)->AddListener(
        static_cast<gavio::IConnectorFrontEndSink*>(&recorder), 0);
    gavio::SocketParam param{gavio::kProxyTypeTcp, nullptr};
    front->SetSocketParam(&param);
    front->SetPacketParam(4096, 2);
    SetServers(ports);
  }
  ~FrontEnd() {
    if (front != nullptr) front->Destroy(1);
  }
  void SetServers(const std::vector<uint16_t>& ports, uint32_t count = 0) {
    gavio::FrontEndServerList list{};
    list.count = count != 0 ? count : static_cast<uint32_t>(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) list.servers[i] = Entry("127.0.0.1", ports[i]);
    EXPECT_EQ(front->SetServerListInfo(&list), 1);
  }
  void Send(const std::string& packet) {
    front->Send(packet.data(), static_cast<int32_t>(packet.size()));
  }
};

TEST(FrontEndTest, DataQueuedBeforeTheConnectionGoesOutInOrderToTheServerThatAccepts) {
  GamePeer refusing({"--refuse"});
  GamePeer serving;
  for (uint32_t id : {gavio::kConnectorFrontEndAId, gavio::kConnectorFrontEndBId}) {
    SCOPED_TRACE(id);
    FrontEnd fe(id, {refusing.port(), serving.port()});
    EXPECT_EQ(fe.front->GetComponentID(), id);
    std::vector<std::string> sent = {Packet(10, 2, 0, 1), Packet(3000, 2, 0, 2),
                                     Packet(20, 2, 0, 3)};
    for (const std::string& packet : sent) fe.Send(packet);
    ASSERT_TRUE(gavio_test::PumpUntil([&] { return fe.recorder.data.size() >= 3; }));
    EXPECT_EQ(fe.recorder.data, sent);
    gavio::ServerEntry current{};
    ASSERT_EQ(fe.front->GetCurrentServer(&current), 1);
    EXPECT_EQ(current.port, serving.port());
    // Connected: sent at once.
    fe.Send(Packet(40, 2, 0, 4));
    ASSERT_TRUE(gavio_test::PumpUntil([&] { return fe.recorder.data.size() >= 4; }));
    fe.front->Disconnect();
    EXPECT_EQ(fe.front->GetCurrentServer(&current), 0);
    EXPECT_TRUE(fe.recorder.failures.empty());
  }
}

// Every server refuses: one failure of -1, and the queued data is gone, so
// the next connection carries only what is sent after it. A count past
// the 32 records is walked only as far as the records go.
TEST(FrontEndTest, AListThatFailsThroughoutReportsOnceAndForgetsTheQueue) {
  GamePeer refusing({"--refuse"});
  GamePeer serving;
  for (uint32_t count : {0u, 3u, 1000u}) {
    SCOPED_TRACE(count);
    std::vector<uint16_t> ports(count == 0 ? 0 : count == 3 ? 3 : 32, refusing.port());
    FrontEnd fe(gavio::kConnectorFrontEndAId, ports);
    if (count == 1000) fe.SetServers(ports, 1000);
    fe.Send(Packet(10, 2, 0, 9));
    ASSERT_TRUE(gavio_test::PumpUntil([&] { return !fe.recorder.failures.empty(); }));
    gavio_test::PumpFor(50);
    EXPECT_EQ(fe.recorder.failures, std::vector<int32_t>{-1});
    fe.SetServers({serving.port()});
    std::string later = Packet(30, 2, 0, 5);
    fe.Send(later);
    ASSERT_TRUE(gavio_test::PumpUntil([&] { return !fe.recorder.data.empty(); }));
    gavio_test::PumpFor(50);
    EXPECT_EQ(fe.recorder.data, std::vector<std::string>{later});
  }
}

// Destroyed (or disconnected) while its connect hangs: the connector goes
// with it and nothing reaches the listener later.
TEST(FrontEndTest, EndingWhileTheConnectHangsLeavesNothingBehind) {
  GamePeer hanging({"--hang"});
  DWORD windows = GavioLiveWindowCount();
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy);
    auto fe = std::make_unique<FrontEnd>(gavio::kConnectorFrontEndAId,
                                         std::vector<uint16_t>{hanging.port()});
    fe->Send(Packet(10));
    gavio_test::PumpFor(100);
    Recorder* recorder = &fe->recorder;
    if (destroy) {
      fe.reset();
    } else {
      fe->front->Disconnect();
    }
    gavio_test::PumpFor(100);
    if (!destroy) {
      EXPECT_TRUE(recorder->failures.empty() && recorder->closes.empty());
      fe.reset();
    }
  }
  EXPECT_LE(GavioLiveWindowCount(), windows);
}

TEST(FrontEndTest, ServerCloseReachesTheListenersAndAListenerMayDestroyInIt) {
  GamePeer closing({"--burst", "2", "100", "--close-after", "200"});
  Recorder* recorder = nullptr;
  IConnectorFrontEnd* front = nullptr;
  struct Destroyer : Recorder {
    IConnectorFrontEnd** front;
    void OnClose(int32_t reason) override {
      Recorder::OnClose(reason);
      (*front)->Destroy(1);
      *front = nullptr;
    }
  } destroyer;
  destroyer.front = &front;
  recorder = &destroyer;
  front = static_cast<IConnectorFrontEnd*>(connect_test::Create(gavio::kConnectorFrontEndBId));
  gavio::EventSourceOf(front)->AddListener(static_cast<gavio::IConnectorFrontEndSink*>(recorder),
                                           0);
  gavio::SocketParam param{gavio::kProxyTypeTcp, nullptr};
  front->SetSocketParam(&param);
  front->SetPacketParam(4096, 2);
  gavio::FrontEndServerList list{};
  list.count = 1;
  list.servers[0] = Entry("127.0.0.1", closing.port());
  front->SetServerListInfo(&list);
  std::string packet = Packet(10);
  front->Send(packet.data(), 10);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return front == nullptr; }));
  EXPECT_EQ(recorder->closes, std::vector<int32_t>{0});
  EXPECT_EQ(recorder->data.size(), 2u);
}

// The front-end's memory manager comes from the component library that the
// factory loads, which reads its log masks from an INI of its own: this one
// lets the managers' errors (leak reports) reach the debugger output.
class ComponentLibraryErrorsShown {
 public:
  ComponentLibraryErrorsShown() : ini_(dir_.File("errors.ini")) {
    gavio_test::WriteFile(ini_, "[361]\nDLL=" + gavio_test::BuildDir() +
                                    "/GavFact.dll\n[Log.3]\nDebugMask=0x1\n");
    HMODULE library = LoadLibraryA((gavio_test::BuildDir() + "/libgavio.so").c_str());
    if (library != nullptr) {
      setRegistry_ =
          reinterpret_cast<int32_t (*)(const char*)>(GetProcAddress(library, "SetDLLRegistry"));
    }
    if (setRegistry_ != nullptr) setRegistry_(ini_.c_str());
  }
  ~ComponentLibraryErrorsShown() {
    if (setRegistry_ != nullptr) setRegistry_("");
  }
  bool Shown() const { return setRegistry_ != nullptr; }

 private:
  gavio_test::TempDir dir_;
  std::string ini_;
  int32_t (*setRegistry_)(const char*) = nullptr;
};

FrontEnd* g_destroyInSend = nullptr;
int g_blocksSent = 0;

void DestroyOnFirstWaitListSend(IConnectorFrontEnd* front) {
  ++g_blocksSent;
  if (g_destroyInSend == nullptr || front != g_destroyInSend->front) return;
  g_destroyInSend->front = nullptr;
  front->Destroy(1);
}

// A listener may destroy the front-end in an event raised while it sends
// its wait list (the test hook stands in for such an event, right after the
// first block went out). Nothing more is sent, and the blocks still queued
// go back once, to a memory manager still open: its report at the end
// names none of them, and the sanitizers see no use of what is gone.
TEST(FrontEndTest, DestroyInTheMiddleOfTheWaitListSendReturnsTheRestOnce) {
  GamePeer serving;
  gavio_test::DebugCapture debug;
  ComponentLibraryErrorsShown errors;
  ASSERT_TRUE(errors.Shown());
  FrontEnd fe(gavio::kConnectorFrontEndAId, {serving.port()});
  g_destroyInSend = &fe;
  g_blocksSent = 0;
  gavio::SetWaitListSendHook(DestroyOnFirstWaitListSend);
  for (uint32_t k = 0; k < 4; ++k) fe.Send(Packet(100 + k, 2, 0, k));
  bool destroyed = gavio_test::PumpUntil([&] { return fe.front == nullptr; });
  gavio::SetWaitListSendHook(nullptr);
  g_destroyInSend = nullptr;
  ASSERT_TRUE(destroyed);
  gavio_test::PumpFor(100);
  EXPECT_EQ(g_blocksSent, 1);
  EXPECT_TRUE(fe.recorder.data.empty() && fe.recorder.closes.empty());
  EXPECT_EQ(debug.Count("Detect memory leak"), 0) << debug.Text();
  EXPECT_EQ(debug.Count("not alloced by me"), 0) << debug.Text();
}

}  // namespace
