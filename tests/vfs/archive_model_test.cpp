// Long random sequences of writes, rewrites, copies and deletes against a
// std::map model of the expected files. After every operation the block
// accounting is checked; between rounds the archive is closed, audited
// independently of the library and reopened.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>

#include "support/test_support.h"
#include "vfs/vfile_sys.h"
#include "vfs_test_util.h"

namespace {

using namespace vfs_test;
using gavio::Archive;
using gavio::CVFileSys;
using gavio::FdtEntry;

struct ModelCase {
  bool raw;  // file filter kind 2 (stored as they are) or zlib
  uint32_t seed;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

class ArchiveModelTest : public ::testing::TestWithParam<ModelCase> {
 protected:
  void SetUp() override {
    rng_.seed(GetParam().seed);
    fs_ = static_cast<CVFileSys*>(gavio::CreateVFileSys(nullptr, reports_.get()));
    path_ = dir_.File("model.vfs");
    root_ = fs_->OpenRoot(path_.c_str(), gavio::kRootCreate);
    ASSERT_NE(root_, -1);
    if (GetParam().raw) fs_->SetRootInfo(root_, 0, 2, 1, 1);
  }
  void TearDown() override { fs_->Destroy(); }

  Archive* archive() { return fs_->RootArchive(root_); }

  // Units held by a chain, read from the extent heads in the file.
  uint32_t ChainUnits(uint32_t first) {
    std::ifstream in(path_, std::ios::binary);
    uint32_t units = 0;
    for (uint32_t offset = first; offset != 0;) {
      gavio::FileBlockHead head;
      in.seekg(offset);
      in.read(reinterpret_cast<char*>(&head), sizeof head);
      if (!in || head.tag != gavio::kBlockTag) {
        ADD_FAILURE() << "broken chain at " << offset;
        return units;
      }
      units += head.units;
      offset = head.next;
    }
    return units;
  }
  uint32_t UnitsOf(const std::string& path) {
    FdtEntry* entry = archive()->Find(path, false);
    return entry == nullptr ? 0 : ChainUnits(entry->firstExtent);
  }

  std::string RandomPath() {
    std::string path;
    int depth = std::uniform_int_distribution<int>(0, 2)(rng_);
    for (int i = 0; i < depth; ++i) path += "d" + std::to_string(rng_() % 3) + "\\";
    path += "f" + std::to_string(rng_() % 5) + ".bin";
    return path;
  }
  std::string RandomDir() {
    std::string path = "d" + std::to_string(rng_() % 3) + "\\";
    if (rng_() % 2 == 0) path += "d" + std::to_string(rng_() % 3) + "\\";
    return path;
  }
  // Sometimes in upper case: names compare without case.
  std::string Spelled(const std::string& path) {
    if (rng_() % 4 != 0) return path;
    std::string upper = path;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return upper;
  }
  std::string RandomContent() {
    static const int kSizes[] = {0, 1, 100, 480, 496, 497, 512, 1008, 1009, 3000, 20000};
    size_t size = rng_() % 3 == 0 ? rng_() % 6000 : kSizes[rng_() % std::size(kSizes)];
    std::string content(size, '\0');
    bool noisy = rng_() % 2 == 0;
    for (size_t i = 0; i < size; ++i) {
      content[i] = noisy ? static_cast<char>(rng_()) : static_cast<char>('a' + (i / 7) % 26);
    }
    return content;
  }

  // One unit of the data area is either in a file, on the free list, or was
  // just appended: the three always add up.
  struct Snapshot {
    int64_t freeUnits;
    uint32_t dataEnd;
  };
  Snapshot Take() { return {archive()->head().freeUnits, archive()->head().dataEnd}; }
  int64_t AppendedUnits(const Snapshot& before, const Snapshot& after) {
    uint32_t from = before.dataEnd == 0 ? Archive::kFirstExtent : before.dataEnd;
    if (after.dataEnd <= from) return 0;
    return (after.dataEnd - from) / gavio::kDefaultBlockSize;
  }

  void Write(const std::string& path, const std::string& content) {
    Snapshot before = Take();
    uint32_t old_units = UnitsOf(path);
    gavio::IBuffer* data = MakeBuffer(content);
    ASSERT_GT(fs_->WriteFileToRoot(root_, Spelled(path).c_str(), data), 0) << reports_.All();
    data->Release();
    Snapshot after = Take();
    uint32_t new_units = UnitsOf(path);
    int64_t appended = AppendedUnits(before, after);
    EXPECT_EQ(int64_t{new_units} - old_units, (before.freeUnits - after.freeUnits) + appended);
    if (new_units <= old_units) {
      EXPECT_EQ(after.freeUnits - before.freeUnits, int64_t{old_units} - new_units)
          << "shrinking returns exactly the surplus units";
      EXPECT_EQ(appended, 0);
    }
    if (appended > 0) {
      EXPECT_EQ(after.freeUnits, 0) << "free extents are used before appending";
    }
    model_[path] = content;
  }

