// The update-info writer: the file's text line for line, a fresh
// "liveupdate.cfg" at every save, the same name for the same record, and
// the install path.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gavio/ids.h"
#include "gavio/update.h"
#include "platform/errors.h"
#include "platform/shell.h"
#include "runtime/runtime_test_env.h"
#include "support/test_support.h"
#include "update/live_update_config.h"
#include "update/update_info_text.h"

namespace {

using gavio::CLiveUpdateConfig;
using gavio::IUpdateInfo;
using gavio::UpdateInfoRecord;
using gavio::UpdatePackage;
using gavio_test::ReadFile;

// The project named by the tests' "taskinfo.ini" beside the test programs.
constexpr char kTestProject[] = "GavioUpdateTest";

struct Outcome : gavio::IUpdateInfoListener {
  int successes = 0;
  std::vector<int32_t> failures;
  void OnSaveUpdateInfoSuccess() override { ++successes; }
  void OnSaveUpdateInfoFail(int32_t code) override { failures.push_back(code); }
  void OnNotNeedLiveUpdate() override {}
};

// Settings beside a stand-in executable folder, and a fresh config path.
class UpdateInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_test::UseRuntimeEnvironment();
    GavioShellDelete(
        (runtime_test::DataFolder() + "/" + kTestProject + "LiveUpdate").c_str());
    writer_ = runtime_test::Create<IUpdateInfo>(gavio::kUpdateInfoStandardId);
    ASSERT_NE(writer_, nullptr);
    gavio::EventSourceOf(writer_)->AddListener(static_cast<gavio::IUpdateInfoListener*>(&outcome_),
                                               0);
  }
  void TearDown() override {
    if (writer_ != nullptr) writer_->Destroy(1);
  }
  std::string ConfigFolder() {
    char folder[gavio::kUpdatePathSize];
    CLiveUpdateConfig().GetLiveupdatCFGPath(folder, sizeof folder);
    return folder;
  }
  // The one update-info file the config folder holds.
  std::string InfoFileName() {
    std::string found;
    DIR* dir = opendir(ConfigFolder().c_str());
    if (dir == nullptr) return found;
    while (dirent* entry = readdir(dir)) {
      if (strncmp(entry->d_name, "updateinfo_", 11) == 0) found = entry->d_name;
    }
    closedir(dir);
    return found;
  }

  gavio_test::TempDir settings_;
  IUpdateInfo* writer_ = nullptr;
  Outcome outcome_;
};

std::vector<uint8_t> OnePackage() {
  std::vector<uint8_t> bytes(sizeof(uint32_t) + sizeof(UpdatePackage), 0);
  auto* record = reinterpret_cast<UpdateInfoRecord*>(bytes.data());
  record->packageCount = 1;
  UpdatePackage& p = record->packages[0];
  p.version = 7;
  strcpy(p.name, "client");
  strcpy(p.fileName, "patch.pak");
  strcpy(p.fileHash, "0123456789abcdef0123456789abcdef");
  p.updateStrategy = -2;
  p.mechanism = 3;
  strcpy(p.urlPath, "/a//b/");
  p.fileSize = 4096;
  strcpy(p.host, "updates.example");
  p.port = 8080;
  strcpy(p.peerUdpUrl, "udp.example");
  p.peerUdpPort = 7001;
  strcpy(p.peerTcpUrl, "tcp.example");
  p.peerTcpPort = 7002;
  strcpy(p.stunAddress, "stun.example");
  p.stunPort = 3478;
  strcpy(p.torrentUrl, "t.example");
  p.httpSpeedLimit = 100;
  p.httpConnectionLimit = 4;
  p.targetShareRate = 150;
  return bytes;
}

const char kOnePackageText[] =
    "[INSTALL_PACKAGE0_BEGIN]\r\nGUID:pkg0\r\nNAME:client\r\nVERSION:7\r\nPATCHNUM:0\r\n"
    "QBNUM:0\r\nDESCRIPTION:NONE\r\nTYPE:0\r\nFILESIZE:4096\r\nFILENAME:patch.pak\r\n"
    "FILEHASH:0123456789abcdef0123456789abcdef\r\nSELECTFLAG:17\r\nUPDATESTRATEGY:-2\r\n"
    "SELFUPDATE:1\r\nMECHANISM:3\r\nURL:http://updates.example:8080/a/b/patch.pak\r\n"
    "EURA:eura\r\nEURAHASH:\r\nPEERUDPURL:udp.example\r\nPEERUDPPORT:7001\r\n"
    "PEERTCPURL:tcp.example\r\nPEERTCPPORT:7002\r\nSTUNIP:stun.example\r\nSTUNPORT:3478\r\n"
    "TORRENURL:t.example\r\nHTTPSPEEDLIMIT:100\r\nHTTPCONNECTIONLIMIT:4\r\n"
    "TARGETSHARERATE:150\r\n[INSTALL_PACKAGE0_END]\r\n";

