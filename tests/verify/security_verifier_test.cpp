// The security verifier over real "Svconfig.xml" files in temporary
// folders: the checks and the valid mask, malformed and oversized files,
// the rewrites (read-only files, failed writes, planted links) and the
// reports that need no verification service.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "gavio/ids.h"
#include "gavio/verify.h"
#include "gavio/xml.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "runtime/runtime_test_env.h"
#include "support/test_support.h"
#include "verify/svconfig_file.h"

namespace {

using gavio::ISecurityVerifier;
using gavio_test::ReadFile;
using gavio_test::TempDir;
using gavio_test::WriteFile;

constexpr char kClassId[] = "11111111-2222-3333-4444-555555555555";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

const std::string kSample =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Server>\n"
    "  <config projectid=\"proj\" sectiontimeout=\"500\" totaltimeout=\"4000\""
    " autoupdateInterval=\" 0 \" valid=\"7\"/>\n"
    "  <verifyserver version=\"3\" SuccessfulServerID=\"1\" SuccessfulPort=\"9001\">\n"
    "    <server1 host=\"127.0.0.1\"/>\n"
    "    <portlist count=\"2\" port1=\"9000\" port2=\"9001\"/>\n"
    "  </verifyserver>\n"
    "  <whitelist version=\"5\" count=\"2\">\n"
    "    <whitelist1 type=\"game\" count=\"2\" recommendcount=\"1\">\n"
    "      <item1 ip=\"1.2.3.4\"/><item2 ip=\"5.6.7.8\"/>\n"
    "    </whitelist1>\n"
    "    <whitelist2 type=\"chat\" count=\"1\" recommendcount=\"5\"><item1 ip=\"9.9.9.9\"/>"
    "</whitelist2>\n"
    "  </whitelist>\n"
    "  <controllist version=\"7\">\n"
    "    <classid count=\"1\"><item1 version=\"3\" value=\"" +
    std::string(kClassId) +
    "\"/></classid>\n"
    "    <dll count=\"1\"><item1 name=\"trusted.dll\"/></dll>\n"
    "  </controllist>\n"
    "</Server>\n";

// A verifier on a folder holding the given file text (none for null).
struct Verifier {
  TempDir dir;
  ISecurityVerifier* v = nullptr;
  std::string file = dir.File("Svconfig.xml");

