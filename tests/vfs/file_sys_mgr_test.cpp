// The manager: one path space over folders and archives, owners of handles,
// copies across file systems, and the process-wide instance.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "gavio/ids.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "support/test_support.h"
#include "vfs/vfile_sys.h"
#include "vfs_test_util.h"

namespace {

using namespace vfs_test;

class FileSysMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mgr_ = static_cast<gavio::IFileSysMgr*>(gavio::HostCreateComponent(gavio::kFileSysMgrId, 0));
    ASSERT_NE(mgr_, nullptr);
    ASSERT_EQ(mgr_->Init(), 1);
    ASSERT_EQ(mgr_->Init(), 1) << "a second Init does nothing";
    folder_ = dir_.File("folder");
    mkdir(folder_.c_str(), 0755);
    WriteAll(folder_ + "/common.txt", "from the folder");
    WriteAll(folder_ + "/only_folder.txt", "folder only");
    WriteAll(dir_.File("secret.txt"), "outside every mount");
    archive_ = dir_.File("pack.vfs");
    int32_t root = mgr_->OpenRoot(archive_.c_str(), gavio::kRootCreate);
    ASSERT_NE(root, -1);
    Put(root, "common.txt", "from the archive");
    Put(root, "only_archive.txt", "archive only");
    ASSERT_EQ(mgr_->CloseRoot(root), 1);
  }
  void TearDown() override {
    if (mgr_ != nullptr) mgr_->Release();
  }

  void Put(int32_t root, const char* path, const std::string& content) {
    gavio::IBuffer* data = MakeBuffer(content);
    EXPECT_GT(mgr_->WriteFileToRoot(root, path, data), 0) << path;
    data->Release();
  }
  // Opens, reads and closes a path; "<none>" when it does not open.
  std::string Read(const char* path) {
    int32_t file = mgr_->OpenFile(path, 0);
    if (file == -1) return "<none>";
    std::string text = BufferText(mgr_->GetFileBuffer(file));
    EXPECT_EQ(mgr_->CloseFile(file), 0);
    return text;
  }

  gavio_test::TempDir dir_;
  gavio::IFileSysMgr* mgr_ = nullptr;
  std::string folder_;
  std::string archive_;
};

TEST_F(FileSysMgrTest, FoldersAndArchivesShareOnePathSpace) {
  int32_t archive = mgr_->Mount(archive_.c_str(), "res");
  int32_t folder = mgr_->Mount((folder_ + "/").c_str(), "res");
  ASSERT_NE(archive, -1);
  ASSERT_NE(folder, -1);
  EXPECT_EQ(mgr_->GetOwner(archive), mgr_->GetFileSystem("VFS"));
  EXPECT_EQ(mgr_->GetOwner(folder), mgr_->GetDefaultFileSys());

  EXPECT_EQ(Read("res\\common.txt"), "from the folder") << "folders first by default";
  EXPECT_EQ(Read("res/only_archive.txt"), "archive only");
  EXPECT_EQ(Read("res\\only_folder.txt"), "folder only");
  mgr_->SetArchivesFirst(1);
  EXPECT_EQ(Read("res\\common.txt"), "from the archive");
  EXPECT_EQ(Read("res\\only_folder.txt"), "folder only");
  EXPECT_EQ(Read("res\\..\\secret.txt"), "<none>") << "no way out of a mounted folder";
  EXPECT_EQ(Read("res\\missing.txt"), "<none>");

  EXPECT_EQ(mgr_->GetAttributes("res\\only_archive.txt"), gavio::kAttributesFile);
  EXPECT_EQ(mgr_->GetAttributes("res\\only_folder.txt"), 0x20);
  EXPECT_EQ(mgr_->GetAttributes("res\\none"), -1);

  char path[64];
  mgr_->GetVfsMapper()->Rewind();
  std::vector<std::string> mapped;
  while (mgr_->NextVfsPath(path, sizeof path) != -1) mapped.push_back(path);
  EXPECT_EQ(mapped, (std::vector<std::string>{"res\\common.txt", "res\\only_archive.txt"}));

  mgr_->UnmountAll();
  EXPECT_EQ(mgr_->GetOwner(archive), nullptr);
  EXPECT_EQ(Read("res\\only_archive.txt"), "<none>");
  EXPECT_EQ(Read("res\\only_folder.txt"), "<none>");
  ASSERT_NE(mgr_->Mount(archive_.c_str(), "again"), -1);
  EXPECT_EQ(Read("again\\only_archive.txt"), "archive only");
}

