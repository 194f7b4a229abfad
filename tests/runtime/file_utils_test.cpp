// The file-system utilities against real folders: creation, unique names,
// prefixes, copies, moves, the trash, listings, comparisons and the walk.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "runtime_test_env.h"
#include "support/test_support.h"

namespace {

using gavio::FolderEntry;
using gavio::IFileUtils;
using gavio_test::ReadFile;
using gavio_test::WriteFile;
namespace fs = std::filesystem;

class FileUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    utils_ = runtime_test::Create<IFileUtils>(gavio::kFileUtilsId);
    ASSERT_NE(utils_, nullptr);
  }
  void TearDown() override { utils_->Destroy(0); }

  std::string P(const std::string& name) { return dir_.File(name); }
  void Make(const std::string& name, const std::string& contents = "x") {
    fs::create_directories(fs::path(P(name)).parent_path());
    WriteFile(P(name), contents);
  }

  gavio_test::TempDir dir_;
  IFileUtils* utils_ = nullptr;
};

TEST_F(FileUtilsTest, CreateFolderMakesEveryMissingLevel) {
  EXPECT_EQ(utils_->CreateFolder(P("a/b\\c/").c_str()), 1);
  EXPECT_TRUE(fs::is_directory(P("a/b/c")));
  EXPECT_EQ(utils_->CreateFolder(P("a/b").c_str()), 1);  // already there
  Make("file");
  EXPECT_EQ(utils_->CreateFolder(P("file/sub").c_str()), 0);
  EXPECT_EQ(utils_->CreateFolder("   "), 0);
  EXPECT_EQ(utils_->CreateFolder(nullptr), 0);
  EXPECT_EQ(utils_->CreateFolder("rel/dir"), 1);
  EXPECT_TRUE(fs::is_directory(runtime_test::RootFolder() + "/rel/dir"));
}

TEST_F(FileUtilsTest, UniqueNameTakesTheFirstFreeNumber) {
  Make("base1");
  Make("base2");
  char out[300];
  ASSERT_EQ(utils_->UniqueName(dir_.path().c_str(), "base", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), P("base3"));
  char tiny[4] = "##";
  EXPECT_EQ(utils_->UniqueName(dir_.path().c_str(), "base", tiny, sizeof tiny), 0);
  EXPECT_EQ(utils_->UniqueName(dir_.path().c_str(), nullptr, out, sizeof out), 0);
}

