// The archive file system's own rules: mounts, opens, root modes, finds,
// copies and head fields.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "support/test_support.h"
#include "vfs/vfile_sys.h"
#include "vfs_test_util.h"

namespace {

using namespace vfs_test;

class VFileSysTest : public ::testing::Test {
 protected:
  void SetUp() override { fs_ = gavio::CreateVFileSys(nullptr, reports_.get()); }
  void TearDown() override { fs_->Destroy(); }

  // An archive holding the given files (path -> content).
  std::string Make(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files,
                   uint32_t filterKind = 0) {
    std::string path = dir_.File(name);
    int32_t root = fs_->OpenRoot(path.c_str(), gavio::kRootCreate);
    EXPECT_NE(root, -1);
    if (filterKind != 0) fs_->SetRootInfo(root, 0, filterKind, 1, 1);
    for (const auto& [file, content] : files) {
      gavio::IBuffer* data = MakeBuffer(content);
      EXPECT_GT(fs_->WriteFileToRoot(root, file.c_str(), data), 0) << file;
      data->Release();
    }
    EXPECT_EQ(fs_->CloseRoot(root), 1);
    return path;
  }
  std::vector<std::string> FindAll(int32_t root, const char* start, int32_t flags, bool relative = false) {
    std::vector<std::string> found;
    int32_t find = fs_->FindFirst(root, start, flags);
    for (bool more = find != -1; more; more = fs_->FindNext(find) != 0) {
      found.push_back(relative ? fs_->GetFindRelativePath(find) : fs_->GetFindPath(find));
    }
    if (find != -1) {
      EXPECT_EQ(fs_->FindClose(find), 1);
    }
    return found;
  }

