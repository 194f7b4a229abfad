// The version updater driven by a real updater stand-in (liveupdate_peer,
// installed as "liveupdate.exe" in the client tree): every state path, the
// command line, the boxes and the exit notice. The state history is read
// from the dump the updater writes when it is finalised.
#include <stdio.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gavio/ids.h"
#include "gavio/update.h"
#include "platform/address.h"
#include "platform/messages.h"
#include "platform/shell.h"
#include "runtime/runtime_test_env.h"
#include "support/test_support.h"
#include "update/live_update_config.h"
#include "update/updater_timings.h"

namespace {

using gavio::CLiveUpdateConfig;
using gavio::IVersionUpdater;
using gavio::UpdateInfoRecord;
using gavio_test::PumpUntil;
using gavio_test::ReadFile;

constexpr char kCommonErrorText[] =
    "\xba\xdc\xb1\xa7\xc7\xb8\xa3\xac\xc9\xfd\xbc\xb6\xb9\xfd\xb3\xcc\xd3\xf6\xb5\xbd\xce\xca"
    "\xcc\xe2\xa3\xac\xc7\xeb\xc4\xe3\xd6\xd8\xca\xd4\xa3\xac\xbb\xf2\xd5\xdf\xca\xd6\xb6\xaf"
    "\xb5\xc7\xc2\xbc\xb9\xd9\xcd\xf8\xbd\xf8\xd0\xd0\xc9\xfd\xbc\xb6\xa3\xa1";
constexpr char kErrorCaption[] = "VersionUpdater\xcc\xe1\xca\xbe";

// Message boxes and address openings, scripted.
struct Boxes {
  int32_t answer = IDNO;
  std::vector<std::string> texts;
  std::vector<std::string> captions;
  std::vector<std::string> addresses;
};
Boxes* g_boxes = nullptr;

int32_t ScriptedBox(HWND, const char* text, const char* caption, UINT) {
  g_boxes->texts.push_back(text);
  g_boxes->captions.push_back(caption);
  return g_boxes->answer;
}

BOOL RecordAddress(const char* address, int32_t) {
  g_boxes->addresses.push_back(address);
  return TRUE;
}

// The windows of this program's IPC keys live in a folder of its own, so
// test programs running side by side never reach each other's updater.
void IsolateWindows() {
  static gavio_test::TempDir folder;
  static bool set = setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1) == 0;
  (void)set;
}

struct Client : gavio::IVersionUpdateListener {
  int success = 0, fail = 0, ignore = 0, need = 0, exitAsked = 0;
  void OnUpdateSuccess() override { ++success; }
  void OnUpdateFail() override { ++fail; }
  void OnIgnoreUpdate() override { ++ignore; }
  void OnNeedUpdate() override { ++need; }
  void OnUpdateUnused() override {}
  void OnUpdaterAsksClientExit() override { ++exitAsked; }
  int Outcomes() const { return success + fail + ignore; }
};

