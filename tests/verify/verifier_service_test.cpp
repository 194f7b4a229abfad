// The security verifier and its hash-check manager against verify_peer as a
// real process: a busy pool with waiting submissions, refreshes that fetch
// the lists and rewrite "Svconfig.xml", refusals, and the automatic
// refresh. The verifier's own interval drives every time-out, as in a
// client; the test's thread pumps messages.
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gavio/ids.h"
#include "gavio/verify.h"
#include "runtime/runtime_test_env.h"
#include "support/test_support.h"
#include "verify/verify_peer_process.h"

namespace {

using gavio::ISecurityVerifier;
using gavio_test::PumpUntil;
using gavio_test::ReadFile;
using gavio_test::WriteFile;
using verify_test::VerifyPeer;

constexpr uint32_t kLimitMs = 30000;
constexpr char kAbcDigest[] = "900150983CD24FB0D6963F7D28E17F72";  // MD5("abc")

struct Listener : gavio::ISecurityVerifierSink {
  std::vector<uint32_t> updates;
  std::vector<std::vector<std::pair<std::string, uint32_t>>> results;
  void OnUpdateVerifyInfo(uint32_t result) override { updates.push_back(result); }
  void OnVerifyFileComplete(gavio::HashCheckResult* result) override {
    results.emplace_back();
    for (uint32_t i = 0; i < result->count; ++i) {
      results.back().emplace_back(result->paths[i], result->verdicts[i]);
    }
  }
};

class VerifierServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_test::UseRuntimeEnvironment();
    data_ = dir_.File("data");
    mkdir(data_.c_str(), 0700);
    WriteFile(data_ + "/koraip.txt", "version 7\nverify 1 127.0.0.1\n");
    WriteFile(data_ + "/whiteip.txt", "version 3\ngame 1 10.0.0.1 10.0.0.2\nchat 0 10.0.1.1\n");
    WriteFile(data_ + "/clsid.txt", "version 5\n12345678-1234-1234-1234-123456789ABC 2\n");
    std::string hashes = "bad.dll 00000000000000000000000000000000\n";
    for (int i = 0; i < 16; ++i) hashes += "good" + std::to_string(i) + ".dll " + kAbcDigest + "\n";
    WriteFile(data_ + "/hashes.txt", hashes);
    WriteFile(dir_.File("bad.dll"), "tampered");
    WriteFile(dir_.File("unknown.dll"), "x");
    for (int i = 0; i < 16; ++i) WriteFile(dir_.File("good" + std::to_string(i) + ".dll"), "abc");
  }

  void TearDown() override {
    if (verifier_ != nullptr) verifier_->Destroy(0);
  }

  void StartPeer(const std::vector<std::string>& switches = {}) {
    peer_ = std::make_unique<VerifyPeer>(data_, switches);
    ASSERT_NE(peer_->port(), 0);
  }

  std::string Config(const char* valid = "7", const char* interval = "0") const {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Server>\n"
           "<config projectid=\"test\" sectiontimeout=\"0\" totaltimeout=\"10000\" "
           "autoupdateInterval=\"" + std::string(interval) + "\" valid=\"" + valid + "\"/>\n"
           "<verifyserver version=\"1\" count=\"1\"><server1 host=\"127.0.0.1\"/>"
           "<portlist count=\"1\" port1=\"" + std::to_string(peer_->port()) + "\"/></verifyserver>\n"
           "<whitelist version=\"1\" count=\"0\"/>\n"
           "<controllist version=\"1\"><classid count=\"0\"/><dll count=\"0\"/></controllist>\n"
           "</Server>\n";
  }

  // folder: where "Svconfig.xml" is written, and how the verifier is told
  // (a relative one is taken in the client root).
  void Open(const std::string& config, const std::string& folder = "") {
    const std::string given = folder.empty() ? dir_.path() : folder;
    const std::string host =
        folder.empty() ? dir_.path() : runtime_test::RootFolder() + "/" + folder;
    WriteFile(host + "/Svconfig.xml", config);
    verifier_ = runtime_test::Create<ISecurityVerifier>(gavio::kSecurityVerifierId);
    ASSERT_NE(verifier_, nullptr);
    gavio::EventSourceOf(verifier_)->AddListener(
        static_cast<gavio::ISecurityVerifierSink*>(&listener_), 0);
    verifier_->SetPath(given.c_str());
    ASSERT_EQ(verifier_->Initialize(nullptr), 1);
  }

  bool Refresh() {
    size_t before = listener_.updates.size();
    if (!verifier_->UpdateVerifyInfo()) return false;
    return PumpUntil([&] { return listener_.updates.size() > before; }, kLimitMs);
  }

  std::unique_ptr<gavio::HashCheckTask> Task(const std::vector<std::string>& names) const {
    auto task = std::make_unique<gavio::HashCheckTask>();
    for (const std::string& name : names) {
      snprintf(task->paths[task->count++], gavio::kVerifyPathMax, "%s", dir_.File(name).c_str());
    }
    return task;
  }

  gavio_test::TempDir dir_;
  std::string data_;
  std::unique_ptr<VerifyPeer> peer_;
  ISecurityVerifier* verifier_ = nullptr;
  Listener listener_;
};

