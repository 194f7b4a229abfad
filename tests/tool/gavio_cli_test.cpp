// The gavio command line as a person meets it: exit codes, --help on every
// command, numbers and options checked, errors naming the file and the
// reason, md5 and base64 as md5sum and base64 users expect, outputs that
// never go through a planted link, and failed writes to standard output
// reported.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs "gavio ARGS" through the shell (ARGS is shell text), with stdin from
// input; stdout (unless sent to stdoutTo) and stderr are captured apart.
Outcome Gavio(const std::string& args, const std::string& input = "",
              const std::string& stdoutTo = "out") {
  gavio_test::TempDir io;
  gavio_test::WriteFile(io.File("in"), input);
  std::string command = "cd " + io.path() + " && " + gavio_test::BuildDir() + "/gavio " + args +
                        " <in >" + stdoutTo + " 2>err";
  Outcome run;
  int status = system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = gavio_test::ReadFile(io.File("out"));
  run.err = gavio_test::ReadFile(io.File("err"));
  return run;
}

TEST(GavioCli, EveryCommandAnswersHelpOnStandardOutputAndRunsNothing) {
  const char* const kCommands[] = {
      "--help", "-h", "components --help", "demo --help", "demo -h", "vfs --help",
      "vfs pack --help", "vfs extract --help", "vfs ls -h", "vfs cat --help", "vfs add --help",
      "vfs rm --help", "vfs info --help", "vfs mount --help", "md5 --help", "base64 --help",
      "encrypt --help", "decrypt --help", "ipc --help", "ipc send --help",
  };
  for (const char* command : kCommands) {
    Outcome run = Gavio(command);
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_EQ(run.out.rfind("usage: gavio", 0), 0u) << command << ": " << run.out;
    EXPECT_EQ(run.err, "") << command;
    EXPECT_EQ(run.out.find("demo:"), std::string::npos) << command << " ran the demo";
  }
}

TEST(GavioCli, ExitCodesAndMessages) {
  struct Case {
    const char* args;
    int status;
    const char* inOut;  // expected in standard output
    const char* inErr;  // expected in standard error
  };
  const Case kCases[] = {
      {"", 2, "", "usage: gavio"},
      {"nosuch", 2, "", "unknown command 'nosuch'"},
      {"--version", 0, "gavio 0.1.0\n", ""},
      {"-v --version", 0, "gavio ", ""},
      {"--bogus", 2, "", "unknown option"},
      {"md5 /etc", 1, "", "gavio: /etc: Is a directory\n"},
      {"md5 no-such-file", 1, "", "gavio: no-such-file: No such file or directory\n"},
      {"ipc listen key --count abc", 2, "", "invalid --count 'abc'"},
      {"ipc listen key --count=", 2, "", "invalid --count ''"},
      {"base64 encode -w -1", 2, "", "invalid wrap width"},
      {"base64 encode --wrap", 2, "", "option needs a value"},
      {"base64", 2, "", "say encode or decode"},
      {"encrypt --key 123 a b", 2, "", "32 hexadecimal digits"},
      {"vfs pack --bogus", 2, "", "unknown option"},
      {"vfs pack only-one", 2, "", "wrong number of operands"},
      {"vfs ls /etc", 1, "", "gavio: /etc: not an archive"},
      {"vfs info missing.vfs", 1, "", "gavio: missing.vfs: No such file or directory"},
  };
  for (const Case& c : kCases) {
    Outcome run = Gavio(c.args);
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
    EXPECT_NE(run.out.find(c.inOut), std::string::npos) << c.args << ": " << run.out;
    EXPECT_NE(run.err.find(c.inErr), std::string::npos) << c.args << ": " << run.err;
  }
}

TEST(GavioCli, Base64WrapsAndRejectsInvalidInput) {
  std::string zeros(100, '\0');
  Outcome wrapped = Gavio("base64 encode", zeros);
  ASSERT_EQ(wrapped.status, 0);
  EXPECT_EQ(wrapped.out, std::string(76, 'A') + "\n" + std::string(58, 'A') + "==\n");
  EXPECT_EQ(Gavio("base64 encode -w 0", zeros).out, std::string(134, 'A') + "==");
  EXPECT_EQ(Gavio("base64 encode --wrap=10", "hello").out, "aGVsbG8=\n");
  EXPECT_EQ(Gavio("base64 decode in", wrapped.out).out, zeros) << "FILE operand and line ends";
  EXPECT_EQ(Gavio("base64 decode", "").out, "");
  for (const char* bad : {"abc", "ab=c", "a===", "@@@@", "YQ==YQ==", "aGVs bG8=", "YQ=\n"}) {
    Outcome run = Gavio("base64 decode", bad);
    EXPECT_EQ(run.status, 1) << bad;
    EXPECT_EQ(run.out, "") << bad;
    EXPECT_NE(run.err.find("invalid input"), std::string::npos) << bad;
  }
}

