// INI files: reading with case-blind names, cut values and name lists;
// writes in place; and the files a write must not lose or follow, and the
// ones a read must not hang on.
#include "platform/ini.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "support/test_support.h"

namespace {

using gavio_test::ReadFile;
using gavio_test::TempDir;
using gavio_test::WriteFile;

std::string Get(const std::string& ini, const char* section, const char* key,
                const char* fallback = "", DWORD size = 4096) {
  std::string buffer(size, '\x7f');
  DWORD n = GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, ini.c_str());
  return buffer.substr(0, n);
}

TEST(Ini, ReadsTrimsAndUnquotesWritesInPlaceAndRemoves) {
  TempDir dir;
  std::string ini = dir.File("test.ini");
  gavio_test::WriteFile(
      ini, "; comment\n[Main]\n  Name =  \"two words\"  \nCount=0x10\n\n[Other]\nName=x\n");
  char buffer[64];
  EXPECT_EQ(GetPrivateProfileStringA("main", "NAME", "d", buffer, sizeof buffer, ini.c_str()), 9u);
  EXPECT_STREQ(buffer, "two words");
  EXPECT_EQ(GetPrivateProfileIntA("Main", "Count", 3, ini.c_str()), 16u);
  EXPECT_EQ(GetPrivateProfileIntA("Main", "Missing", 3, ini.c_str()), 3u);
  EXPECT_EQ(GetPrivateProfileStringA("Main", "Name", "", buffer, 4, ini.c_str()), 3u);
  EXPECT_STREQ(buffer, "two");

  ASSERT_TRUE(WritePrivateProfileStringA("Main", "Name", "one", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Main", "Added", "yes", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("New", "Key", "v", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Other", nullptr, nullptr, ini.c_str()));
  GetPrivateProfileStringA("Main", "Name", "", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "one");
  GetPrivateProfileStringA("Main", "Added", "", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "yes");
  GetPrivateProfileStringA("New", "Key", "", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "v");
  GetPrivateProfileStringA("Other", "Name", "gone", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "gone");
  EXPECT_NE(gavio_test::ReadFile(ini).find("; comment"), std::string::npos);

  GetPrivateProfileStringA("Main", "Name", "fallback", buffer, sizeof buffer,
                           dir.File("missing.ini").c_str());
  EXPECT_STREQ(buffer, "fallback");
}

TEST(Ini, NamesIgnoreCaseLongValuesAreCutAndListsEndWithTwoNuls) {
  TempDir dir;
  std::string ini = dir.File("case.ini");
  std::string long_value(1000, 'v');
  WriteFile(ini,
            "[Main]\r\nName=first\r\nUrl = http://h/p?a=b\r\n[main]\r\nname=second\r\n"
            "Long=" +
                long_value + "\r\n[Empty]\r\n");
  EXPECT_EQ(Get(ini, "MAIN", "nAmE"), "first");  // the first match wins
  EXPECT_EQ(Get(ini, "Main", "Url"), "http://h/p?a=b");
  EXPECT_EQ(Get(ini, "main", "Long"), long_value);
  EXPECT_EQ(Get(ini, "main", "Long", "", 260), long_value.substr(0, 259));
  EXPECT_EQ(Get(ini, "Empty", "Name", "  padded  "), "padded");  // defaults are trimmed too
  EXPECT_EQ(Get(ini, nullptr, nullptr), std::string("Main\0main\0Empty\0", 16));
  // Sections whose names differ only in case are one section.
  EXPECT_EQ(Get(ini, "Main", nullptr), std::string("Name\0Url\0name\0Long\0", 19));
  char cut[8];
  GetPrivateProfileStringA(nullptr, nullptr, "", cut, sizeof cut, ini.c_str());
  EXPECT_EQ(std::string(cut, 8), std::string("Main\0m\0\0", 8));

  // A write with other case replaces the entry where it stands.
  ASSERT_TRUE(WritePrivateProfileStringA("MAIN", "NAME", "third", ini.c_str()));
  EXPECT_EQ(Get(ini, "Main", "Name"), "third");
  std::string text = ReadFile(ini);
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_LT(text.find("NAME=third"), text.find("Url"));
}