TEST_F(FileSysMgrTest, OnlyRegisteredExtensionsMountAsArchives) {
  std::string pak = dir_.File("pack.pak");
  WriteAll(pak, ReadAll(archive_));
  EXPECT_EQ(mgr_->Mount(pak.c_str(), "p"), -1);
  ASSERT_EQ(mgr_->AddFileSystem(mgr_->GetFileSystem("vfs"), "pak"), 1);
  EXPECT_NE(mgr_->Mount(pak.c_str(), "p"), -1);
  EXPECT_EQ(Read("p\\only_archive.txt"), "archive only");
  EXPECT_EQ(mgr_->Mount(dir_.File("nothing.vfs").c_str(), "n"), -1);
  EXPECT_EQ(mgr_->AddFileSystem(nullptr, "x"), 0);
}

TEST_F(FileSysMgrTest, AnOpenPathSharesItsHandleUntilTheLastClose) {
  ASSERT_NE(mgr_->Mount(archive_.c_str(), ""), -1);
  int32_t first = mgr_->OpenFile("common.txt", 0);
  ASSERT_NE(first, -1);
  EXPECT_EQ(mgr_->OpenFile("COMMON.TXT", 0), first);
  EXPECT_EQ(mgr_->CloseFile(first), 1);
  EXPECT_NE(mgr_->GetFileBuffer(first), nullptr);
  EXPECT_EQ(mgr_->CloseFile(first), 0);
  EXPECT_EQ(mgr_->CloseFile(first), 0) << "forgotten after the last close";
  EXPECT_EQ(mgr_->GetOwner(first), nullptr);

  // With a cache limit a closed file stays loaded; opening it again gives
  // a handle that still works.
  mgr_->SetCacheLimits(1 << 20, 1 << 20);
  int32_t cached = mgr_->OpenFile("only_archive.txt", 0);
  ASSERT_NE(cached, -1);
  EXPECT_EQ(mgr_->CloseFile(cached), 0);
  EXPECT_EQ(mgr_->OpenFile("only_archive.txt", 0), cached);
  EXPECT_EQ(BufferText(mgr_->GetFileBuffer(cached)), "archive only");
  EXPECT_EQ(mgr_->CloseFile(cached), 0);
}

TEST_F(FileSysMgrTest, CopyAndMoveBetweenFoldersAndArchives) {
  int32_t folder = mgr_->OpenRoot(folder_.c_str(), gavio::kRootReadWrite);
  std::string made = dir_.File("made/deep/out.vfs");
  int32_t archive = mgr_->OpenRoot(made.c_str(), gavio::kRootOpenAlways);
  ASSERT_NE(folder, -1);
  ASSERT_NE(archive, -1) << "missing parent folders are created";
  EXPECT_EQ(mgr_->GetOwner(folder), mgr_->GetDefaultFileSys());

  EXPECT_EQ(mgr_->CopyFile(folder, "common.txt", archive, "copied\\"), 1);
  EXPECT_EQ(mgr_->CopyFile(folder, "only_folder.txt", archive, "x.txt"), 1);
  EXPECT_EQ(TakeText(mgr_->ReadFileFromRoot(archive, "copied\\common.txt")), "from the folder");
  EXPECT_EQ(mgr_->MoveFile(archive, "x.txt", folder, "sub\\moved.txt"), 1);
  EXPECT_EQ(ReadAll(folder_ + "/sub/moved.txt"), "folder only");
  EXPECT_EQ(mgr_->ReadFileFromRoot(archive, "x.txt"), nullptr) << "moved away";
  EXPECT_EQ(mgr_->CopyFile(folder, "none", archive, "y"), 0);

  std::vector<std::string> listed;
  int32_t find = mgr_->FindFirst(folder, "", gavio::kFindRecursive);
  for (bool more = find != -1; more; more = mgr_->FindNext(find) != 0) listed.push_back(mgr_->GetFindPath(find));
  EXPECT_EQ(mgr_->GetFindRoot(find), folder);
  EXPECT_EQ(mgr_->FindClose(find), 1);
  EXPECT_EQ(listed, (std::vector<std::string>{"common.txt", "only_folder.txt", "sub\\moved.txt"}));

  gavio::IBuffer* data = MakeBuffer("escape");
  EXPECT_EQ(mgr_->WriteFileToRoot(folder, "..\\escaped.txt", data), 0);
  data->Release();
  EXPECT_EQ(mgr_->CloseRoot(archive), 1);
  EXPECT_EQ(mgr_->CloseRoot(archive), 0);
  EXPECT_EQ(mgr_->CloseRoot(folder), 1);
  Audit audit = AuditArchive(made);
  ASSERT_TRUE(audit.ok) << audit.error;
  EXPECT_EQ(audit.stored.size(), 1u);
  EXPECT_EQ(mgr_->OpenRoot(dir_.File("absent.vfs").c_str(), gavio::kRootReadOnly), -1);
  int32_t created = mgr_->OpenRoot(dir_.File("newfolder/inner").c_str(), gavio::kRootCreate);
  EXPECT_NE(created, -1);
  EXPECT_EQ(mgr_->GetOwner(created), mgr_->GetDefaultFileSys());
}