  void Copy(const std::string& from, const std::string& to) {
    Snapshot before = Take();
    uint32_t old_units = UnitsOf(to);
    ASSERT_EQ(fs_->CopyFile(root_, Spelled(from).c_str(), root_, to.c_str()), 1) << reports_.All();
    Snapshot after = Take();
    EXPECT_EQ(int64_t{UnitsOf(to)} - old_units,
              (before.freeUnits - after.freeUnits) + AppendedUnits(before, after));
    model_[to] = model_[from];
  }

  void DeleteFile(const std::string& path) {
    bool exists = model_.count(path) != 0;
    Snapshot before = Take();
    uint32_t units = UnitsOf(path);
    EXPECT_EQ(fs_->DeleteFile(root_, Spelled(path).c_str()), exists ? 1 : 0);
    Snapshot after = Take();
    EXPECT_EQ(after.freeUnits - before.freeUnits, exists ? units : 0);
    EXPECT_EQ(after.dataEnd, before.dataEnd);
    model_.erase(path);
  }

  void DeleteDir(const std::string& dir) {
    bool exists = fs_->GetPathType(root_, dir.c_str()) == gavio::kPathDirectory;
    Snapshot before = Take();
    int64_t units = 0;
    for (auto it = model_.begin(); it != model_.end();) {
      if (it->first.compare(0, dir.size(), dir) == 0) {
        units += UnitsOf(it->first);
        it = model_.erase(it);
      } else {
        ++it;
      }
    }
    EXPECT_EQ(fs_->DeleteDir(root_, Spelled(dir).c_str()), exists ? 1 : 0);
    Snapshot after = Take();
    EXPECT_EQ(after.freeUnits - before.freeUnits, units) << "every extent below is freed";
    EXPECT_EQ(after.dataEnd, before.dataEnd) << "data end never moves back";
  }

  void RandomOperation() {
    int kind = static_cast<int>(rng_() % 10);
    if (kind < 6 || model_.empty()) {
      // Rewrites of existing files are frequent: five names per folder.
      Write(RandomPath(), RandomContent());
    } else if (kind < 7) {
      auto it = std::next(model_.begin(), static_cast<long>(rng_() % model_.size()));
      Copy(it->first, RandomPath());
    } else if (kind < 9) {
      DeleteFile(rng_() % 3 == 0 ? RandomPath()
                                 : std::next(model_.begin(), static_cast<long>(rng_() % model_.size()))->first);
    } else {
      DeleteDir(RandomDir());
    }
  }

  // Closes, audits the file independently, compares with the model and
  // reopens for editing.
  void CloseAuditReopen() {
    ASSERT_EQ(fs_->CloseRoot(root_), 1);
    Audit audit = AuditArchive(path_);
    ASSERT_TRUE(audit.ok) << audit.error;
    EXPECT_EQ(audit.freeListUnits, audit.head.freeUnits);
    std::map<std::string, std::string> found;
    for (const auto& [path, stored] : audit.stored) {
      std::string content = stored;
      if (!GetParam().raw) {
        ASSERT_TRUE(Inflate(stored, audit.unfiltered[path], &content)) << path;
      }
      found[Lower(path)] = content;
    }
    EXPECT_EQ(found.size(), model_.size());
    EXPECT_TRUE(found == model_) << "archive content differs from the model";

    root_ = fs_->OpenRoot(path_.c_str(), gavio::kRootReadWrite);
    ASSERT_NE(root_, -1) << reports_.All();
    std::map<std::string, std::string> listed;
    int32_t find = fs_->FindFirst(root_, "", gavio::kFindRecursive);
    for (bool more = find != -1; more; more = fs_->FindNext(find) != 0) {
      std::string path = fs_->GetFindPath(find);
      listed[Lower(path)] = TakeText(fs_->ReadFileFromRoot(root_, path.c_str()));
    }
    if (find != -1) fs_->FindClose(find);
    EXPECT_TRUE(listed == model_) << "find and read after reopening differ from the model";
  }