// One client tree with the stand-in, its own project name (so its IPC keys
// and folders are its own), and one version updater.
class VersionUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IsolateWindows();
    runtime_test::UseRuntimeEnvironment();
    // Error boxes read their texts only when the client root has a
    // "taskinfo.ini"; the values come from the one beside the program.
    gavio_test::WriteFile(runtime_test::RootFolder() + "/taskinfo.ini", "");
    g_boxes = &boxes_;
    GavioSetMessageBoxHandler(ScriptedBox);
    GavioSetOpenAddressHandler(RecordAddress);
    gavio::UpdaterTimings timings;
    timings.firstAnswerMs = 10000;
    timings.onlineCheckMs = 300;
    timings.onlineSilenceSeconds = 1;
    gavio::SetUpdaterTimings(timings);
    record_.packageCount = 0;
  }

  void TearDown() override {
    Finish();
    GavioSetMessageBoxHandler(nullptr);
    GavioSetOpenAddressHandler(nullptr);
    gavio::SetUpdaterTimings(gavio::UpdaterTimings{});
    GavioShellDelete(UpdaterFolder().c_str());
    GavioShellDelete(SaveFolder().c_str());
    g_boxes = nullptr;
  }

  std::string UpdaterFolder() const { return runtime_test::RootFolder() + "/updater"; }
  std::string SaveFolder() const {
    return runtime_test::DataFolder() + "/" + project_ + "LiveUpdate";
  }
  std::string RunFolder() const { return SaveFolder() + "/LiveUpdateRun"; }
  std::string StandInLog() const { return ReadFile(RunFolder() + "/standin.log"); }

  // Installs the stand-in with its script(s) in the client tree.
  void InstallStandIn(const std::string& script, const std::string& second = "") {
    mkdir(UpdaterFolder().c_str(), 0700);
    ASSERT_TRUE(GavioCopyFile((gavio_test::BuildDir() + "/liveupdate_peer").c_str(),
                              (UpdaterFolder() + "/liveupdate.exe").c_str()));
    chmod((UpdaterFolder() + "/liveupdate.exe").c_str(), 0755);
    gavio_test::WriteFile(UpdaterFolder() + "/scenario.txt", "key " + project_ + "\n" + script);
    if (!second.empty()) {
      gavio_test::WriteFile(UpdaterFolder() + "/scenario2.txt",
                            "key " + project_ + "\n" + second);
    }
  }

  void Start(int32_t startup, int32_t online, int32_t expectedResult = 1) {
    updater_ = runtime_test::Create<IVersionUpdater>(gavio::kVersionUpdaterId);
    ASSERT_NE(updater_, nullptr);
    gavio::EventSourceOf(updater_)->AddListener(
        static_cast<gavio::IVersionUpdateListener*>(&client_), 0);
    EXPECT_EQ(updater_->UpdateClient(&record_, startup, online), expectedResult);
  }

  // Destroys the updater (which tells the stand-in to go) and waits for the
  // stand-in to end, so no child outlives the test.
  void Finish() {
    if (updater_ == nullptr) return;
    updater_->Destroy(1);
    updater_ = nullptr;
    // Every stand-in started has ended (told to go, or ended by the updater).
    std::istringstream log(StandInLog());
    std::string word;
    while (log >> word) {
      pid_t pid = 0;
      if (word != "pid" || !(log >> pid)) continue;
      EXPECT_TRUE(gavio_test::PumpAndPollUntil([pid] { return kill(pid, 0) != 0; }, 40000)) << StandInLog();
    }
  }

  // The history the updater dumps when it is finalised.
  std::string States() {
    gavio_test::DebugCapture capture;
    Finish();
    std::string text = capture.Text();
    size_t begin = text.find("Dump UpdateCenter state Info ==>");
    if (begin == std::string::npos) return "";
    begin = text.find("[Trace]", text.find('\n', begin)) + 7;
    return text.substr(begin, text.find('\n', begin) - begin);
  }

  const std::string project_ = "GavioUpdateTest";
  gavio_test::TempDir settings_;
  Boxes boxes_;
  Client client_;
  UpdateInfoRecord record_{};
  IVersionUpdater* updater_ = nullptr;
};

constexpr char kStarted[] = "0->1->2->3->6->7->9->10->";

// The paths where the stand-in answers: one table through one harness.
struct AnswerCase {
  const char* name;
  const char* script;
  int success, fail, ignore, need, exitAsked;
  const char* statesAfterStart;
};

TEST_F(VersionUpdaterTest, FollowsTheUpdatersAnswers) {
  const AnswerCase cases[] = {
      {"success", "send 4\nsend 1\n", 1, 0, 0, 1, 0, "12->19->"},
      {"fail at once", "send 2\n", 0, 1, 0, 0, 0, "13->"},
      {"fail later", "send 4\nsend 2\n", 0, 1, 0, 1, 0, "12->20->"},
      {"ignore", "send 3\n", 0, 0, 1, 0, 0, ""},
      {"short message dropped", "short\nsend 9\nsend 6\nsend 1\n", 1, 0, 0, 0, 1, "19->"},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    InstallStandIn(c.script);
    Start(1, 0);
    ASSERT_TRUE(PumpUntil([&] { return client_.Outcomes() > 0; }, 30000));
    gavio_test::PumpFor(200);
    EXPECT_EQ(client_.success, c.success);
    EXPECT_EQ(client_.fail, c.fail);
    EXPECT_EQ(client_.ignore, c.ignore);
    EXPECT_EQ(client_.need, c.need);
    EXPECT_EQ(client_.exitAsked, c.exitAsked);
    EXPECT_NE(StandInLog().find("args -s -p " + runtime_test::DataFolder() + "\n"),
              std::string::npos)
        << StandInLog();
    EXPECT_EQ(States(), std::string(kStarted) + c.statesAfterStart);
    EXPECT_NE(StandInLog().find("exit-notice 1032"), std::string::npos);
    EXPECT_TRUE(boxes_.texts.empty());
    client_ = Client{};
  }
}

