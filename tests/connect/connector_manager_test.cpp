// The connector manager: the server table read from real list files (order,
// limits, bad input), the ".bak" recovery, and walks through the real
// connector against refusing, hanging and echoing servers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "connect/manager_timings.h"
#include "connect/server_list.h"
#include "connect_test_env.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "gavio/xml.h"
#include "manager_test_env.h"
#include "platform/errors.h"
#include "support/test_support.h"

namespace {

using connect_test::GamePeer;
using connect_test::ListServer;
using connect_test::ManagerEvents;
using connect_test::ServerListXml;
using gavio::IConnectorManager;
using gavio::IXmlDocument;
using gavio::ServerTable;

// The (server id, port) pairs of a whole walk.
std::vector<std::string> Walk(ServerTable* table) {
  std::vector<std::string> order;
  table->ResetWalk();
  while (table->Advance()) {
    order.push_back(std::to_string(table->Current()->serverId) + ":" +
                    std::to_string(table->CurrentPort()));
  }
  return order;
}

class ServerTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    document_ = connect_test::Create<IXmlDocument>(gavio::kXmlDocumentId);
    ASSERT_NE(document_, nullptr);
  }
  void TearDown() override { document_->Destroy(0); }
  gavio::ListReadResult Read(const std::string& xml, const char* list = "game") {
    EXPECT_EQ(document_->SetDoc(xml.c_str()), 1);
    return table_.Read(document_, list);
  }
  IXmlDocument* document_ = nullptr;
  ServerTable table_;
};

TEST_F(ServerTableTest, WalksEachServerWithEveryPortInOrder) {
  ASSERT_EQ(Read(ServerListXml("game", {{"10.0.0.1"}, {"10.0.0.2"}, {"host.example"}}, {8000, 443})),
            gavio::ListReadResult::kOk);
  EXPECT_EQ(Walk(&table_), (std::vector<std::string>{"1:8000", "1:443", "2:8000", "2:443",
                                                      "3:8000", "3:443"}));
}

TEST_F(ServerTableTest, LastSuccessGoesFirstWithItsPortBehindPriorityServers) {
  ASSERT_EQ(Read(ServerListXml("game", {{"a"}, {"b"}, {"c"}, {"d"}}, {8000, 443})),
            gavio::ListReadResult::kOk);
  int32_t none[gavio::kMaxServers] = {};
  table_.ApplyPriority(none, 2, 443);
  EXPECT_EQ(Walk(&table_).at(0), "2:443");
  EXPECT_EQ(Walk(&table_).at(1), "2:8000");

  int32_t priority[gavio::kMaxServers] = {4};
  table_.ApplyPriority(priority, 3, 8000);
  std::vector<std::string> walk = Walk(&table_);
  EXPECT_EQ(walk.at(0), "4:8000");
  EXPECT_EQ(walk.at(2), "3:8000");
}