  gavio_test::TempDir dir_;
  Reports reports_;
  gavio::IFileSys* fs_ = nullptr;
};

TEST_F(VFileSysTest, MountsAreFoundAgainOnlyByTheirCleanedMountPath) {
  std::string archive = Make("m.vfs", {{"a.txt", "A"}});
  int32_t first = fs_->Mount(archive.c_str(), "data\\");
  ASSERT_NE(first, -1);
  EXPECT_EQ(fs_->Mount(archive.c_str(), "DATA\\"), first);
  int32_t second = fs_->Mount(archive.c_str(), "data");
  EXPECT_NE(second, -1);
  EXPECT_NE(second, first) << "a mount path without its backslash mounts again";
  EXPECT_EQ(fs_->Mount(dir_.path().c_str(), "x"), -1) << "a folder is no archive";
  EXPECT_EQ(fs_->Mount(dir_.File("missing.vfs").c_str(), "x"), -1);
}

TEST_F(VFileSysTest, OpeningALoadedPathAddsAReference) {
  std::string archive = Make("o.vfs", {{"dir\\a.txt", "content"}});
  ASSERT_NE(fs_->Mount(archive.c_str(), ""), -1);
  int32_t file = fs_->OpenFile("dir/a.txt", 0);
  ASSERT_NE(file, -1);
  // The second open needs no host I/O: the archive file may even be gone.
  unlink(archive.c_str());
  EXPECT_EQ(fs_->OpenFile("DIR\\A.TXT", 0), file);
  EXPECT_EQ(BufferText(fs_->GetFileBuffer(file)), "content");
  EXPECT_EQ(fs_->CloseFile(file), 1);
  EXPECT_EQ(fs_->CloseFile(file), 0);
  EXPECT_EQ(fs_->GetFileBuffer(file), nullptr);
  EXPECT_EQ(fs_->OpenFile("dir\\", 0), -1) << "directories are not mapped";
}

TEST_F(VFileSysTest, RootModesOpenCreateAndEmpty) {
  std::string missing = dir_.File("new.vfs");
  EXPECT_EQ(fs_->OpenRoot(missing.c_str(), gavio::kRootReadOnly), -1);
  EXPECT_EQ(fs_->OpenRoot(missing.c_str(), gavio::kRootReadWrite), -1);
  int32_t root = fs_->OpenRoot(missing.c_str(), gavio::kRootOpenAlways);
  ASSERT_NE(root, -1);
  fs_->CloseRoot(root);
  EXPECT_EQ(ReadAll(missing), Head(0));

  std::string full = Make("full.vfs", {{"a", "aaaa"}});
  root = fs_->OpenRoot(full.c_str(), gavio::kRootCreate);
  EXPECT_EQ(ReadAll(full).size(), 156u) << "mode 3 recreates the file at once";
  fs_->CloseRoot(root);
  EXPECT_EQ(ReadAll(full), Head(0));
}

TEST_F(VFileSysTest, ReadOnlyRootsRefuseEveryEditAndAreNeverWrittenBack) {
  std::string archive = Make("ro.vfs", {{"d\\a", "1"}, {"b", "2"}});
  std::string before = ReadAll(archive);
  int32_t root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  EXPECT_EQ(fs_->DeleteFile(root, "b"), 0);
  EXPECT_TRUE(reports_.Has("no right to del file"));
  EXPECT_EQ(fs_->DeleteDir(root, "d\\"), 0);
  gavio::IBuffer* data = MakeBuffer("changed");
  reports_.Clear();
  EXPECT_EQ(fs_->WriteFileToRoot(root, "b", data), 0);
  EXPECT_TRUE(reports_.Has("root couldn't write"));
  EXPECT_EQ(fs_->WriteFileToRoot(root, "new", data), 0);
  EXPECT_EQ(fs_->GetPathType(root, "new"), gavio::kPathNotFound) << "no entry was made";
  EXPECT_EQ(fs_->CreateDir(root, "x"), 0);
  data->Release();
  EXPECT_EQ(fs_->CloseRoot(root), 1);
  EXPECT_EQ(ReadAll(archive), before);
}

TEST_F(VFileSysTest, TwoRootsNeverEditOneArchive) {
  std::string archive = Make("twice.vfs", {{"a", "1"}});
  int32_t reader = fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  int32_t another_reader = fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  EXPECT_NE(another_reader, -1);
  EXPECT_EQ(fs_->OpenRoot(archive.c_str(), gavio::kRootReadWrite), -1);
  EXPECT_TRUE(reports_.Has("root already opened"));
  fs_->CloseRoot(reader);
  fs_->CloseRoot(another_reader);
  int32_t writer = fs_->OpenRoot(archive.c_str(), gavio::kRootReadWrite);
  EXPECT_NE(writer, -1);
  EXPECT_EQ(fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly), -1);
}

TEST_F(VFileSysTest, DeletesCheckWhatThePathNames) {
  std::string archive = Make("del.vfs", {{"d\\a", "1"}, {"d\\e\\b", "2"}, {"c", "3"}});
  int32_t root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadWrite);
  EXPECT_EQ(fs_->DeleteFile(root, "d"), 0);
  EXPECT_TRUE(reports_.Has("target is dir"));
  EXPECT_EQ(fs_->DeleteFile(root, "zz"), 0);
  EXPECT_TRUE(reports_.Has("del file not exist"));
  EXPECT_EQ(fs_->DeleteDir(root, "d"), 0) << "a directory needs its backslash";
  EXPECT_TRUE(reports_.Has("del dir not exist"));
  EXPECT_EQ(fs_->DeleteDir(root, "c"), 0);
  EXPECT_TRUE(reports_.Has("target is file"));
  EXPECT_EQ(fs_->DeleteDir(root, "d\\"), 1);
  EXPECT_EQ(FindAll(root, "", gavio::kFindRecursive), std::vector<std::string>{"c"});
  EXPECT_EQ(fs_->DeleteDir(root, "\\"), 1) << "the whole archive";
  EXPECT_EQ(fs_->FindFirst(root, "", gavio::kFindRecursive), -1);
}