  gavio_test::TempDir dir_;
  Reports reports_;
  std::mt19937 rng_;
  CVFileSys* fs_ = nullptr;
  std::string path_;
  int32_t root_ = -1;
  std::map<std::string, std::string> model_;
};

TEST_P(ArchiveModelTest, RandomEditsMatchTheModelAcrossReopens) {
  for (int round = 0; round < 12 && !HasFatalFailure(); ++round) {
    for (int op = 0; op < 40 && !HasFatalFailure(); ++op) RandomOperation();
    CloseAuditReopen();
  }
  ASSERT_EQ(fs_->CloseRoot(root_), 1);
  root_ = fs_->OpenRoot(path_.c_str(), gavio::kRootReadOnly);

  // The mounted archive serves the same files by mounted path.
  ASSERT_NE(fs_->Mount(path_.c_str(), "m"), -1);
  for (const auto& [path, content] : model_) {
    int32_t file = fs_->OpenFile(("m\\" + path).c_str(), 0);
    ASSERT_NE(file, -1) << path;
    EXPECT_EQ(BufferText(fs_->GetFileBuffer(file)), content) << path;
    fs_->CloseFile(file);
  }
}

std::string CaseName(const ::testing::TestParamInfo<ModelCase>& info) {
  return std::string(info.param.raw ? "Raw" : "Zlib") + "Seed" + std::to_string(info.param.seed);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ArchiveModelTest,
                         ::testing::Values(ModelCase{false, 1}, ModelCase{false, 2}, ModelCase{false, 3},
                                           ModelCase{true, 4}, ModelCase{true, 5}, ModelCase{true, 6}),
                         CaseName);

// The edge cases of rewriting, spelled out.
TEST(ArchiveEditing, RewriteSmallerLeavesOneUnitAndAOneUnitFreeExtentBehind) {
  gavio_test::TempDir dir;
  auto* fs = static_cast<CVFileSys*>(gavio::CreateVFileSys(nullptr, nullptr));
  FileSysHolder holder(fs);
  std::string path = dir.File("edit.vfs");
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
  fs->SetRootInfo(root, 0, 2, 1, 1);
  gavio::IBuffer* data = MakeBuffer(std::string(1000, 'x'));
  fs->WriteFileToRoot(root, "f", data);
  data->Release();
  EXPECT_EQ(fs->RootArchive(root)->head().dataEnd, 156u + 2 * 512);
  data = MakeBuffer(std::string(10, 'y'));
  fs->WriteFileToRoot(root, "f", data);
  data->Release();
  const gavio::VfsHead& head = fs->RootArchive(root)->head();
  EXPECT_EQ(head.freeUnits, 1);
  EXPECT_EQ(head.freeList, 156u + 512);
  std::string bytes = ReadAll(path);
  EXPECT_EQ(bytes.substr(156, 16), FileBlock(1, 0, 10));
  EXPECT_EQ(bytes.substr(156 + 512, 12), FreeBlock(1, 0));

  // Writing 0 bytes keeps a one-unit first extent with used 0.
  data = MakeBuffer("");
  EXPECT_EQ(fs->WriteFileToRoot(root, "f", data), 1);
  // A second file needing two units takes the free unit, then appends.
  gavio::IBuffer* two = MakeBuffer(std::string(600, 'z'));
  fs->WriteFileToRoot(root, "g", two);
  two->Release();
  data->Release();
  bytes = ReadAll(path);
  EXPECT_EQ(bytes.substr(156, 16), FileBlock(1, 0, 0));
  EXPECT_EQ(bytes.substr(156 + 512, 16), FileBlock(1, 156 + 1024, 496)) << "the freed unit is reused first";
  EXPECT_EQ(bytes.substr(156 + 1024, 16), FileBlock(1, 0, 104));
  EXPECT_EQ(fs->RootArchive(root)->head().freeUnits, 0);
  EXPECT_EQ(TakeText(fs->ReadFileFromRoot(root, "f")), "");
  EXPECT_EQ(TakeText(fs->ReadFileFromRoot(root, "g")), std::string(600, 'z'));
}

TEST(ArchiveEditing, DirectoriesAloneSurviveAClose) {
  gavio_test::TempDir dir;
  FileSysHolder fs(gavio::CreateVFileSys(nullptr, nullptr));
  std::string path = dir.File("dirs.vfs");
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
  EXPECT_EQ(fs->CreateDir(root, "a\\b"), 1) << "directory form even without the trailing backslash";
  fs->CloseRoot(root);
  root = fs->OpenRoot(path.c_str(), gavio::kRootReadOnly);
  ASSERT_NE(root, -1);
  EXPECT_EQ(fs->GetPathType(root, "a\\b\\"), gavio::kPathDirectory);
  EXPECT_EQ(fs->GetPathType(root, "a\\b"), gavio::kPathNotFound) << "a directory needs its backslash";
}

}  // namespace
