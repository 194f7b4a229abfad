// The connector manager: the server table read from real list files (order,
// limits, bad input), the ".bak" recovery, and walks through the real
// connector against refusing, hanging and echoing servers.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "connect/server_list.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "gavio/xml.h"
#include "manager_test_env.h"
#include "support/test_support.h"

namespace {

using connect_test::ListServer;
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
}

TEST_F(ManagerFileTest, MissingFileWithoutBackupAndBadArgumentsFail) {
  EXPECT_EQ(manager_->LoadServers(dir_.File("none.xml").c_str(), "game"), 0);
  EXPECT_EQ(manager_->LoadServers(nullptr, "game"), 0);
  EXPECT_EQ(manager_->LoadServers(std::string(600, 'p').c_str(), "game"), 0);
  EXPECT_EQ(manager_->GetSocket(), static_cast<uintptr_t>(-1));
  manager_->Send("x", 1);  // not connected: nothing happens
}

}  // namespace