TEST_F(VFileSysTest, FindWalksChainsThenQueuedDirectoriesInOrder) {
  std::string archive = Make("find.vfs", {{"a1", ""}, {"d1\\b1", ""}, {"d1\\b2", ""}, {"d1\\e\\c1", ""},
                                          {"d2\\x", ""}, {"a2", ""}, {"only\\sub\\f", ""}});
  int32_t root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  EXPECT_EQ(FindAll(root, "", 0), (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(FindAll(root, "\\", gavio::kFindRecursive),
            (std::vector<std::string>{"a1", "a2", "d1\\b1", "d1\\b2", "d2\\x", "d1\\e\\c1", "only\\sub\\f"}));
  EXPECT_EQ(FindAll(root, "d1", gavio::kFindRecursive, true),
            (std::vector<std::string>{"b1", "b2", "e\\c1"}));
  EXPECT_EQ(FindAll(root, "d1/", gavio::kFindRecursive),
            (std::vector<std::string>{"d1\\b1", "d1\\b2", "d1\\e\\c1"}));
  EXPECT_EQ(FindAll(root, "d1", gavio::kFindDirectories, true), (std::vector<std::string>{"b1", "b2", "e\\"}));

  reports_.Clear();
  EXPECT_EQ(fs_->FindFirst(root, "only", 0), -1) << "only directories below";
  EXPECT_FALSE(reports_.Has("start path not found!"));
  EXPECT_EQ(fs_->FindFirst(root, "nothing", 0), -1);
  EXPECT_TRUE(reports_.Has("start path not found!"));
  EXPECT_EQ(fs_->FindNext(12345), 0);
  EXPECT_TRUE(reports_.Has("hfind not exist"));
}

TEST_F(VFileSysTest, FindsSurviveDeletesAndClosedRoots) {
  std::string archive = Make("live.vfs", {{"a", ""}, {"d\\b", ""}, {"d\\c", ""}, {"d\\e\\f", ""}, {"z", ""}});
  int32_t root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadWrite);
  int32_t find = fs_->FindFirst(root, "", gavio::kFindRecursive);
  ASSERT_NE(find, -1);
  EXPECT_STREQ(fs_->GetFindPath(find), "a");
  ASSERT_EQ(fs_->DeleteFile(root, "z"), 1);  // the next node of the walk
  ASSERT_EQ(fs_->FindNext(find), 1);
  EXPECT_STREQ(fs_->GetFindPath(find), "d\\b");
  ASSERT_EQ(fs_->DeleteDir(root, "d\\"), 1);  // the chain being walked and a queued directory
  EXPECT_EQ(fs_->FindNext(find), 0);
  fs_->FindClose(find);

  find = fs_->FindFirst(root, "", gavio::kFindRecursive);
  ASSERT_NE(find, -1);
  EXPECT_EQ(fs_->GetFindRoot(find), root);
  fs_->CloseRoot(root);
  EXPECT_EQ(fs_->FindNext(find), 0) << "the root is gone";
  EXPECT_EQ(fs_->FindClose(find), 1);
}

TEST_F(VFileSysTest, CopyKeepsStoredBytesOrRecodesForAnotherFilter) {
  std::string text(5000, 'c');
  std::string source = Make("src.vfs", {{"dir\\file.txt", text}});
  std::string target = dir_.File("dst.vfs");
  std::string raw = dir_.File("raw.vfs");
  int32_t from = fs_->OpenRoot(source.c_str(), gavio::kRootReadOnly);
  int32_t to = fs_->OpenRoot(target.c_str(), gavio::kRootCreate);
  int32_t to_raw = fs_->OpenRoot(raw.c_str(), gavio::kRootCreate);
  fs_->SetRootInfo(to_raw, 0, 2, 1, 1);
  EXPECT_EQ(fs_->CopyFile(from, "dir\\file.txt", to, "copies\\"), 1);
  EXPECT_EQ(fs_->CreateDir(to, "folder"), 1);
  EXPECT_EQ(fs_->CopyFile(from, "dir\\file.txt", to, "folder"), 1) << "into an existing directory";
  EXPECT_EQ(fs_->CopyFile(from, "dir\\file.txt", to, "renamed.txt"), 1);
  EXPECT_EQ(fs_->CopyFile(from, "dir\\file.txt", to_raw, "plain.txt"), 1);
  EXPECT_EQ(fs_->CopyFile(from, "missing", to, "x"), 0);
  EXPECT_EQ(fs_->CopyFile(from, "dir\\file.txt", from, "x"), 0) << "a read-only target";
  for (int32_t root : {from, to, to_raw}) fs_->CloseRoot(root);

  Audit copied = AuditArchive(target);
  ASSERT_TRUE(copied.ok) << copied.error;
  Audit original = AuditArchive(source);
  for (const char* path : {"copies\\file.txt", "folder\\file.txt", "renamed.txt"}) {
    EXPECT_EQ(copied.stored[path], original.stored["dir\\file.txt"]) << path << " keeps the stored bytes";
  }
  Audit plain = AuditArchive(raw);
  ASSERT_TRUE(plain.ok) << plain.error;
  EXPECT_EQ(plain.stored["plain.txt"], text) << "decoded for a raw archive";
}

TEST_F(VFileSysTest, HeadFieldsAndAttributes) {
  std::string archive = Make("head.vfs", {{"d\\f", "x"}});
  int32_t root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadWrite);
  EXPECT_EQ(fs_->SetRootInfo(root, 42, 1, 0, 0), 1);
  EXPECT_EQ(fs_->GetAttributes("d\\f"), gavio::kAttributesFile);
  EXPECT_EQ(fs_->GetAttributes("d"), gavio::kAttributesDirectory);
  EXPECT_EQ(fs_->GetAttributes("nope"), -1);
  fs_->CloseRoot(root);
  root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  uint32_t info = 0, kind = 9, coded = 9, key = 9;
  ASSERT_EQ(fs_->GetRootInfo(root, &info, &kind, &coded, &key), 1);
  EXPECT_EQ(info, 42u);
  EXPECT_EQ(kind, 0u);
  EXPECT_EQ(coded, 1u);
  EXPECT_EQ(key, 1u);
  EXPECT_EQ(fs_->SetFdtCoding(root, 0, 0), 0) << "read-only root";
  fs_->CloseRoot(root);
  ASSERT_NE(fs_->Mount(archive.c_str(), "m"), -1);
  EXPECT_EQ(fs_->GetAttributes("m\\d\\f"), gavio::kAttributesFile);

  // The archive-head pair keeps an archive's extents and FDT.
  int fd = open(archive.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fs_->WriteArchiveHead(fd, 11, 22, "ignored"), 1);
  uint32_t one = 0, two = 0;
  char text[8] = "junk";
  EXPECT_EQ(fs_->ReadArchiveHead(fd, &one, &two, text, sizeof text), 1);
  close(fd);
  EXPECT_EQ(one, 11u);
  EXPECT_EQ(two, 22u);
  EXPECT_STREQ(text, "");
  root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  EXPECT_EQ(TakeText(fs_->ReadFileFromRoot(root, "d\\f")), "x");
}

}  // namespace