TEST_F(FileSysMgrTest, ReleaseAllForgetsTheHandlesOfWhatItDestroyed) {
  int32_t root = mgr_->OpenRoot(archive_.c_str(), gavio::kRootReadWrite);
  Put(root, "late.txt", "written before ReleaseAll");
  ASSERT_EQ(mgr_->ReleaseAll(), 1);
  EXPECT_EQ(mgr_->GetFileSystem("vfs"), nullptr);
  EXPECT_EQ(mgr_->GetOwner(root), nullptr);
  EXPECT_EQ(mgr_->CloseRoot(root), 0);
  Audit audit = AuditArchive(archive_);
  ASSERT_TRUE(audit.ok) << audit.error;
  EXPECT_EQ(audit.stored.count("late.txt"), 1u) << "destroying the file system wrote the archive back";
  EXPECT_EQ(mgr_->Mount(archive_.c_str(), "x"), -1);
}

TEST(FileSysMgrInstance, OneInstancePerProcessUntilDestroyed) {
  gavio::IComponent* first = gavio::HostCreateComponent(gavio::kFileSysMgrId, 1);
  gavio::IComponent* second = gavio::HostCreateComponent(gavio::kFileSysMgrId, 2);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->GetComponentID(), 260u);
  first->Destroy(0);
  auto* fresh = static_cast<gavio::IFileSysMgr*>(gavio::HostCreateComponent(gavio::kFileSysMgrId, 3));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->Init(), 1) << "a new, working instance";
  EXPECT_NE(fresh->GetFileSystem("vfs"), nullptr);
  fresh->Release();

  gavio::IComponent* buffer = gavio::HostCreateComponent(gavio::kBufferId, 0);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(static_cast<gavio::IBuffer*>(buffer)->Init(4, 8), 1);
  buffer->Destroy(0);
}

}  // namespace