TEST_F(VersionUpdaterTest, PassesTheQuitValueAndOnlineSwitch) {
  InstallStandIn("send 3\n");
  updater_ = runtime_test::Create<IVersionUpdater>(gavio::kVersionUpdaterId);
  ASSERT_NE(updater_, nullptr);
  gavio::EventSourceOf(updater_)->AddListener(static_cast<gavio::IVersionUpdateListener*>(&client_),
                                              0);
  updater_->SetQuitValue(42);
  ASSERT_EQ(updater_->UpdateClient(&record_, 0, 1), 1);
  ASSERT_TRUE(PumpUntil([&] { return client_.ignore == 1; }, 30000));
  EXPECT_NE(StandInLog().find("args -q 42 -o -p " + runtime_test::DataFolder() + "\n"),
            std::string::npos)
      << StandInLog();
}

// Failures before the updater runs: each ends in one error box, the
// configured address and one OnUpdateFail.
TEST_F(VersionUpdaterTest, FailuresBeforeTheUpdaterRunsEndInTheErrorHandler) {
  // Null record.
  updater_ = runtime_test::Create<IVersionUpdater>(gavio::kVersionUpdaterId);
  gavio::EventSourceOf(updater_)->AddListener(static_cast<gavio::IVersionUpdateListener*>(&client_),
                                              0);
  EXPECT_EQ(updater_->UpdateClient(nullptr, 1, 0), 0);
  EXPECT_EQ(client_.fail, 1);
  ASSERT_EQ(boxes_.texts.size(), 1u);
  EXPECT_EQ(boxes_.texts[0], kCommonErrorText);
  EXPECT_EQ(boxes_.captions[0], kErrorCaption);
  EXPECT_EQ(boxes_.addresses, std::vector<std::string>{"http://help.example/update"});
  EXPECT_EQ(States(), "0->1->2->-1->");

  // No updater in the client tree: the copy finds nothing and the start fails.
  client_ = Client{};
  Start(1, 0);
  EXPECT_EQ(client_.fail, 1);
  EXPECT_EQ(States(), std::string("0->1->2->3->6->7->9->11->-1->"));

  // The run folder cannot be made (a plain file holds its name): the copy
  // aborts, and a stale "version.ini" would be removed.
  client_ = Client{};
  InstallStandIn("send 1\n");
  GavioShellDelete(RunFolder().c_str());
  gavio_test::WriteFile(RunFolder(), "not a folder");
  Start(1, 0);
  EXPECT_EQ(client_.fail, 1);
  EXPECT_EQ(States(), std::string("0->1->2->3->6->8->-1->"));
  unlink(RunFolder().c_str());
  EXPECT_EQ(boxes_.texts.size(), 3u);
  EXPECT_EQ(boxes_.addresses.size(), 3u);
}

TEST_F(VersionUpdaterTest, AnUnwritableApplicationDataFolderFailsTheSave) {
  std::string data = runtime_test::DataFolder();
  gavio_test::WriteFile(settings_.File("plain"), "x");
  setenv("XDG_DATA_HOME", settings_.File("plain/data").c_str(), 1);
  Start(1, 0, 0);
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  EXPECT_EQ(client_.fail, 1);
  ASSERT_EQ(boxes_.texts.size(), 1u);
  EXPECT_EQ(boxes_.texts[0], "\xb1\xa3\xb4\xe6\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc\x21");
  EXPECT_EQ(States(), "0->1->2->4->-1->");
}

// The first answer does not come in time: one OnUpdateFail, and what the
// updater says later is ignored.
void ExpectFirstAnswerTimeout(Client* client, uint32_t limitMs,
                              const std::function<std::string()>& states) {
  ASSERT_TRUE(PumpUntil([&] { return client->fail == 1; }, limitMs));
  gavio_test::PumpFor(200);
  EXPECT_EQ(client->fail, 1);
  EXPECT_EQ(client->success, 0);
  EXPECT_EQ(states(), std::string(kStarted) + "14->");
}

