// Archives under crashes, full disks and a second writer. A child process
// (data_peer) edits an archive and is killed at every write step of the
// platform's file layer; a full disk is a write that fails once at every
// step. Afterwards the archive must open and hold the old or the new
// content of every file, with no file reading back wrong or empty.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "support/test_support.h"
#include "vfs/rollback_journal.h"
#include "vfs/vfile_sys.h"
#include "vfs_test_util.h"

namespace {

using namespace vfs_test;
using Model = std::map<std::string, std::string>;

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>(rng());
  return text;
}

// Every file of the archive, read back through a fresh file system (which
// also undoes a crashed edit first); {"<unreadable>", why} when it does not
// open.
Model ReadArchive(const std::string& path) {
  Reports reports;
  FileSysHolder fs(gavio::CreateVFileSys(nullptr, reports.get()));
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootReadOnly);
  if (root == -1) return {{"<unreadable>", reports.All()}};
  Model files;
  int32_t find = fs->FindFirst(root, "", gavio::kFindRecursive);
  for (bool more = find != -1; more; more = fs->FindNext(find) != 0) {
    std::string name = fs->GetFindPath(find);
    gavio::IBuffer* content = fs->ReadFileFromRoot(root, name.c_str());
    files[name] = content == nullptr ? "<unreadable>" : TakeText(content);
  }
  if (find != -1) fs->FindClose(find);
  fs->CloseRoot(root);
  return files;
}

class ArchiveCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("edit.vfs");
    old_ = {{"f0", Noise(100, 1)},   {"f1", Noise(5000, 2)}, {"f2", Noise(5000, 3)},
            {"f3", Noise(600, 4)},   {"f4", Noise(1500, 5)}, {"f5", Noise(8000, 6)},
            {"dir\\a", Noise(900, 7)}, {"dir\\b", "bee"}};
    FileSysHolder fs(gavio::CreateVFileSys(nullptr, nullptr));
    int32_t root = fs->OpenRoot(path_.c_str(), gavio::kRootCreate);
    for (const auto& [name, content] : old_) {
      gavio::IBuffer* data = MakeBuffer(content);
      fs->WriteFileToRoot(root, name.c_str(), data);
      data->Release();
    }
    ASSERT_EQ(fs->CloseRoot(root), 1);
    initial_ = ReadAll(path_);
    ASSERT_EQ(ReadArchive(path_), old_);
  }

  void Restore() {
    WriteAll(path_, initial_);
    unlink(gavio::RollbackJournal::PathFor(path_).c_str());
  }

  gavio_test::TempDir dir_;
  std::string path_;
  std::string initial_;
  Model old_;
};

uint64_t StepsOf(const std::string& output) {
  size_t at = output.find("steps ");
  return at == std::string::npos ? 0 : std::stoull(output.substr(at + 6));
}

TEST_F(ArchiveCrashTest, KilledAtEveryWriteStepTheArchiveHoldsTheOldOrTheNewFiles) {
  gavio_test::ProgramResult full = gavio_test::RunProgram({{"data_peer", "edit", path_}, {}});
  ASSERT_EQ(full.exitCode, 0) << full.output;
  Model edited = ReadArchive(path_);
  ASSERT_NE(edited, old_);
  ASSERT_EQ(edited.count("f1") + edited.count("dir\\a"), 0u);
  ASSERT_EQ(edited.at("f2"), "now small!");
  ASSERT_EQ(edited.at("f3").size(), 30000u);
  const uint64_t steps = StepsOf(full.output);
  ASSERT_GE(steps, 200u) << "enough distinct kill points";

  int old_seen = 0, new_seen = 0;
  for (uint64_t kill_at = 1; kill_at <= steps && !HasFailure(); ++kill_at) {
    Restore();
    gavio_test::ProgramResult run = gavio_test::RunProgram(
        {{"data_peer", "edit", path_}, {{"GAVIO_FAULT_KILL_AT", std::to_string(kill_at)}}});
    ASSERT_EQ(run.signal, SIGKILL) << "step " << kill_at << ": " << run.output;
    Model found = ReadArchive(path_);
    if (found == old_) {
      ++old_seen;
    } else if (found == edited) {
      ++new_seen;
    } else {
      ADD_FAILURE() << "killed at step " << kill_at << " of " << steps
                    << ": the archive holds neither the old nor the new files";
    }
    EXPECT_FALSE(gavio::RollbackJournal::IsPending(path_)) << "recovered at the first open";
  }
  // The journal's removal commits, and it is the last step: every kill
  // before it leaves the old files.
  EXPECT_EQ(old_seen, static_cast<int>(steps));
  EXPECT_EQ(new_seen, 0);
  // After a recovery the archive takes the same edit again.
  EXPECT_EQ(gavio_test::RunProgram({{"data_peer", "edit", path_}, {}}).exitCode, 0);
  EXPECT_EQ(ReadArchive(path_), edited);
}