// Five submissions keep the whole pool busy; the next two wait, share one
// batch and one request, and still come back as two results. Every
// submission is reported once, with its own files in its own order.
TEST_F(VerifierServiceTest, ABusyPoolQueuesAndReportsEverySubmissionOnce) {
  StartPeer({"--delay=1000"});
  Open(Config());
  std::vector<std::vector<std::string>> submissions = {
      {"good0.dll"}, {"bad.dll"}, {"good1.dll"}, {"unknown.dll"}, {"good2.dll"},
      {"good3.dll", "bad.dll", "good4.dll"}, {"unknown.dll", "good5.dll"}};
  for (const auto& names : submissions) ASSERT_EQ(verifier_->VerifyFile(Task(names).get()), 1);
  // Five requests go out at once; the waiting two go as a sixth once a
  // handler is free again.
  ASSERT_TRUE(gavio_test::PumpAndPollUntil([&] { return peer_->Count("request 0x1003") >= 5; },
                                           kLimitMs));
  EXPECT_EQ(peer_->Count("request 0x1003"), 5);
  EXPECT_TRUE(listener_.results.empty());
  ASSERT_TRUE(PumpUntil([&] { return listener_.results.size() >= submissions.size(); }, kLimitMs));
  gavio_test::PumpFor(100);
  ASSERT_EQ(listener_.results.size(), submissions.size());
  std::vector<bool> seen(submissions.size(), false);
  for (const auto& result : listener_.results) {
    // A result is the submission whose files it holds, in their order.
    size_t match = submissions.size();
    for (size_t s = 0; s < submissions.size(); ++s) {
      if (seen[s] || result.size() != submissions[s].size()) continue;
      bool same = true;
      for (size_t i = 0; i < result.size(); ++i) same &= result[i].first == dir_.File(submissions[s][i]);
      if (same) match = s;
    }
    ASSERT_LT(match, submissions.size());
    seen[match] = true;
    for (const auto& [path, verdict] : result) {
      uint32_t expected = path.find("good") != std::string::npos   ? gavio::kHashPassed
                          : path.find("bad") != std::string::npos  ? gavio::kHashFailed
                                                                   : gavio::kHashNotVerified;
      EXPECT_EQ(verdict, expected) << path;
    }
  }
  EXPECT_EQ(peer_->Count("request 0x1003"), 6);
}

// A new server list stops the manager's handlers while they are busy and
// work waits: each ends after its report and fresh handlers take what
// waits and what comes later; no submission is lost or reported twice.
TEST_F(VerifierServiceTest, ANewServerListMidwayLosesNoSubmission) {
  StartPeer({"--delay=500"});
  Open(Config());
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(verifier_->VerifyFile(Task({"good" + std::to_string(i) + ".dll"}).get()), 1);
  }
  ASSERT_EQ(verifier_->UpdateVerifyInfo(), 1);
  ASSERT_TRUE(PumpUntil([&] { return listener_.results.size() >= 7 && !listener_.updates.empty(); },
                        kLimitMs));
  EXPECT_EQ(listener_.updates[0], 1u);
  ASSERT_EQ(verifier_->VerifyFile(Task({"good9.dll", "bad.dll"}).get()), 1);
  ASSERT_TRUE(PumpUntil([&] { return listener_.results.size() >= 8; }, kLimitMs));
  gavio_test::PumpFor(100);
  ASSERT_EQ(listener_.results.size(), 8u);
  std::vector<std::string> first;
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(listener_.results[i].size(), 1u);
    EXPECT_EQ(listener_.results[i][0].second, gavio::kHashPassed);
    first.push_back(listener_.results[i][0].first);
  }
  std::sort(first.begin(), first.end());
  EXPECT_EQ(std::unique(first.begin(), first.end()), first.end());
  ASSERT_EQ(listener_.results[7].size(), 2u);
  EXPECT_EQ(listener_.results[7][1].second, gavio::kHashFailed);
}