namespace {

TEST_F(VFileSysTest, ExactNamesKeepNamesThatDifferOnlyInCase) {
  std::string folded = Make("folded.vfs", {{"Index.html", "upper"}, {"index.html", "lower"}});
  int32_t root = fs_->OpenRoot(folded.c_str(), gavio::kRootReadOnly);
  EXPECT_EQ(FindAll(root, "", 0), std::vector<std::string>{"Index.html"}) << "by default one name, rewritten";
  EXPECT_EQ(TakeText(fs_->ReadFileFromRoot(root, "INDEX.HTML")), "lower");
  fs_->CloseRoot(root);

  fs_->SetCaseSensitive(gavio::kCaseExactNames);
  std::string exact = Make("exact.vfs", {{"Index.html", "upper"}, {"index.html", "lower"}, {"D\\a", "1"}});
  root = fs_->OpenRoot(exact.c_str(), gavio::kRootReadOnly);
  EXPECT_EQ(FindAll(root, "", gavio::kFindRecursive),
            (std::vector<std::string>{"Index.html", "index.html", "D\\a"}));
  EXPECT_EQ(TakeText(fs_->ReadFileFromRoot(root, "Index.html")), "upper");
  EXPECT_EQ(TakeText(fs_->ReadFileFromRoot(root, "index.html")), "lower");
  EXPECT_EQ(fs_->ReadFileFromRoot(root, "d\\a"), nullptr);
}

}  // namespace