TEST_F(VersionUpdaterTest, NoFirstAnswerInTimeIsOneFailureAndLaterMessagesAreIgnored) {
  gavio::UpdaterTimings timings = gavio::GetUpdaterTimings();
  timings.firstAnswerMs = 1000;
  gavio::SetUpdaterTimings(timings);
  InstallStandIn("wait 2500\nsend 4\nsend 1\n");
  Start(1, 0);
  ASSERT_TRUE(PumpUntil([&] { return client_.fail == 1; }, 30000));
  gavio_test::PumpFor(2500);  // the stand-in's late messages arrive meanwhile
  ExpectFirstAnswerTimeout(&client_, 30000, [this] { return States(); });
  EXPECT_EQ(client_.need, 0);
}

// The real ten-second wait (labelled slow).
TEST_F(VersionUpdaterTest, Slow_TheFirstAnswerWaitIsTenSeconds) {
  gavio::SetUpdaterTimings(gavio::UpdaterTimings{});
  InstallStandIn("wait 11000\nsend 1\n");
  Start(1, 0);
  gavio_test::PumpFor(8500);
  EXPECT_EQ(client_.fail, 0);
  ExpectFirstAnswerTimeout(&client_, 30000, [this] { return States(); });
}

// Silence in online mode: the updater is ended, the user is asked, and Yes
// restarts it (its need-update does not reach the client twice).
TEST_F(VersionUpdaterTest, SilenceOnlineRestartsOnYes) {
  boxes_.answer = IDYES;
  InstallStandIn("send 4\nwait 20000\n", "send 4\nonline 200 5\nsend 1\n");
  Start(0, 1);
  ASSERT_TRUE(PumpUntil([&] { return client_.Outcomes() > 0; }, 40000));
  EXPECT_EQ(client_.success, 1);
  EXPECT_EQ(client_.need, 1);
  ASSERT_EQ(boxes_.texts.size(), 1u);
  EXPECT_EQ(boxes_.captions[0], "\xcc\xe1\xca\xbe");
  EXPECT_EQ(States(), std::string(kStarted) + "12->15->16->17->18->19->");
}

// The real online waits (labelled slow): checks every 20 s, more than 60 s
// of silence ends the updater.
TEST_F(VersionUpdaterTest, Slow_OnlineSilenceIsMoreThanSixtySeconds) {
  gavio::SetUpdaterTimings(gavio::UpdaterTimings{});
  InstallStandIn("send 4\nwait 110000\n");
  Start(0, 1);
  gavio_test::PumpFor(70000);  // the check at 60 s finds exactly 60 s
  EXPECT_EQ(client_.fail, 0);
  ASSERT_TRUE(PumpUntil([&] { return client_.fail == 1; }, 30000));
  EXPECT_EQ(States(), std::string(kStarted) + "12->15->16->17->");
}

TEST_F(VersionUpdaterTest, SilenceOnlineEndsInFailureOnNo) {
  boxes_.answer = IDNO;
  InstallStandIn("send 4\nwait 20000\n");
  Start(0, 1);
  ASSERT_TRUE(PumpUntil([&] { return client_.Outcomes() > 0; }, 40000));
  EXPECT_EQ(client_.fail, 1);
  EXPECT_EQ(boxes_.texts.size(), 1u);
  // The silent stand-in was ended, not asked to go.
  EXPECT_EQ(States(), std::string(kStarted) + "12->15->16->17->");
  EXPECT_EQ(StandInLog().find("exit-notice"), std::string::npos);
}

}  // namespace

namespace {

// The command-line host end to end: it shares this program's settings,
// data folder (so its client root) and window folder, so it finds the same
// stand-in.
TEST_F(VersionUpdaterTest, TheCommandRunsTheUpdaterAndPrintsTheOutcome) {
  InstallStandIn("send 4\nsend 1\n");
  std::string record = settings_.File("record.txt");
  gavio_test::WriteFile(record,
                        "# one package\n[package]\nname=client\nversion=7\n"
                        "filename=patch.pak\nhost=updates.example\nport=80\nurlpath=/a//b/\n");
  std::string command = gavio_test::BuildDir() + "/gavio update --startup --wait 30 " + record;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[512];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_NE(output.find("updater: an update is needed\nupdater: success\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("outcome: success"), std::string::npos) << output;
  EXPECT_NE(StandInLog().find("exit-notice 1032"), std::string::npos) << StandInLog();

  gavio_test::WriteFile(record, "[package]\nport=70000\n");
  pipe = popen((command + " 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  output.clear();
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  EXPECT_NE(pclose(pipe), 0);
  EXPECT_NE(output.find("not a package value: port=70000"), std::string::npos) << output;
}

}  // namespace