// A refresh fetches the three lists, rewrites the file (servers from the
// service with the ports kept), and answers from the new lists; a second
// one finds them current and leaves the file as it is.
TEST_F(VerifierServiceTest, RefreshFetchesTheListsAndRewritesTheFile) {
  StartPeer();
  Open(Config());
  EXPECT_EQ(verifier_->VerifyIPAddress("web", "10.0.0.1"), gavio::kTrustUnknown);
  ASSERT_TRUE(Refresh());
  EXPECT_EQ(listener_.updates.back(), 1u);
  EXPECT_EQ(verifier_->VerifyIPAddress("game", "10.0.0.2"), gavio::kTrusted);
  EXPECT_EQ(verifier_->VerifyIPAddress("web", "10.0.0.1"), gavio::kNotTrusted);
  EXPECT_EQ(verifier_->VerityControlID("12345678-1234-1234-1234-123456789abc", 2, "x.dll"),
            gavio::kTrusted);
  EXPECT_EQ(verifier_->VerityControlID("12345678-1234-1234-1234-123456789abc", 3, "x.dll"),
            gavio::kNotTrusted);
  gavio::RecommendIpList recommended;
  ASSERT_EQ(verifier_->GetRecommendIPList("game", &recommended), 1);
  EXPECT_EQ(recommended.count, 1);
  std::string file = ReadFile(dir_.File("Svconfig.xml"));
  const std::string port = "port1=\"" + std::to_string(peer_->port()) + "\"";
  for (const char* expected :
       {"<whitelist version=\"3\" count=\"2\"", "type=\"game\"", "ip=\"10.0.0.2\"",
        "type=\"chat\"", "<controllist version=\"5\"",
        "value=\"12345678-1234-1234-1234-123456789ABC\"", "<verifyserver version=\"7\"",
        "<server1 host=\"127.0.0.1\"",
        port.c_str()}) {
    EXPECT_NE(file.find(expected), std::string::npos) << expected << "\n" << file;
  }
  // The next refresh runs on a handler that read the new server list.
  ASSERT_TRUE(Refresh());
  EXPECT_EQ(listener_.updates.back(), 1u);
  EXPECT_EQ(ReadFile(dir_.File("Svconfig.xml")), file);
  EXPECT_EQ(verifier_->VerifyIPAddress("game", "10.0.0.1"), gavio::kTrusted);
}

// A configuration folder relative to the client root serves the verifier
// and the handlers it makes for refreshes and file checks alike.
TEST_F(VerifierServiceTest, ARelativeConfigurationFolderReachesTheService) {
  StartPeer();
  const std::string folder = "relative-config";
  mkdir((runtime_test::RootFolder() + "/" + folder).c_str(), 0700);
  Open(Config(), folder);
  ASSERT_TRUE(Refresh());
  EXPECT_EQ(listener_.updates.back(), 1u);
  ASSERT_EQ(verifier_->VerifyFile(Task({"good0.dll"}).get()), 1);
  ASSERT_TRUE(PumpUntil([&] { return !listener_.results.empty(); }, kLimitMs));
  ASSERT_EQ(listener_.results[0].size(), 1u);
  EXPECT_EQ(listener_.results[0][0].second, gavio::kHashPassed);
  EXPECT_EQ(peer_->Count("request 0x1003"), 1);
}

// A service that refuses keeps the held lists and reports its code; a
// configuration that turns refreshing off never reaches the service; the
// file's interval refreshes on its own.
TEST_F(VerifierServiceTest, RefusalsSwitchesAndTheAutomaticRefresh) {
  StartPeer({"--error=9"});
  Open(Config());
  ASSERT_TRUE(Refresh());
  EXPECT_EQ(listener_.updates.back(), gavio::kVerifyErrorListResult);
  EXPECT_EQ(verifier_->VerifyIPAddress("game", "10.0.0.1"), gavio::kTrustUnknown);
  verifier_->SetValid(0);
  int requests = peer_->Count("request 0x");
  ASSERT_TRUE(Refresh());
  EXPECT_EQ(listener_.updates.back(), 1u);
  EXPECT_EQ(peer_->Count("request 0x"), requests);
  verifier_->Destroy(0);
  verifier_ = nullptr;

  StartPeer();
  listener_.updates.clear();
  Open(Config("7", "1500"));
  ASSERT_TRUE(PumpUntil([&] { return !listener_.updates.empty(); }, kLimitMs));
  EXPECT_EQ(listener_.updates[0], 1u);
  EXPECT_EQ(verifier_->VerifyIPAddress("chat", "10.0.1.1"), gavio::kTrusted);
}

}  // namespace