TEST(GavioCli, Md5ReadsStandardInputAndChecksLists) {
  EXPECT_EQ(Gavio("md5", "abc").out, "900150983cd24fb0d6963f7d28e17f72  -\n");
  gavio_test::TempDir dir;
  gavio_test::WriteFile(dir.File("a"), "abc");
  gavio_test::WriteFile(dir.File("odd\nname"), "abc");
  Outcome sums = Gavio("md5 -- " + dir.File("a") + " '" + dir.File("odd\nname") + "'");
  ASSERT_EQ(sums.status, 0) << sums.err;
  EXPECT_NE(sums.out.find("\\900150983cd24fb0d6963f7d28e17f72  " + dir.path() + "/odd\\nname\n"),
            std::string::npos)
      << sums.out;

  Outcome good = Gavio("md5 -c", sums.out);
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_NE(good.out.find(dir.File("a") + ": OK\n"), std::string::npos) << good.out;
  EXPECT_NE(good.out.find("/odd\\nname: OK\n"), std::string::npos) << good.out;

  gavio_test::WriteFile(dir.File("a"), "changed");
  Outcome bad = Gavio("md5 --check -q", sums.out + "not a checksum line\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, dir.File("a") + ": FAILED\n");
  EXPECT_NE(bad.err.find("1 computed checksums did NOT match"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("1 lines are improperly formatted"), std::string::npos) << bad.err;
  EXPECT_EQ(Gavio("md5 -c", "nothing to check\n").status, 1);

  // A command-line path is a host path: a backslash is part of the name.
  mkdir(dir.File("x").c_str(), 0755);
  gavio_test::WriteFile(dir.File("x/y"), "abc");
  Outcome literal = Gavio("md5 '" + dir.path() + "/x\\y'");
  EXPECT_EQ(literal.status, 1);
  EXPECT_NE(literal.err.find("/x\\\\y: No such file or directory"), std::string::npos) << literal.err;
}

TEST(GavioCli, FailedWritesToStandardOutputAreErrors) {
  gavio_test::TempDir dir;
  gavio_test::WriteFile(dir.File("data"), std::string(200000, 'x'));
  const std::string kCommands[] = {"md5 " + dir.File("data"), "base64 encode " + dir.File("data"),
                                   "--version", "components"};
  for (const std::string& args : kCommands) {
    Outcome run = Gavio(args, "", "/dev/full");
    EXPECT_EQ(run.status, 1) << args;
    EXPECT_NE(run.err.find("standard output: No space left on device"), std::string::npos)
        << args << ": " << run.err;
  }
}

TEST(GavioCli, CipherOutputsNeverFollowAPlantedLinkAndKeepTheirMode) {
  gavio_test::TempDir dir;
  const std::string key = "--key 000102030405060708090a0b0c0d0e0f ";
  gavio_test::WriteFile(dir.File("plain"), "secret text");
  gavio_test::WriteFile(dir.File("victim"), "untouched");
  ASSERT_EQ(Gavio("encrypt " + key + dir.File("plain") + " " + dir.File("sealed")).status, 0);

  // A link planted at the output name is replaced, not written through.
  ASSERT_EQ(symlink(dir.File("victim").c_str(), dir.File("opened").c_str()), 0);
  Outcome run = Gavio("decrypt " + key + dir.File("sealed") + " " + dir.File("opened"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(gavio_test::ReadFile(dir.File("victim")), "untouched");
  EXPECT_EQ(gavio_test::ReadFile(dir.File("opened")), "secret text");
  struct stat info {};
  ASSERT_EQ(lstat(dir.File("opened").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "new decrypted text is private";

  // An existing output keeps its mode.
  ASSERT_EQ(chmod(dir.File("opened").c_str(), 0640), 0);
  ASSERT_EQ(Gavio("decrypt " + key + dir.File("sealed") + " " + dir.File("opened")).status, 0);
  ASSERT_EQ(stat(dir.File("opened").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  Outcome wrongKey = Gavio("decrypt --key=ffffffffffffffffffffffffffffffff " + dir.File("sealed") +
                       " " + dir.File("other"));
  EXPECT_EQ(wrongKey.status, 1);
  EXPECT_NE(access(dir.File("other").c_str(), F_OK), 0);
}

}  // namespace