TEST_F(FileUtilsTest, ReplacePrefixSplitsOffTheRest) {
  char out[64], rest[64];
  ASSERT_EQ(utils_->ReplacePrefix("C:\\Game\\data\\x.ini", "c:/game", "/opt/g", out, 64, rest,
                                  64), 1);
  EXPECT_STREQ(out, "/opt/g\\data\\x.ini");
  EXPECT_STREQ(rest, "data\\x.ini");
  ASSERT_EQ(utils_->ReplacePrefix("/other/x", "/game", "/opt", out, 64, rest, 64), 1);
  EXPECT_STREQ(out, "/other/x");
  EXPECT_STREQ(rest, "");
  char small[5] = "####";
  EXPECT_EQ(utils_->ReplacePrefix("/game/long/path", "/game", "/opt", small, 5, rest, 64), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(utils_->ReplacePrefix(nullptr, "/g", "/o", out, 64, rest, 64), 0);
}

TEST_F(FileUtilsTest, CopiesCreateFoldersAndReplace) {
  Make("src/a.txt", "alpha");
  ASSERT_EQ(utils_->CopyFile(P("src/a.txt").c_str(), P("deep/er/b.txt").c_str()), 1);
  EXPECT_EQ(ReadFile(P("deep/er/b.txt")), "alpha");
  Make("src/a.txt", "beta");
  ASSERT_EQ(utils_->CopyFile(P("src/a.txt").c_str(), P("deep/er/b.txt").c_str()), 1);
  EXPECT_EQ(ReadFile(P("deep/er/b.txt")), "beta");
  ASSERT_EQ(utils_->CopyFileIntoFolder(P("src/a.txt").c_str(), P("into").c_str()), 1);
  EXPECT_EQ(ReadFile(P("into/a.txt")), "beta");
  EXPECT_EQ(utils_->CopyFile(P("src/none").c_str(), P("x").c_str()), 0);
  EXPECT_FALSE(fs::exists(P("x")));
}

TEST_F(FileUtilsTest, MovesAndShellOperations) {
  Make("m/one.txt", "1");
  ASSERT_EQ(utils_->Move(P("m/one.txt").c_str(), P("m/two.txt").c_str()), 1);
  EXPECT_EQ(ReadFile(P("m/two.txt")), "1");

  // The shell forms need both paths to exist; a folder receives the source.
  Make("tree/sub/leaf.txt", "leaf");
  fs::create_directories(P("dest"));
  EXPECT_EQ(utils_->ShellCopy(P("tree").c_str(), P("nowhere").c_str()), 0);
  ASSERT_EQ(utils_->ShellCopy(P("tree").c_str(), P("dest").c_str()), 1);
  EXPECT_EQ(ReadFile(P("dest/tree/sub/leaf.txt")), "leaf");
  EXPECT_EQ(utils_->ShellCopy(P("dest").c_str(), P("dest/tree").c_str()), 0);  // into itself
  ASSERT_EQ(utils_->ShellMove(P("tree").c_str(), P("m").c_str()), 1);
  EXPECT_FALSE(fs::exists(P("tree")));
  EXPECT_EQ(ReadFile(P("m/tree/sub/leaf.txt")), "leaf");
}

TEST_F(FileUtilsTest, CopyFolderByShellCopiesTheTreeOtherwiseTopLevelFiles) {
  Make("from/a.txt", "a");
  Make("from/inner/b.txt", "b");
  ASSERT_EQ(utils_->CopyFolder(P("from").c_str(), P("flat").c_str(), 0), 1);
  EXPECT_EQ(ReadFile(P("flat/a.txt")), "a");
  EXPECT_FALSE(fs::exists(P("flat/inner")));
  ASSERT_EQ(utils_->CopyFolder(P("from").c_str(), P("whole").c_str(), 1), 1);
  EXPECT_EQ(ReadFile(P("whole/inner/b.txt")), "b");
  EXPECT_EQ(utils_->CopyFolder(P("absent").c_str(), P("whole").c_str(), 1), 0);
}

TEST_F(FileUtilsTest, DeletesForGoodAndToTheTrash) {
  Make("gone/x.txt");
  ASSERT_EQ(utils_->DeleteForGood(P("gone").c_str()), 1);
  EXPECT_FALSE(fs::exists(P("gone")));
  EXPECT_EQ(utils_->DeleteForGood(P("gone").c_str()), 0);
  EXPECT_EQ(utils_->DeleteToRecycleBin(P("gone").c_str()), 0);

  // Two items of one name: both land in the trash under distinct names,
  // each with a record of where it came from.
  std::string trash = runtime_test::DataFolder() + "/Trash";
  std::string name = "trashed-" + std::to_string(getpid()) + ".txt";
  for (const char* contents : {"first", "second"}) {
    Make(name, contents);
    ASSERT_EQ(utils_->DeleteToRecycleBin(P(name).c_str()), 1);
    EXPECT_FALSE(fs::exists(P(name)));
  }
  EXPECT_EQ(ReadFile(trash + "/files/" + name), "first");
  EXPECT_EQ(ReadFile(trash + "/files/" + name + ".2"), "second");
  std::string info = ReadFile(trash + "/info/" + name + ".2.trashinfo");
  EXPECT_EQ(info.rfind("[Trash Info]\nPath=" + P(name) + "\nDeletionDate=", 0), 0u) << info;
  struct stat mode;
  ASSERT_EQ(stat((trash + "/files").c_str(), &mode), 0);
  EXPECT_EQ(mode.st_mode & 0777, 0700u);
}

TEST_F(FileUtilsTest, ListFolderCountsOrFillsEntries) {
  Make("list/b.txt", "12345");
  Make("list/a.TXT", "1");
  Make("list/c.bin");
  Make("list/   ");
  fs::create_directories(P("list/sub"));
  std::string all = P("list/*.*");
  EXPECT_EQ(utils_->ListFolder(all.c_str(), nullptr, 0), 4);
  std::vector<FolderEntry> entries(3);
  memset(entries.data(), 0x5A, entries.size() * sizeof(FolderEntry));
  ASSERT_EQ(utils_->ListFolder(P("list\\*.txt").c_str(), entries.data(), 3), 2);
  EXPECT_STREQ(entries[0].name, "a.TXT");
  EXPECT_STREQ(entries[1].name, "b.txt");
  EXPECT_EQ(entries[1].size, 5u);
  EXPECT_EQ(entries[1].isFile, 1);
  EXPECT_EQ(entries[2].name[0], 0x5A) << "only the filled entries are written";
  ASSERT_EQ(utils_->ListFolder(all.c_str(), entries.data(), 1), 1);
  ASSERT_EQ(utils_->ListFolder(P("list/sub").c_str(), entries.data(), 3), 1);
  EXPECT_EQ(entries[0].isFolder, 1);
  EXPECT_EQ(utils_->ListFolder(P("missing/*.*").c_str(), entries.data(), 3), 0);
}

TEST_F(FileUtilsTest, ComparesByContentAndByDigest) {
  Make("one", std::string(5000, 'a'));
  Make("same", std::string(5000, 'a'));
  Make("other", std::string(4999, 'a') + "b");
  Make("short", std::string(4999, 'a'));
  for (auto compare : {&IFileUtils::CompareFilesByContent, &IFileUtils::CompareFilesByDigest}) {
    EXPECT_EQ((utils_->*compare)(P("one").c_str(), P("same").c_str()), 1);
    EXPECT_EQ((utils_->*compare)(P("one").c_str(), P("other").c_str()), 0);
    EXPECT_EQ((utils_->*compare)(P("one").c_str(), P("short").c_str()), 0);
    EXPECT_EQ((utils_->*compare)(P("one").c_str(), P("missing").c_str()), 0);
    EXPECT_EQ((utils_->*compare)(dir_.path().c_str(), dir_.path().c_str()), 0);
  }
}

TEST_F(FileUtilsTest, CountTreeWalksWithoutFollowingLinks) {
  Make("t/a");
  Make("t/x/b");
  Make("t/x/y/c");
  fs::create_symlink(P("t"), P("t/x/loop"));
  EXPECT_EQ(utils_->CountTree(P("t").c_str(), 1, 0, -1), 4);  // a, b, c and the link
  EXPECT_EQ(utils_->CountTree(P("t").c_str(), 0, 1, -1), 2);
  EXPECT_EQ(utils_->CountTree(P("t").c_str(), 1, 1, 0), 2);
  EXPECT_EQ(utils_->CountTree(P("t").c_str(), 1, 1, 1), 5);
  EXPECT_EQ(utils_->CountTree(P("t/a").c_str(), 1, 1, -1), -1);
  EXPECT_EQ(utils_->CountTree(nullptr, 1, 1, -1), -1);
}

TEST_F(FileUtilsTest, OverLongPathsAreRefused) {
  std::string longPath = dir_.path() + "/" + std::string(260, 'L');
  Make("ok.txt");
  EXPECT_EQ(utils_->CreateFolder(longPath.c_str()), 0);
  EXPECT_EQ(utils_->CopyFile(P("ok.txt").c_str(), longPath.c_str()), 0);
  EXPECT_EQ(utils_->DeleteForGood(longPath.c_str()), 0);
  EXPECT_EQ(utils_->ListFolder(longPath.c_str(), nullptr, 0), 0);
  EXPECT_TRUE(fs::exists(P("ok.txt")));
}

}  // namespace