TEST_F(ServerTableTest, BadInputIsCutOrRefused) {
  struct Case {
    const char* name;
    std::string xml;
    gavio::ListReadResult result;
    int servers;
    int ports;
  };
  std::vector<ListServer> forty(40, ListServer{"10.1.1.1"});
  std::string longHost(32, 'h');
  const Case cases[] = {
      {"over 32 servers", ServerListXml("game", forty, {1}), gavio::ListReadResult::kOk, 32, 1},
      {"over 10 ports", ServerListXml("game", {{"a"}}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
       gavio::ListReadResult::kOk, 1, 10},
      {"long host unused",
       ServerListXml("game", {{"a"}, {longHost}, {"c"}}, {7}), gavio::ListReadResult::kOk, 3, 1},
      {"stops at a missing server",
       "<Server><game count='3'><server1 host='a'/><server3 host='c'/></game></Server>",
       gavio::ListReadResult::kOk, 1, 0},
      {"count 0", "<Server><game count='0'><server1 host='a'/></game></Server>",
       gavio::ListReadResult::kBadCount, 0, 0},
      {"count not a number", "<Server><game count='2x'><server1 host='a'/></game></Server>",
       gavio::ListReadResult::kBadCount, 0, 0},
      {"no such list", ServerListXml("other", {{"a"}}, {1}), gavio::ListReadResult::kNoList, 0, 0},
      {"no Server root", "<Servers><game count='1'/></Servers>",
       gavio::ListReadResult::kNoServerElement, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Read(c.xml), c.result);
    EXPECT_EQ(table_.count(), c.servers);
    EXPECT_EQ(table_.portCount(), c.ports);
  }
  Read(cases[2].xml);
  EXPECT_EQ(table_.at(1).inUse, 0);
  EXPECT_EQ(table_.at(2).inUse, 1);
}

TEST_F(ServerTableTest, WithoutPortlistEveryAttemptUses443AndBadPortsToo) {
  Read(ServerListXml("game", {{"a"}, {"b"}}, {}));
  EXPECT_EQ(Walk(&table_), (std::vector<std::string>{"1:443", "2:443"}));
  Read("<Server><game count='1'><server1 host='a'/>"
       "<portlist count='2' port1='70000' port2='80x'/></game></Server>");
  EXPECT_EQ(Walk(&table_), (std::vector<std::string>{"1:443", "1:443"}));
}

TEST_F(ServerTableTest, RankingReordersOnlyUntriedServersOutsidePriority) {
  Read(ServerListXml("game", {{"10.0.0.1"}, {"10.0.0.2"}, {"10.0.0.3"}, {"10.0.0.4"}}, {1}));
  int32_t priority[gavio::kMaxServers] = {0, 0, 3};  // 10.0.0.3 pinned at position 2
  table_.ApplyPriority(priority, 0, 0);
  table_.FollowRanking(1, {"10.0.0.3", "10.0.0.4", "10.0.0.2", "10.0.0.1"});
  std::vector<std::string> walk = Walk(&table_);
  EXPECT_EQ(walk, (std::vector<std::string>{"1:1", "4:1", "3:1", "2:1"}));
}

class ManagerFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = connect_test::Create<IConnectorManager>(gavio::kConnectorManagerId);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    if (manager_ != nullptr) manager_->Destroy(0);
  }
  IConnectorManager* manager_ = nullptr;
  gavio_test::TempDir dir_;
};