  explicit Verifier(const std::string* text) {
    if (text != nullptr) WriteFile(file, *text);
    v = runtime_test::Create<ISecurityVerifier>(gavio::kSecurityVerifierId);
    if (v != nullptr) v->SetPath(dir.path().c_str());
  }
  ~Verifier() {
    if (v != nullptr) v->Destroy(0);
  }
  ISecurityVerifier* operator->() const { return v; }
};

struct Listener : gavio::ISecurityVerifierSink {
  std::vector<uint32_t> updates;
  std::vector<std::vector<std::pair<std::string, uint32_t>>> files;
  void OnUpdateVerifyInfo(uint32_t result) override { updates.push_back(result); }
  void OnVerifyFileComplete(gavio::HashCheckResult* result) override {
    files.emplace_back();
    for (uint32_t i = 0; i < result->count; ++i) {
      files.back().emplace_back(result->paths[i], result->verdicts[i]);
    }
  }
};

// The answers a verifier gives, in one line: addresses, then controls.
std::string Answers(ISecurityVerifier* v) {
  const std::pair<const char*, const char*> addresses[] = {
      {"game", "1.2.3.4"}, {"GAME", "5.6.7.8"}, {"game", "9.9.9.9"},
      {"none", "1.2.3.4"}, {"game", "not an address"}};
  struct Control {
    const char* classId;
    uint32_t version;
    const char* dll;
  };
  const Control controls[] = {{kClassId, 3, "other.dll"},
                              {"11111111-2222-3333-4444-55555555555A", 3, "other.dll"},
                              {kClassId, 4, "other.dll"},
                              {"x", 1, "TRUSTED.DLL"},
                              {"x", 1, "other.dll"}};
  std::string line;
  for (auto& a : addresses) line += std::to_string(v->VerifyIPAddress(a.first, a.second));
  line += " ";
  for (auto& c : controls) line += std::to_string(v->VerityControlID(c.classId, c.version, c.dll));
  return line;
}

TEST(SecurityVerifierTest, ChecksFollowTheListsAndTheMask) {
  const std::string upperId = Replace(kSample, kClassId, "11111111-2222-3333-4444-55555555555a");
  const struct {
    const char* name;
    std::string text;
    const char* answers;
  } cases[] = {
      {"sample", kSample, "00222 02202"},
      {"versions ignored", Replace(kSample, "<classid count=\"1\">",
                                   "<classid count=\"1\" versionvalid=\"0\">"),
       "00222 02002"},
      {"class id in any case", upperId, "00222 20202"},
      {"checks off", Replace(kSample, "valid=\"7\"", "valid=\"0\""), "00000 00000"},
      {"addresses only", Replace(kSample, "valid=\"7\"", "valid=\"1\""), "00222 00000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Verifier v(&c.text);
    ASSERT_NE(v.v, nullptr);
    ASSERT_EQ(v->Initialize(nullptr), 1);
    EXPECT_EQ(Answers(v.v), c.answers);
  }
  Verifier v(&kSample);
  ASSERT_EQ(v->Initialize(nullptr), 1);
  EXPECT_EQ(v->VerifyIPAddress(nullptr, "1.2.3.4"), gavio::kNotTrusted);
  EXPECT_EQ(v->VerityControlID(nullptr, 3, "trusted.dll"), gavio::kTrustUnknown);
  gavio::RecommendIpList list;
  ASSERT_EQ(v->GetRecommendIPList("Game", &list), 1);
  ASSERT_EQ(list.count, 1);
  EXPECT_EQ(list.addresses[0], 0x04030201u);
  // More recommended than listed: only the listed ones.
  ASSERT_EQ(v->GetRecommendIPList("chat", &list), 1);
  EXPECT_EQ(list.count, 1);
  EXPECT_EQ(v->GetRecommendIPList("none", &list), 0);
  EXPECT_EQ(v->GetRecommendIPList(nullptr, &list), 0);
}

TEST(SecurityVerifierTest, FileThatCannotBeReadLeavesEmptyLists) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"not XML", "<Server><config"},
      {"empty", ""},
      {"no Server", Replace(kSample, "Server>", "Servers>")},
      {"no config", Replace(kSample, "<config ", "<konfig ")},
      {"no projectid", Replace(kSample, "projectid=", "project=")},
      {"no valid", Replace(kSample, "valid=\"7\"", "")},
      {"sub-service missing", Replace(kSample, "whitelist version=\"5\" count=\"2\"",
                                      "whitelist version=\"5\" count=\"3\"")},
      {"item missing", Replace(kSample, "count=\"2\" recommendcount", "count=\"3\" recommendcount")},
      {"address short", Replace(kSample, "1.2.3.4", "1.2.3")},
      {"address zero", Replace(kSample, "1.2.3.4", "0.0.0.0")},
      {"class id too long", Replace(kSample, kClassId, std::string(kClassId) + "0")},
      {"projectid too long", Replace(kSample, "\"proj\"", "\"" + std::string(260, 'p') + "\"")},
      {"no dll", Replace(kSample, "<dll count", "<dlls count")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Verifier v(&c.text);
    EXPECT_EQ(v->Initialize(nullptr), 0);
    EXPECT_EQ(GetLastError(), gavio::kVerifyErrorConfigRead);
    EXPECT_EQ(Answers(v.v), "22222 22222");
  }
  Verifier missing(nullptr);
  EXPECT_EQ(missing->Initialize(nullptr), 0);
  EXPECT_EQ(GetLastError(), gavio::kVerifyErrorConfigPath);
}

std::string Address(uint32_t n) {
  return "10." + std::to_string(n >> 16) + "." + std::to_string((n >> 8) & 255) + "." +
         std::to_string(n & 255);
}