TEST(Ini, AMissingFileReadsAsDefaultsAndAWriteCreatesIt) {
  TempDir dir;
  std::string ini = dir.File("new.ini");
  EXPECT_EQ(Get(ini, "S", "K", "d"), "d");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Get(ini, nullptr, nullptr), "");
  EXPECT_EQ(GetPrivateProfileIntA("S", "K", -7, ini.c_str()), static_cast<UINT>(-7));
  ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "v", ini.c_str()));
  EXPECT_EQ(ReadFile(ini), "[S]\nK=v\n");
  EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "v", dir.File("no/such/folder.ini").c_str()));
}

// Files a read must not hang on or swallow whole: a FIFO nobody writes to,
// an endless device, an oversized file. Each reads as the default.
TEST(Ini, SpecialAndOversizedFilesReadAsDefaultsWithoutBlocking) {
  TempDir dir;
  std::string fifo = dir.File("fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string huge = dir.File("huge.ini");
  WriteFile(huge, "[S]\nK=v\n" + std::string(5 << 20, ';'));
  std::atomic<int> done{0};
  std::thread reader([&] {
    for (const std::string& path : {fifo, std::string("/dev/zero"), huge}) {
      EXPECT_EQ(Get(path, "S", "K", "d"), "d") << path;
      ++done;
    }
  });
  bool finished = false;
  for (int i = 0; i < 10000 && !finished; ++i) {
    finished = done == 3;
    if (!finished) usleep(1000);
  }
  EXPECT_TRUE(finished) << "a read blocked";
  if (!finished) {
    int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // let a stuck reader go
    if (unblock >= 0) close(unblock);
  }
  reader.join();
  // An existing file that cannot be read is not rewritten from nothing.
  EXPECT_FALSE(WritePrivateProfileStringA("S", "K2", "w", huge.c_str()));
  EXPECT_EQ(ReadFile(huge).size(), 8u + (5u << 20));
}

// The temporary of a write is created afresh: a link planted under a
// predictable name beside the file is never written through.
TEST(Ini, AWriteNeverFollowsALinkAndKeepsTheFileMode) {
  TempDir dir;
  std::string ini = dir.File("x.ini"), victim = dir.File("victim");
  WriteFile(ini, "[S]\nK=old\n");
  chmod(ini.c_str(), 0640);
  WriteFile(victim, "precious");
  for (const char* suffix : {".tmp", ".gavio-part", ".part"}) {
    ASSERT_EQ(symlink(victim.c_str(), (ini + suffix).c_str()), 0);
  }
  ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "new", ini.c_str()));
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(Get(ini, "S", "K"), "new");
  struct stat info;
  ASSERT_EQ(lstat(ini.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// Writers in different processes each read, change and replace the whole
// file: every acknowledged value must survive the others.
TEST(Ini, ConcurrentWritersFromSeveralProcessesLoseNoValue) {
  TempDir dir;
  std::string ini = dir.File("shared.ini");
  constexpr int kProcesses = 4, kWrites = 25;
  pid_t children[kProcesses];
  for (int p = 0; p < kProcesses; ++p) {
    children[p] = fork();
    if (children[p] == 0) {
      for (int i = 0; i < kWrites; ++i) {
        std::string key = "p" + std::to_string(p) + "k" + std::to_string(i);
        if (!WritePrivateProfileStringA("S", key.c_str(), "1", ini.c_str())) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int present = 0;
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kWrites; ++i) {
      present += Get(ini, "S", ("p" + std::to_string(p) + "k" + std::to_string(i)).c_str()) == "1";
    }
  }
  EXPECT_EQ(present, kProcesses * kWrites);
}

}  // namespace