TEST_F(ManagerFileTest, CorruptListIsRestoredFromItsBackupOnce) {
  gavio_test::DebugCapture capture;
  std::string list = dir_.File("servers.xml");
  std::string good = ServerListXml("game", {{"10.0.0.1"}}, {8000});
  gavio_test::WriteFile(list, "<Server><game count='1'>");
  gavio_test::WriteFile(list + ".bak", good);
  chmod((list + ".bak").c_str(), 0444);
  EXPECT_EQ(manager_->LoadServers(list.c_str(), "game"), 1);
  EXPECT_EQ(gavio_test::ReadFile(list), good);
  struct stat info;
  ASSERT_EQ(stat(list.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IWUSR, 0u) << "the restored copy is writable";
  EXPECT_EQ(capture.Count("Dump of CConnectManager"), 1);

  // Both broken: the file's own message, and no third attempt.
  gavio_test::WriteFile(list, "not xml");
  chmod((list + ".bak").c_str(), 0644);
  gavio_test::WriteFile(list + ".bak", "<<<");
  EXPECT_EQ(manager_->LoadServers(list.c_str(), "game"), 0);
  EXPECT_EQ(capture.Count("服务器列表配置文件不存在或内容错误！"), 1);
  EXPECT_EQ(capture.Count("CConnectorManager::LoadServers Fail!"), 1);
  EXPECT_EQ(manager_->StartConnect(), 0) << "no servers left over from the first list";
}

TEST_F(ManagerFileTest, MissingFileWithoutBackupAndBadArgumentsFail) {
  EXPECT_EQ(manager_->LoadServers(dir_.File("none.xml").c_str(), "game"), 0);
  EXPECT_EQ(manager_->LoadServers(nullptr, "game"), 0);
  EXPECT_EQ(manager_->LoadServers(std::string(600, 'p').c_str(), "game"), 0);
  EXPECT_EQ(manager_->GetSocket(), static_cast<uintptr_t>(-1));
  manager_->Send("x", 1);  // not connected: nothing happens
}

// One manager walking one list file, with its listener and its log.
class Walker {
 public:
  Walker(const std::string& xml, const char* list = "game") : file_(dir_.File("servers.xml")) {
    gavio_test::WriteFile(file_, xml);
    manager = connect_test::Create<IConnectorManager>(gavio::kConnectorManagerId);
    EXPECT_NE(manager, nullptr);
    gavio::EventSourceOf(manager)->AddListener(static_cast<gavio::IConnectorSink*>(&events), 0);
    loaded = manager->LoadServers(file_.c_str(), list) == 1;
    manager->SetFraming(1);
    manager->SetPacketParam(4096, 2, 0);
  }
  ~Walker() {
    if (manager != nullptr) manager->Destroy(0);
  }
  // Pumps until the walk connected or failed.
  bool Ended(uint32_t limitMs = 20000) {
    return gavio_test::PumpUntil([&] { return events.Has("connected") || events.Has("failed"); },
                                 limitMs);
  }
  std::vector<std::string> Attempts() const { return connect_test::Attempts(capture_.Text()); }
  std::string File() const { return gavio_test::ReadFile(file_); }
  const std::string& path() const { return file_; }

  IConnectorManager* manager = nullptr;
  ManagerEvents events;
  bool loaded = false;

 private:
  gavio_test::DebugCapture capture_;
  gavio_test::TempDir dir_;
  std::string file_;
};

std::string At(const char* host, uint16_t port) { return std::string(host) + ":" + std::to_string(port); }

TEST(ConnectorManagerTest, RefusingFirstServerThenTheSecondServesAndIsRemembered) {
  GamePeer serving;
  uint16_t p = serving.port();
  ASSERT_NE(p, 0);
  std::string xml = ServerListXml("game", {{"127.0.0.2"}, {"127.0.0.1"}}, {p});
  std::string remembered;
  {
    Walker walk(xml);
    ASSERT_TRUE(walk.loaded);
    ASSERT_EQ(walk.manager->StartConnect(), 1);
    ASSERT_TRUE(walk.Ended());
    ASSERT_TRUE(walk.events.Has("connected"));
    EXPECT_EQ(walk.Attempts(), (std::vector<std::string>{At("127.0.0.2", p), At("127.0.0.1", p)}));
    EXPECT_NE(walk.manager->GetSocket(), static_cast<uintptr_t>(-1));
    std::string packet = connect_test::Packet(40);
    walk.manager->Send(packet.data(), 40);
    ASSERT_TRUE(gavio_test::PumpUntil([&] { return !walk.events.packets.empty(); }));
    EXPECT_EQ(walk.events.packets.front(), packet);
    remembered = walk.File();
    EXPECT_NE(remembered.find("SuccessfulServerID=\"2\""), std::string::npos) << remembered;
    EXPECT_NE(remembered.find("SuccessfulPort=\"" + std::to_string(p) + "\""), std::string::npos);
    walk.manager->Stop();
  }
  // Next time the server that worked is tried first.
  Walker again(remembered);
  ASSERT_EQ(again.manager->StartConnect(), 1);
  ASSERT_TRUE(again.Ended());
  EXPECT_TRUE(again.events.Has("connected"));
  EXPECT_EQ(again.Attempts(), std::vector<std::string>{At("127.0.0.1", p)});
}

TEST(ConnectorManagerTest, WalkSkipsOtherCatalogsAndExcludedServers) {
  uint16_t a = connect_test::ClosedPort(), b = connect_test::ClosedPort();
  std::string xml = ServerListXml(
      "game", {{"127.0.0.2"}, {"127.0.0.3", 5}, {"127.0.0.4"}, {"127.0.0.5"}}, {a, b});
  Walker walk(xml);
  int32_t excluded[] = {3};
  walk.manager->SetExcludeList(1, excluded);
  ASSERT_EQ(walk.manager->StartConnect(), 1);
  ASSERT_TRUE(walk.Ended());
  EXPECT_EQ(walk.events.failure, gavio::kConnectErrorNoServerLeft);
  EXPECT_EQ(walk.Attempts(), (std::vector<std::string>{At("127.0.0.2", a), At("127.0.0.2", b),
                                                        At("127.0.0.5", a), At("127.0.0.5", b)}));

  // Another catalog: only its server, and nothing usable fails at once.
  Walker other(xml);
  other.manager->SetCatalogID(5);
  other.manager->StartConnect();
  ASSERT_TRUE(other.Ended());
  EXPECT_EQ(other.Attempts(), (std::vector<std::string>{At("127.0.0.3", a), At("127.0.0.3", b)}));
  Walker none(xml);
  none.manager->SetCatalogID(9);
  EXPECT_EQ(none.manager->StartConnect(), 0);
  EXPECT_EQ(none.events.failure, gavio::kConnectErrorNoServerLeft);
}

// Restores the manager's limits at the end of a test that shortened them.
struct ShortLimits {
  ShortLimits(uint32_t attemptMs, uint32_t overallMs) {
    gavio::ManagerTimings timings;
    timings.checkPeriodMs = 50;
    timings.attemptLimitMs = attemptMs;
    timings.overallLimitMs = overallMs;
    gavio::SetManagerTimings(timings);
  }
  ~ShortLimits() { gavio::SetManagerTimings(gavio::ManagerTimings{}); }
};

TEST(ConnectorManagerTest, HangingServersAreAbandonedInTurnThenTheWalkEnds) {
  GamePeer first({"--hang"}), second({"--hang"});
  uint16_t a = first.port(), b = second.port();
  ASSERT_TRUE(a != 0 && b != 0);
  std::string xml = ServerListXml("game", {{"127.0.0.1"}, {"localhost"}}, {a, b});
  const std::vector<std::string> order{At("127.0.0.1", a), At("127.0.0.1", b),
                                       At("localhost", a), At("localhost", b)};
  {
    ShortLimits limits(200, 60000);
    Walker walk(xml);
    ASSERT_EQ(walk.manager->StartConnect(), 1);
    ASSERT_TRUE(walk.Ended(30000));
    EXPECT_EQ(walk.events.failure, gavio::kConnectErrorNoServerLeft);
    EXPECT_EQ(walk.Attempts(), order);
  }
  {
    // The overall limit ends the walk in the middle.
    ShortLimits limits(5000, 400);
    Walker walk(xml);
    ASSERT_EQ(walk.manager->StartConnect(), 1);
    ASSERT_TRUE(walk.Ended(30000));
    EXPECT_EQ(walk.events.failure, gavio::kConnectErrorFailed);
    std::vector<std::string> attempts = walk.Attempts();
    ASSERT_FALSE(attempts.empty());
    EXPECT_LT(attempts.size(), order.size());
    EXPECT_TRUE(std::equal(attempts.begin(), attempts.end(), order.begin()));
  }
}

// A listening socket on a loopback address that never accepts: connects
// to it succeed, which is all the speed-test walk needs.
class Listening {
 public:
  Listening(const char* address, uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    socklen_t length = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 8) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~Listening() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST(ConnectorManagerTest, SpeedTestConnectsToTheFirstServerToAnswer) {
  Listening slow("127.0.0.2", 0);
  Listening fast("127.0.0.3", slow.port());
  uint16_t port = fast.port();
  ASSERT_NE(port, 0);
  connect_test::PeerProcess probes("probe_peer", {"127.0.0.2=600", "127.0.0.3=0"});
  struct Case {
    const char* name;
    uint16_t detectPort;
    int32_t priority;
    std::string first;
  } cases[] = {
      {"fastest first", probes.port(), 0, At("127.0.0.3", port)},
      {"nobody answers: table order", connect_test::ClosedPort(), 0, At("127.0.0.2", port)},
      // A priority server leads: nothing to rank, so it is tried at once.
      {"priority first", probes.port(), 1, At("127.0.0.2", port)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Walker walk(ServerListXml("game", {{"127.0.0.2"}, {"127.0.0.3"}}, {port},
                            "DetectPort=\"" + std::to_string(c.detectPort) + "\""));
    if (c.priority != 0) walk.manager->SetPriorityList(1, &c.priority);
    walk.manager->SetSpeedTest(1);
    ASSERT_EQ(walk.manager->StartConnect(), 1);
    ASSERT_TRUE(walk.Ended());
    EXPECT_TRUE(walk.events.Has("connected"));
    ASSERT_FALSE(walk.Attempts().empty());
    EXPECT_EQ(walk.Attempts().front(), c.first);
  }
}

TEST(ConnectorManagerTest, ListenerMayStopOrDestroyTheManagerInsideAnyEvent) {
  GamePeer serving;
  GamePeer closing({"--close-after", "10"});
  uint16_t refused = connect_test::ClosedPort();
  struct Case {
    const char* event;
    uint16_t port;
  } cases[] = {{"connected", serving.port()}, {"packet", serving.port()},
               {"closed", closing.port()}, {"failed", refused}};
  for (bool destroy : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.event << (destroy ? " destroy" : " stop"));
      Walker walk(ServerListXml("game", {{"127.0.0.1"}}, {c.port}));
      bool ended = false;
      walk.events.hook = [&](const std::string& kind) {
        if (kind == "connected") {
          std::string packet = connect_test::Packet(10);
          walk.manager->Send(packet.data(), 10);
        }
        if (kind != c.event || ended) return;
        ended = true;
        if (!destroy) {
          walk.manager->Stop();
          return;
        }
        walk.manager->Destroy(0);
        walk.manager = nullptr;
      };
      walk.manager->StartConnect();
      ASSERT_TRUE(gavio_test::PumpUntil([&] { return ended; }));
      size_t seen = walk.events.events.size();
      gavio_test::PumpFor(100);
      EXPECT_EQ(walk.events.events.size(), seen) << "nothing after the end";
    }
  }
}

// The real limits: every server hangs, each attempt is given up after
// about 2.9 s, and the walk ends at about 30 s with the overall failure.
TEST(ConnectorManagerSlowTest, AllHangingServersEndWithinTheOverallLimit) {
  GamePeer first({"--hang"}), second({"--hang"});
  std::vector<ListServer> servers;
  for (int i = 0; i < 8; ++i) servers.push_back(ListServer{i % 2 == 0 ? "127.0.0.1" : "localhost"});
  Walker walk(ServerListXml("game", servers, {first.port(), second.port()}));
  DWORD start = GetTickCount();
  ASSERT_EQ(walk.manager->StartConnect(), 1);
  ASSERT_TRUE(walk.Ended(60000));
  DWORD elapsed = GetTickCount() - start;
  EXPECT_EQ(walk.events.failure, gavio::kConnectErrorFailed);
  EXPECT_GE(elapsed, 30000u);
  EXPECT_LT(elapsed, 45000u);
  std::vector<std::string> attempts = walk.Attempts();
  EXPECT_GE(attempts.size(), 6u);
  EXPECT_LE(attempts.size(), 11u) << "no attempt is shorter than 2.9 s";
}

}  // namespace