namespace {

// Every folder is walked once: a link into the tree is left out (its
// folder is walked under its own name), a link out of it is walked once,
// and a diamond of links (two links per level to the next level, 30 levels
// deep: 2^30 paths) costs one listing per folder. Every name left out is
// reported.
TEST_F(FileSysMgrTest, FolderFindsWalkEachFolderOnceAndReportWhatTheyLeaveOut) {
  std::string tree = dir_.File("tree");
  std::string outside = dir_.File("outside");
  mkdir(tree.c_str(), 0755);
  mkdir((tree + "/real").c_str(), 0755);
  mkdir(outside.c_str(), 0755);
  WriteAll(tree + "/real/file.txt", "linked twice");
  ASSERT_EQ(symlink("real", (tree + "/alias").c_str()), 0);
  ASSERT_EQ(symlink("..", (tree + "/real/up").c_str()), 0);  // a loop back to the top
  ASSERT_EQ(symlink("missing", (tree + "/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((tree + "/pipe").c_str(), 0600), 0);
  constexpr int kLevels = 30;  // a path resolves at most 40 links
  for (int level = 0; level <= kLevels; ++level) {
    std::string folder = outside + "/l" + std::to_string(level);
    mkdir(folder.c_str(), 0755);
    WriteAll(folder + "/f.txt", "level");
    if (level == 0) continue;
    std::string above = outside + "/l" + std::to_string(level - 1);
    ASSERT_EQ(symlink(folder.c_str(), (above + "/a").c_str()), 0);
    ASSERT_EQ(symlink(folder.c_str(), (above + "/b").c_str()), 0);
  }
  ASSERT_EQ(symlink((outside + "/l0").c_str(), (tree + "/diamond").c_str()), 0);

  std::string reports;
  mgr_->SetErrorWriter([](void* text, const char* line) { *static_cast<std::string*>(text) += line; },
                       &reports);
  int32_t root = mgr_->OpenRoot(tree.c_str(), gavio::kRootReadOnly);
  std::vector<std::string> listed;
  int32_t find = mgr_->FindFirst(root, "", gavio::kFindRecursive);
  for (bool more = find != -1; more; more = mgr_->FindNext(find) != 0) listed.push_back(mgr_->GetFindPath(find));
  mgr_->FindClose(find);
  mgr_->SetErrorWriter(nullptr, nullptr);
  EXPECT_EQ(listed.size(), 1u + kLevels + 1) << testing::PrintToString(listed) << reports;
  EXPECT_EQ(listed.front(), "diamond\\f.txt");
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "real\\file.txt"), 1);
  for (const char* name : {"skipped alias: link to a folder inside the tree",
                           "skipped real\\up: link to a folder inside the tree", "skipped dangling:",
                           "skipped pipe: not a regular file or folder"}) {
    EXPECT_NE(reports.find(name), std::string::npos) << name << "\n" << reports;
  }
  size_t rewalks = 0;
  for (size_t at = reports.find("already walked"); at != std::string::npos; at = reports.find("already walked", at + 1)) {
    ++rewalks;
  }
  EXPECT_EQ(rewalks, static_cast<size_t>(kLevels));
}

}  // namespace

namespace {

TEST_F(FileSysMgrTest, FolderFindsAnswerBelowTheirStartAndStopWhenTheRootCloses) {
  gavio::IFileSys* folders = mgr_->GetDefaultFileSys();
  mkdir((folder_ + "/sub").c_str(), 0755);
  WriteAll(folder_ + "/sub/a.txt", "a");
  WriteAll(folder_ + "/sub/b.txt", "b");
  int32_t root = folders->OpenRoot(folder_.c_str(), gavio::kRootReadOnly);
  ASSERT_NE(root, -1);
  int32_t find = folders->FindFirst(root, "\\sub/", 0);
  ASSERT_NE(find, -1);
  EXPECT_STREQ(folders->GetFindPath(find), "sub\\a.txt") << "leading '\\' dropped, '/' turned";
  EXPECT_STREQ(folders->GetFindRelativePath(find), "a.txt");
  EXPECT_EQ(folders->GetFindRoot(find), root);

  ASSERT_EQ(folders->CloseRoot(root), 1);
  EXPECT_EQ(folders->FindNext(find), 0) << "the root is gone";
  EXPECT_EQ(folders->FindClose(find), 1);
  EXPECT_EQ(folders->FindClose(find), 0);
  EXPECT_EQ(folders->GetFindRoot(find), -1);
  EXPECT_EQ(folders->GetFindPath(find), nullptr);
  EXPECT_EQ(folders->GetFindRelativePath(find), nullptr);
}

}  // namespace

namespace {

// Mounts end with UnmountAll: their paths stop opening even when the freed
// mount handle is reused by the next mount, and a remounted folder serves
// its files again. Case-blind paths still reach mixed-case host names.
TEST_F(FileSysMgrTest, RemountsServeOnlyWhatIsMountedNow) {
  std::string other = dir_.File("other.vfs");
  int32_t root = mgr_->OpenRoot(other.c_str(), gavio::kRootCreate);
  Put(root, "b1.txt", "b one");
  ASSERT_EQ(mgr_->CloseRoot(root), 1);
  WriteAll(folder_ + "/Mixed.TXT", "mixed case");

  struct Step {
    const char* what;
    std::function<void()> act;
    std::vector<std::pair<const char*, const char*>> expected;  // path, content
  };
  std::vector<Step> steps = {
      {"archive A at x", [&] { ASSERT_NE(mgr_->Mount(archive_.c_str(), "x"), -1); },
       {{"x\\only_archive.txt", "archive only"}}},
      {"A gone, B at y", [&] { mgr_->UnmountAll(); ASSERT_NE(mgr_->Mount(other.c_str(), "y"), -1); },
       {{"x\\only_archive.txt", "<none>"}, {"x\\common.txt", "<none>"}, {"y\\b1.txt", "b one"}}},
      {"folder at f", [&] { mgr_->UnmountAll(); ASSERT_NE(mgr_->Mount(folder_.c_str(), "f"), -1); },
       {{"f\\common.txt", "from the folder"}, {"y\\b1.txt", "<none>"}}},
      {"folder remounted at f", [&] { mgr_->UnmountAll(); ASSERT_NE(mgr_->Mount(folder_.c_str(), "f"), -1); },
       {{"f\\common.txt", "from the folder"}}},
      {"case-blind", [&] { mgr_->SetCaseSensitive(0); },
       {{"f\\Mixed.TXT", "mixed case"}, {"F\\MIXED.txt", "mixed case"}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    for (const auto& [path, content] : step.expected) EXPECT_EQ(Read(path), content) << path;
  }
}

}  // namespace