namespace {

// Handles are reused after UnmountAll, and the file system's own mapper
// keeps old paths: an old path must not open the file of whatever archive
// got the handle next.
TEST_F(VFileSysTest, AnOldMountPathNeverOpensAnotherArchivesFile) {
  std::string first = Make("first.vfs", {{"a1.txt", "from A"}});
  std::string second = Make("second.vfs", {{"b1.txt", "from B"}});
  ASSERT_NE(fs_->Mount(first.c_str(), "x"), -1);
  fs_->UnmountAll();
  ASSERT_NE(fs_->Mount(second.c_str(), "y"), -1);
  EXPECT_EQ(fs_->OpenFile("x\\a1.txt", 0), -1);
  int32_t file = fs_->OpenFile("y\\b1.txt", 0);
  ASSERT_NE(file, -1);
  EXPECT_EQ(BufferText(fs_->GetFileBuffer(file)), "from B");
  fs_->CloseFile(file);
  fs_->UnmountAll();
  ASSERT_NE(fs_->Mount(first.c_str(), "x"), -1);
  file = fs_->OpenFile("x\\a1.txt", 0);
  ASSERT_NE(file, -1) << "remounted, the path opens again";
  EXPECT_EQ(BufferText(fs_->GetFileBuffer(file)), "from A");
  fs_->CloseFile(file);
}

}  // namespace

namespace {

// Opening a mounted path finds what a lookup of the path in the archive
// finds, whatever shortcut the open takes: with names that differ only in
// case (the first of them wins while case is folded), folders, and a file
// whose extents were split by a rewrite.
TEST_F(VFileSysTest, MountedOpensFindWhatALookupFinds) {
  fs_->SetCaseSensitive(gavio::kCaseExactNames);
  std::string archive = Make("mix.vfs", {{"Index.html", "upper"}, {"index.html", "lower"}, {"D\\a", "1"},
                                         {"d\\a", "2"}, {"D\\grown", "small"}, {"D\\after", "x"}},
                             2);
  int32_t root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadWrite);
  std::string grown(3000, 'g');
  gavio::IBuffer* data = MakeBuffer(grown);
  ASSERT_GT(fs_->WriteFileToRoot(root, "D\\grown", data), 0);
  data->Release();
  ASSERT_EQ(fs_->CloseRoot(root), 1);

  const char* const paths[] = {"Index.html", "index.html", "INDEX.HTML", "D\\a", "d\\a", "D\\grown", "d\\GROWN"};
  for (int32_t mode : {gavio::kCaseExactNames, 0}) {
    fs_->SetCaseSensitive(mode);
    fs_->UnmountAll();
    ASSERT_NE(fs_->Mount(archive.c_str(), "m"), -1);
    root = fs_->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
    for (const char* path : paths) {
      gavio::IBuffer* looked_up = fs_->ReadFileFromRoot(root, path);
      std::string expected = looked_up == nullptr ? "(none)" : TakeText(looked_up);
      int32_t file = fs_->OpenFile((std::string("m\\") + path).c_str(), 0);
      std::string opened = file == -1 ? "(none)" : BufferText(fs_->GetFileBuffer(file));
      if (file != -1) fs_->CloseFile(file);
      EXPECT_EQ(opened, expected) << path << " in mode " << mode;
    }
    fs_->CloseRoot(root);
  }
}

}  // namespace
