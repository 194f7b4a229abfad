// Host files: write beside and rename, special files, listing, and the
// fault seam the data-safety tests stand on.
#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/errors.h"
#include "support/test_support.h"

namespace {

using gavio_test::ReadFile;
using gavio_test::TempDir;
using gavio_test::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// Every way a target can stand before an atomic write, and what it must be
// after: the new content in a regular file, with the expected mode, and
// nothing planted elsewhere touched.
TEST(HostFiles, AtomicWriteReplacesWhateverStandsAtTheTarget) {
  struct Case {
    const char* name;
    int existingMode;  // -1: no file; -2: a link to a victim file
    DWORD flags;
    mode_t expectedMode;
  };
  const Case cases[] = {
      {"new private file", -1, GAVIO_ATOMIC_PRIVATE, 0600},
      {"existing 0600 keeps its mode", 0600, 0, 0600},
      {"existing 0640 keeps its mode, private or not", 0640, GAVIO_ATOMIC_PRIVATE, 0640},
      {"link at the target is replaced, not followed", -2, GAVIO_ATOMIC_PRIVATE, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string target = dir.File("out.txt");
    std::string victim = dir.File("victim.txt");
    WriteFile(victim, "victim");
    if (c.existingMode >= 0) {
      WriteFile(target, "old");
      chmod(target.c_str(), static_cast<mode_t>(c.existingMode));
    } else if (c.existingMode == -2) {
      ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
    }
    ASSERT_TRUE(GavioWriteFileAtomic(target.c_str(), "new", 3, c.flags));
    EXPECT_TRUE(S_ISREG(ModeOf(target)));
    EXPECT_EQ(ModeOf(target) & 07777, c.expectedMode);
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_EQ(ReadFile(victim), "victim");
    int names = 0;
    GavioListFolder(dir.path().c_str(), [](void* n, const GavioFolderEntry*) -> BOOL {
      ++*static_cast<int*>(n);
      return TRUE;
    }, &names);
    EXPECT_EQ(names, 2) << "no temporary is left behind";
  }
}

TEST(HostFiles, FailedWriteKeepsTheOldContentAndLeavesNoTemporary) {
  TempDir dir;
  std::string target = dir.File("keep.txt");
  WriteFile(target, "old content");
  GavioSetFileFaults(1, 0);
  EXPECT_FALSE(GavioWriteFileAtomic(target.c_str(), "new", 3, 0));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(ReadFile(target), "old content");
  std::set<std::string> names;
  GavioListFolder(dir.path().c_str(), [](void* n, const GavioFolderEntry* e) -> BOOL {
    static_cast<std::set<std::string>*>(n)->insert(e->name);
    return TRUE;
  }, &names);
  EXPECT_EQ(names, std::set<std::string>{"keep.txt"});
  // The countdown fires once: the next write goes through.
  EXPECT_TRUE(GavioWriteFileAtomic(target.c_str(), "new", 3, 0));
  EXPECT_EQ(ReadFile(target), "new");
}

TEST(HostFiles, RegularOpenRefusesAFifoWithoutBlockingAndListingNamesIt) {
  TempDir dir;
  std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("missing", dir.File("dangling").c_str()), 0);
  EXPECT_EQ(GavioFileOpen(fifo.c_str(), GAVIO_FILE_READ | GAVIO_FILE_REGULAR), -1);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  char* data = nullptr;
  size_t size = 0;
  EXPECT_FALSE(GavioReadSmallFile(fifo.c_str(), 100, &data, &size));
  WriteFile(dir.File("big"), std::string(101, 'x'));
  EXPECT_FALSE(GavioReadSmallFile(dir.File("big").c_str(), 100, &data, &size));
  EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);

  std::set<std::pair<std::string, DWORD>> seen;
  ASSERT_TRUE(GavioListFolder(dir.path().c_str(), [](void* s, const GavioFolderEntry* e) -> BOOL {
    static_cast<std::set<std::pair<std::string, DWORD>>*>(s)->emplace(e->name, e->type);
    return TRUE;
  }, &seen));
  EXPECT_EQ(seen, (std::set<std::pair<std::string, DWORD>>{{"pipe", GAVIO_ENTRY_OTHER},
                                                            {"dangling", GAVIO_ENTRY_UNREADABLE},
                                                            {"big", GAVIO_ENTRY_FILE}}));
}

TEST(HostFiles, LocksRefuseASecondWriterAndAdmitReaders) {
  TempDir dir;
  std::string path = dir.File("locked");
  WriteFile(path, "x");
  int a = GavioFileOpen(path.c_str(), GAVIO_FILE_WRITE);
  int b = GavioFileOpen(path.c_str(), GAVIO_FILE_READ);
  int c = GavioFileOpen(path.c_str(), GAVIO_FILE_READ);
  ASSERT_TRUE(GavioFileLock(b, GAVIO_LOCK_SHARED | GAVIO_LOCK_NOWAIT));
  EXPECT_TRUE(GavioFileLock(c, GAVIO_LOCK_SHARED | GAVIO_LOCK_NOWAIT));
  EXPECT_FALSE(GavioFileLock(a, GAVIO_LOCK_EXCLUSIVE | GAVIO_LOCK_NOWAIT));
  EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
  GavioFileClose(b);
  GavioFileClose(c);
  EXPECT_TRUE(GavioFileLock(a, GAVIO_LOCK_EXCLUSIVE | GAVIO_LOCK_NOWAIT));
  GavioFileClose(a);
}

TEST(HostFiles, CreateFoldersAndRemoveTreeNeverFollowLinks) {
  TempDir dir;
  TempDir outside;
  WriteFile(outside.File("precious"), "p");
  std::string deep = dir.File("a/b/c");
  ASSERT_TRUE(GavioCreateFolders(deep.c_str(), 0));
  ASSERT_EQ(symlink(outside.path().c_str(), dir.File("a/b/link").c_str()), 0);
  WriteFile(deep + "/f", "f");
  ASSERT_TRUE(GavioRemoveTree(dir.File("a").c_str()));
  EXPECT_EQ(ModeOf(dir.File("a")), 0u);
  EXPECT_EQ(ReadFile(outside.File("precious")), "p");
}

}  // namespace