// A write that fails with a full disk at any step of an add or a rewrite:
// the operation reports failure, the file reads back as before (or stays
// absent), the other files are untouched, and the close commits the rest.
TEST_F(ArchiveCrashTest, FullDiskAtEveryWriteStepKeepsEveryFileOldOrNew) {
  struct Case {
    const char* name;
    const char* path;
    std::string content;
  };
  const Case cases[] = {
      {"add", "sub\\added", Noise(7000, 20)},
      {"rewrite larger", "f3", Noise(12000, 21)},
      {"rewrite smaller", "f5", "tiny"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Model changed = old_;
    changed[c.path] = c.content;
    bool failed_once = false;
    for (int64_t fail_at = 1; !HasFailure(); ++fail_at) {
      Restore();
      Reports reports;
      FileSysHolder fs(gavio::CreateVFileSys(nullptr, reports.get()));
      int32_t root = fs->OpenRoot(path_.c_str(), gavio::kRootReadWrite);
      ASSERT_NE(root, -1) << reports.All();
      uint64_t before = GavioFileWriteSteps();
      GavioSetFileFaults(fail_at, 0);
      gavio::IBuffer* data = MakeBuffer(c.content);
      bool written = fs->WriteFileToRoot(root, c.path, data) > 0;
      data->Release();
      if (!written) {
        failed_once = true;
        gavio::IBuffer* now = fs->ReadFileFromRoot(root, c.path);
        auto old = old_.find(c.path);
        if (old == old_.end()) {
          EXPECT_EQ(now, nullptr) << "no entry is left behind at step " << fail_at;
          EXPECT_EQ(fs->GetPathType(root, "sub\\"), gavio::kPathNotFound);
        } else {
          EXPECT_EQ(TakeText(now), old->second) << "old content kept at step " << fail_at;
        }
      }
      bool closed = fs->CloseRoot(root) == 1;
      bool reached = GavioFileWriteSteps() - before >= static_cast<uint64_t>(fail_at);
      GavioSetFileFaults(0, 0);
      Model found = ReadArchive(path_);
      EXPECT_EQ(found, written && closed ? changed : old_) << "step " << fail_at << "\n" << reports.All();
      if (!reached) break;  // the fault fell past the last step: all was written
    }
    EXPECT_TRUE(failed_once);
  }
}

// Two processes adding to one archive at the same moment: each either
// added its file, and it is there, or was refused because the other held
// the archive.
TEST_F(ArchiveCrashTest, TwoWritersEitherBothLandOrTheLoserIsRefused) {
  for (bool exists : {false, true}) {
    for (int round = 0; round < 6; ++round) {
      std::string archive = dir_.File("shared" + std::to_string(round) + (exists ? "e" : "m") + ".vfs");
      if (exists) WriteAll(archive, initial_);
      auto results = gavio_test::RunPrograms({{{"data_peer", "add", archive, "one", "first"}, {}},
                                              {{"data_peer", "add", archive, "two", "second"}, {}}});
      Model found = ReadArchive(archive);
      int landed = 0;
      for (int i = 0; i < 2; ++i) {
        const char* name = i == 0 ? "one" : "two";
        if (results[i].exitCode == 0) {
          ++landed;
          EXPECT_EQ(found.count(name), 1u) << name << " was acknowledged";
        } else {
          EXPECT_EQ(results[i].exitCode, 3) << name << ": refused, nothing else";
          EXPECT_EQ(found.count(name), 0u);
        }
      }
      EXPECT_GE(landed, 1);
      if (exists) {
        EXPECT_EQ(found.at("f0"), old_.at("f0"));
      }
    }
  }
}

TEST_F(ArchiveCrashTest, ReadersAndWritersOfOtherProcessesAreRefusedWhileAnEditRuns) {
  FileSysHolder fs(gavio::CreateVFileSys(nullptr, nullptr));
  int32_t root = fs->OpenRoot(path_.c_str(), gavio::kRootReadWrite);
  ASSERT_NE(root, -1);
  gavio::IBuffer* data = MakeBuffer(Noise(20000, 30));
  ASSERT_GT(fs->WriteFileToRoot(root, "f0", data), 0);
  data->Release();
  // Another open file description counts as another process for the lock.
  FileSysHolder other(gavio::CreateVFileSys(nullptr, nullptr));
  EXPECT_EQ(other->OpenRoot(path_.c_str(), gavio::kRootReadOnly), -1) << "no half-written table is read";
  EXPECT_EQ(other->Mount(path_.c_str(), "m"), -1);
  EXPECT_EQ(gavio_test::RunProgram({{"data_peer", "add", path_, "x", "y"}, {}}).exitCode, 3);
  ASSERT_EQ(fs->CloseRoot(root), 1);
  EXPECT_NE(other->Mount(path_.c_str(), "m"), -1);
}

// An archive whose data already ends close to the 32-bit offset limit (a
// sparse file) takes no file that would pass it: refused with the limit,
// before anything is written.
TEST_F(ArchiveCrashTest, FilesTheFormatCannotHoldAreRefusedBeforeAnythingIsWritten) {
  const uint32_t data_end = static_cast<uint32_t>(gavio::kMaxArchiveDataEnd - 100000);
  std::string head = Head(data_end);
  WriteAll(path_, head);
  int fd = GavioFileOpen(path_.c_str(), GAVIO_FILE_WRITE);
  const uint32_t no_records = 0;
  ASSERT_TRUE(GavioFileWriteAt(fd, data_end, &no_records, 4));
  GavioFileClose(fd);

  Reports reports;
  FileSysHolder fs(gavio::CreateVFileSys(nullptr, reports.get()));
  int32_t root = fs->OpenRoot(path_.c_str(), gavio::kRootReadWrite);
  ASSERT_NE(root, -1) << reports.All();
  gavio::IBuffer* data = MakeBuffer(std::string(1 << 20, 'x'));
  uint64_t before = GavioFileWriteSteps();
  EXPECT_EQ(fs->WriteFileToRoot(root, "big", data), 0);
  data->Release();
  EXPECT_EQ(GavioFileWriteSteps(), before);
  EXPECT_TRUE(reports.Has("file too large: 1048576 bytes, the limit is 98965 bytes")) << reports.All();
  EXPECT_EQ(fs->GetPathType(root, "big"), gavio::kPathNotFound);
  EXPECT_EQ(fs->CloseRoot(root), 1);
}

TEST_F(ArchiveCrashTest, SpecialFilesAreRefusedWithoutBlocking) {
  std::string fifo = dir_.File("pipe.vfs");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FileSysHolder fs(gavio::CreateVFileSys(nullptr, nullptr));
  EXPECT_EQ(fs->OpenRoot(fifo.c_str(), gavio::kRootReadOnly), -1);
  EXPECT_EQ(fs->OpenRoot(fifo.c_str(), gavio::kRootReadWrite), -1);
  EXPECT_EQ(fs->Mount(fifo.c_str(), "m"), -1);
}

}  // namespace
