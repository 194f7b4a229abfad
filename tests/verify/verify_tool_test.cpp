// "gavio verify" as a person meets it: usage errors, --help, a missing
// configuration named with the system's reason, and the answers of the
// address and control checks with their exit codes.
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "verify/verify_peer_process.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs "gavio verify ARGS" (shell text) in folder.
Outcome Verify(const std::string& folder, const std::string& args) {
  std::string command = "cd " + folder + " && " + gavio_test::BuildDir() + "/gavio verify " + args +
                        " >out.txt 2>err.txt </dev/null";
  Outcome run;
  int status = system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = gavio_test::ReadFile(folder + "/out.txt");
  run.err = gavio_test::ReadFile(folder + "/err.txt");
  return run;
}

const char kConfig[] =
    "<Server><config projectid=\"p\" valid=\"7\"/><verifyserver version=\"1\"/>"
    "<whitelist version=\"1\" count=\"1\"><whitelist1 type=\"game\" count=\"1\" "
    "recommendcount=\"1\"><item1 ip=\"1.2.3.4\"/></whitelist1></whitelist>"
    "<controllist version=\"1\"><classid count=\"1\"><item1 version=\"3\" value=\"abc\"/>"
    "</classid><dll count=\"1\"><item1 name=\"t.dll\"/></dll></controllist></Server>";

TEST(VerifyToolTest, ArgumentsAnswersAndExitCodes) {
  gavio_test::TempDir dir;
  gavio_test::WriteFile(dir.File("Svconfig.xml"), kConfig);
  gavio_test::TempDir empty;
  const struct {
    std::string args;
    int status;
    const char* out;  // the start of standard output
    const char* err;  // a part of standard error
  } cases[] = {
      {"--help", 0, "usage: gavio verify", ""},
      {"", 2, "", "give a check"},
      {"checksum x", 2, "", "unknown check 'checksum'"},
      {"ip game", 2, "", "ip needs TYPE and ADDRESS"},
      {"control abc three t.dll", 2, "", "invalid VERSION 'three'"},
      {"files", 2, "", "at least one FILE"},
      {"--wait 0 update", 2, "", "invalid --wait"},
      {"--bogus ip a b", 2, "", "unknown option"},
      {"ip game 1.2.3.4", 0, "game 1.2.3.4: trusted\n", ""},
      {"ip GAME 1.2.3.5", 1, "GAME 1.2.3.5: not listed, and the white list could not be fetched",
       ""},
      {"control ABC 3 other.dll", 0, "ABC 3 other.dll: trusted\n", ""},
      {"control abc 4 T.DLL", 0, "abc 4 T.DLL: trusted\n", ""},
      {"control abc 4 other.dll", 1, "abc 4 other.dll: not listed", ""},
      {"files missing.bin", 1, "", "missing.bin: No such file or directory"},
      {"files .", 1, "", ".: Is a directory"},
      {"-c /no/such/folder ip game 1.2.3.4", 1, "", "/no/such/folder: No such file or directory"},
      {"--config=" + empty.path() + " ip game 1.2.3.4", 1, "",
       "Svconfig.xml: No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Outcome run = Verify(dir.path(), c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  gavio_test::WriteFile(dir.File("Svconfig.xml"), "<Server><config valid=\"7\"/></Server>");
  Outcome broken = Verify(dir.path(), "ip game 1.2.3.4");
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("not a complete security configuration"), std::string::npos);
}

// files and update against the verification service peer.
TEST(VerifyToolTest, FilesAndUpdateAgainstTheService) {
  gavio_test::TempDir dir;
  std::string data = dir.File("data");
  ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
  gavio_test::WriteFile(data + "/koraip.txt", "version 2\nverify 1 127.0.0.1\n");
  gavio_test::WriteFile(data + "/whiteip.txt", "version 4\ngame 1 10.0.0.1 10.0.0.2\n");
  gavio_test::WriteFile(data + "/clsid.txt", "version 3\nabc 3\n");
  gavio_test::WriteFile(data + "/hashes.txt",
                        "good.dll 900150983CD24FB0D6963F7D28E17F72\n"
                        "bad.dll 00000000000000000000000000000000\n");
  gavio_test::WriteFile(dir.File("good.dll"), "abc");
  gavio_test::WriteFile(dir.File("bad.dll"), "abd");
  gavio_test::WriteFile(dir.File("new.dll"), "abe");
  verify_test::VerifyPeer peer(data, {});
  ASSERT_NE(peer.port(), 0);
  gavio_test::WriteFile(
      dir.File("Svconfig.xml"),
      "<Server><config projectid=\"p\" totaltimeout=\"10000\" valid=\"7\"/>"
      "<verifyserver version=\"1\" count=\"1\"><server1 host=\"127.0.0.1\"/>"
      "<portlist count=\"1\" port1=\"" + std::to_string(peer.port()) + "\"/></verifyserver>"
      "<whitelist version=\"1\" count=\"0\"/></Server>");
  Outcome files = Verify(dir.path(), "files good.dll bad.dll new.dll");
  EXPECT_EQ(files.status, 1) << files.err;
  EXPECT_EQ(files.out, "good.dll: passed\nbad.dll: FAILED\nnew.dll: not verified\n");
  // 300 files go as two submissions; each file is answered once.
  ASSERT_EQ(mkdir(dir.File("many").c_str(), 0700), 0);
  for (int i = 0; i < 300; ++i) gavio_test::WriteFile(dir.File("many/f" + std::to_string(i)), "");
  Outcome many = Verify(dir.path(), "files many/*");
  EXPECT_EQ(many.status, 1) << many.err;
  for (int i = 0; i < 300; ++i) {
    std::string line = "many/f" + std::to_string(i) + ": not verified\n";
    size_t at = many.out.find(line);
    EXPECT_TRUE(at != std::string::npos && (at == 0 || many.out[at - 1] == '\n') &&
                many.out.find(line, at + 1) == std::string::npos) << line;
  }
  Outcome good = Verify(dir.path(), "files ./good.dll");
  EXPECT_EQ(good.status, 0) << good.err;
  Outcome update = Verify(dir.path(), "update");
  EXPECT_EQ(update.status, 0) << update.err;
  EXPECT_EQ(update.out,
            "verification servers version 1, 1 servers -> version 2, 1 servers\n"
            "white list           version 1, 0 sub-services -> version 4, 1 sub-services\n"
            "control list         unchanged (none)\n");
  Outcome ip = Verify(dir.path(), "ip game 10.0.0.2");
  EXPECT_EQ(ip.status, 0);
  Outcome again = Verify(dir.path(), "--refresh ip game 10.9.9.9");
  EXPECT_EQ(again.out, "game 10.9.9.9: not trusted\n");
  EXPECT_EQ(again.status, 1);
}

}  // namespace