// Counts larger than the records hold read only what fits; a negative
// count reads nothing.
TEST(SecurityVerifierTest, CountsPastTheRecordsRoomAreClamped) {
  std::string text = "<Server><config projectid=\"p\" valid=\"7\"/><verifyserver version=\"1\"/>"
                     "<whitelist version=\"1\" count=\"33\">";
  for (int n = 1; n <= 33; ++n) {
    std::string name = "whitelist" + std::to_string(n);
    text += "<" + name + " type=\"s" + std::to_string(n) + "\" count=\"" +
            (n == 1 ? "5000" : n == 2 ? "-3" : "1") + "\" recommendcount=\"1\">";
    for (int m = 1; m <= (n == 1 ? 1025 : 1); ++m) {
      text += "<item" + std::to_string(m) + " ip=\"" + Address(n * 4096 + m) + "\"/>";
    }
    text += "</" + name + ">";
  }
  text += "</whitelist><controllist version=\"1\"><classid count=\"600\">";
  for (int n = 1; n <= 513; ++n) {
    text += "<item" + std::to_string(n) + " version=\"1\" value=\"id" + std::to_string(n) + "\"/>";
  }
  text += "</classid><dll count=\"150\">";
  for (int n = 1; n <= 101; ++n) {
    text += "<item" + std::to_string(n) + " name=\"d" + std::to_string(n) + ".dll\"/>";
  }
  text += "</dll></controllist></Server>";
  Verifier v(&text);
  ASSERT_EQ(v->Initialize(nullptr), 1);
  EXPECT_EQ(v->VerifyIPAddress("s1", Address(4096 + 1024).c_str()), 0);
  EXPECT_EQ(v->VerifyIPAddress("s1", Address(4096 + 1025).c_str()), 2);
  EXPECT_EQ(v->VerifyIPAddress("s2", Address(2 * 4096 + 1).c_str()), 2);
  EXPECT_EQ(v->VerifyIPAddress("s32", Address(32 * 4096 + 1).c_str()), 0);
  EXPECT_EQ(v->VerifyIPAddress("s33", Address(33 * 4096 + 1).c_str()), 2);
  EXPECT_EQ(v->VerityControlID("id512", 1, "x"), 0);
  EXPECT_EQ(v->VerityControlID("id513", 1, "x"), 2);
  EXPECT_EQ(v->VerityControlID("x", 1, "d100.dll"), 0);
  EXPECT_EQ(v->VerityControlID("x", 1, "d101.dll"), 2);
}

// SetValid rewrites the file beside it: a read-only file has its mark
// cleared, a failed write leaves the file as it was (and reports
// 0x2c000102) while the new mask still applies, a link at the file's name
// is replaced and what it pointed at is untouched.
TEST(SecurityVerifierTest, SetValidRewritesTheFileSafely) {
  const std::string kFileCheckOff = "00222 00000";
  {
    Verifier v(&kSample);
    ASSERT_EQ(v->Initialize(nullptr), 1);
    chmod(v.file.c_str(), 0444);
    SetLastError(0);
    v->SetValid(gavio::kVerifyAddresses);
    EXPECT_EQ(GetLastError(), 0u);
    Verifier again(nullptr);
    WriteFile(again.file, ReadFile(v.file));
    ASSERT_EQ(again->Initialize(nullptr), 1);
    EXPECT_EQ(Answers(again.v), kFileCheckOff);
  }
  {
    Verifier v(&kSample);
    ASSERT_EQ(v->Initialize(nullptr), 1);
    GavioSetFileFaults(1, 0);
    v->SetValid(gavio::kVerifyAddresses);
    GavioSetFileFaults(0, 0);
    EXPECT_EQ(GetLastError(), gavio::kVerifyErrorConfigWrite);
    EXPECT_EQ(ReadFile(v.file), kSample);
    EXPECT_EQ(Answers(v.v), kFileCheckOff);
  }
  {
    TempDir elsewhere;
    std::string target = elsewhere.File("target.xml");
    WriteFile(target, kSample);
    chmod(target.c_str(), 0444);
    Verifier v(nullptr);
    ASSERT_EQ(symlink(target.c_str(), v.file.c_str()), 0);
    ASSERT_EQ(v->Initialize(nullptr), 1);
    v->SetValid(gavio::kVerifyAddresses);
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0444u);
    EXPECT_EQ(ReadFile(target), kSample);
    ASSERT_EQ(lstat(v.file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_NE(ReadFile(v.file).find("valid=\"1\""), std::string::npos);
  }
}

// Reports that need no service: a refresh with every check off succeeds at
// once, and files are passed unchecked when the file check is off.
TEST(SecurityVerifierTest, ReportsWithoutTheService) {
  Verifier v(&kSample);
  ASSERT_EQ(v->Initialize(nullptr), 1);
  Listener listener;
  gavio::EventSourceOf(v.v)->AddListener(static_cast<gavio::ISecurityVerifierSink*>(&listener), 0);
  v->SetValid(gavio::kVerifyAddresses | gavio::kVerifyControls);
  auto task = std::make_unique<gavio::HashCheckTask>();
  task->count = 3;
  for (int i = 0; i < 3; ++i) snprintf(task->paths[i], sizeof task->paths[i], "/no/file%d", i);
  ASSERT_EQ(v->VerifyFile(task.get()), 1);
  ASSERT_EQ(listener.files.size(), 1u);
  ASSERT_EQ(listener.files[0].size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(listener.files[0][i].first, "/no/file" + std::to_string(i));
    EXPECT_EQ(listener.files[0][i].second, gavio::kHashPassed);
  }
  v->SetValid(0);
  EXPECT_EQ(v->UpdateVerifyInfo(), 1);
  EXPECT_EQ(listener.updates, std::vector<uint32_t>{1});
}

// Sixty seconds mean an hour; a product past 32 bits does not wrap into a
// short interval.
TEST(SvConfigFileTest, AutoUpdateIntervals) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0, 0},         {60, 3600000},           {3600, 3600000}, {4294967, 4294967000u},
      {4294968, ~0u}, {5000000, ~0u}, {~0u, ~0u}};
  for (auto [seconds, ms] : cases) EXPECT_EQ(gavio::AutoUpdateIntervalMs(seconds), ms) << seconds;
}