TEST_F(UpdateInfoTest, WritesTheInfoFileAndAFreshConfigAndKeepsTheRecord) {
  std::vector<uint8_t> bytes = OnePackage();
  std::vector<uint8_t> before = bytes;
  auto* record = reinterpret_cast<UpdateInfoRecord*>(bytes.data());
  uint32_t strategy = 9;
  writer_->GetTaskStrategy(&strategy);
  EXPECT_EQ(strategy, 1u);

  ASSERT_EQ(writer_->SaveToUpdateInfoFile(record, 1), 1);
  EXPECT_EQ(outcome_.successes, 1);
  writer_->GetTaskStrategy(&strategy);
  EXPECT_EQ(strategy, 0u);
  EXPECT_EQ(bytes, before) << "the caller's record must not change";

  std::string name = InfoFileName();
  ASSERT_EQ(name.size(), strlen("updateinfo_") + 32);
  std::string folder = ConfigFolder();
  EXPECT_EQ(ReadFile(folder + "/" + name), kOnePackageText);

  std::string root = runtime_test::RootFolder();
  std::string install = root.substr(0, root.rfind('/'));
  std::string expected = "[Task]\ntype=0\nupdateinfofile=" + name + "\n\n[InstallPath]\npath=" +
                         install + "\n\n[ClientPath]\npath=" + root +
                         "\n\n[CurrentProcessID]\nid=" + std::to_string(getpid()) +
                         "\n\n[LiveUpdateMode]\nmode=1\n";
  EXPECT_EQ(ReadFile(folder + "/liveupdate.cfg"), expected);

  // A value planted between saves does not survive the next one, and the
  // same record lands in the same file.
  CLiveUpdateConfig().UpdateLiveUpdateConfig("Task", "stale", 5);
  ASSERT_EQ(writer_->SaveToUpdateInfoFile(record, 0), 1);
  EXPECT_EQ(InfoFileName(), name);
  std::string again = ReadFile(folder + "/liveupdate.cfg");
  EXPECT_EQ(again.find("stale"), std::string::npos);
  EXPECT_NE(again.find("mode=0\n"), std::string::npos);
}

TEST_F(UpdateInfoTest, NoPackagesGiveAnEmptyFileAndAnUnwritableFolderFails) {
  UpdateInfoRecord empty{};  // only the count is meaningful
  ASSERT_EQ(writer_->SaveToUpdateInfoFile(&empty, 0), 1);
  EXPECT_EQ(ReadFile(ConfigFolder() + "/" + InfoFileName()), "");

  EXPECT_EQ(writer_->SaveToUpdateInfoFile(nullptr, 0), 0);
  ASSERT_EQ(outcome_.failures.size(), 1u);

  // An application-data folder below a plain file cannot hold the folders.
  std::string data = getenv("XDG_DATA_HOME");
  gavio_test::WriteFile(settings_.File("plain"), "x");
  setenv("XDG_DATA_HOME", settings_.File("plain/data").c_str(), 1);
  EXPECT_EQ(writer_->SaveToUpdateInfoFile(&empty, 0), 0);
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  EXPECT_EQ(outcome_.failures, (std::vector<int32_t>{0, 0}));
}

TEST(UpdateInfoText, UrlPathsAndInstallPaths) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"/a//b/", "a/b"}, {"a///b", "a//b"}, {"", ""}, {"/", ""}, {"//", ""}, {"///", ""}, {"a////b", "a//b"},
               {"x", "x"}};
  for (const Case& c : cases) {
    char path[260];
    strcpy(path, c.in);
    gavio::NormaliseUrlPath(path);
    EXPECT_STREQ(path, c.out) << c.in;
  }
  char out[260];
  gavio::JoinInstallPath("C:\\Games\\Client", "..", out, sizeof out);
  EXPECT_STREQ(out, "C:\\Games");
  gavio::JoinInstallPath("/opt/game/client", "..", out, sizeof out);
  EXPECT_STREQ(out, "/opt/game");
  gavio::JoinInstallPath("/x", "..", out, sizeof out);
  EXPECT_STREQ(out, "/x");
  gavio::JoinInstallPath("/opt/game", "data", out, sizeof out);
  EXPECT_STREQ(out, "/opt/game/data");
  gavio::JoinInstallPath("/opt/game", "", out, sizeof out);
  EXPECT_STREQ(out, "/opt/game");
}

}  // namespace