// The lists written back read the same, the verification servers are
// replaced while the ports and the rest of the file stay.
TEST(SvConfigFileTest, WrittenListsReadBackAndServersKeepTheirPorts) {
  TempDir dir;
  std::string path = dir.File("Svconfig.xml");
  WriteFile(path, kSample);
  auto xml = runtime_test::Create<gavio::IXmlDocument>(gavio::kXmlDocumentId);
  ASSERT_NE(xml, nullptr);
  auto lists = std::make_unique<gavio::SvConfig>();
  gavio::ResetSvConfig(lists.get());
  gavio::ServerListInfo& white = lists->whiteList;
  white.version = 9;
  white.subServiceCount = gavio::kMaxSubServices;
  for (uint32_t n = 0; n < white.subServiceCount; ++n) {
    snprintf(white.subServices[n].name, sizeof white.subServices[n].name, "svc <%u> & \"x\"", n);
    white.subServices[n].addressCount = 3;
    white.subServices[n].recommendedCount = n % 4;
    for (uint32_t m = 0; m < 3; ++m) white.subServices[n].addresses[m] = 0x0100000Au + n * 16 + m;
  }
  gavio::ControlIdInfo& control = lists->controlList;
  control.version = 11;
  control.classIdCount = gavio::kMaxControlIds;
  control.dllCount = gavio::kMaxControlDlls;
  for (uint32_t n = 0; n < control.classIdCount; ++n) {
    control.classIds[n].version = n;
    snprintf(control.classIds[n].classId, sizeof control.classIds[n].classId, "%036u", n);
  }
  for (uint32_t n = 0; n < control.dllCount; ++n) {
    snprintf(control.dllNames[n], sizeof control.dllNames[n], "lib%u.dll", n);
  }
  ASSERT_TRUE(gavio::WriteSvSecurityLists(xml, path.c_str(), &white, &control));

  gavio::ServerListInfo servers{};
  servers.subServiceCount = 1;
  servers.subServices[0].addressCount = 2;
  servers.subServices[0].addresses[0] = 0x0100007Fu;
  servers.subServices[0].addresses[1] = 0x0200007Fu;
  ASSERT_TRUE(gavio::WriteSvVerifyServers(xml, path.c_str(), servers.subServices[0], 4));

  auto read = std::make_unique<gavio::SvConfig>();
  ASSERT_TRUE(gavio::ReadSvConfig(xml, path.c_str(), read.get()));
  EXPECT_STREQ(read->projectId, "proj");
  EXPECT_EQ(read->attemptTimeoutMs, 500u);
  EXPECT_EQ(read->verifyServerVersion, 4u);
  EXPECT_EQ(read->requestFlags, 7u);
  EXPECT_EQ(memcmp(&read->whiteList, &white, sizeof white), 0);
  EXPECT_EQ(memcmp(&read->controlList, &control, sizeof control), 0);
  std::string text = ReadFile(path);
  for (const char* expected :
       {"<server1 host=\"127.0.0.1\"", "<server2 host=\"127.0.0.2\"", "SuccessfulPort=\"9001\"",
        "port1=\"9000\"", "port2=\"9001\"", "SuccessfulServerID=\"1\"", "count=\"2\""}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected;
  }
  xml->Destroy(0);
}

}  // namespace
