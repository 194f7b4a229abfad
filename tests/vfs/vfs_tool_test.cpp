// gavio vfs as a person runs it: a folder tree packed and extracted again
// comes back identical, and the editing commands change what they name.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <random>

#include "support/test_support.h"
#include "vfs_test_util.h"

namespace {

// Runs a command line and returns its exit status and standard output
// (with standard error too when errors is set).
int RunCommand(const std::string& command, std::string* output = nullptr, bool errors = false) {
  FILE* pipe = popen((command + (errors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char chunk[4096];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) text.append(chunk, n);
  int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Gavio() { return gavio_test::BuildDir() + "/gavio vfs "; }

TEST(VfsTool, PackAndExtractGiveAnIdenticalTree) {
  gavio_test::TempDir dir;
  std::string tree = dir.File("tree");
  for (const char* folder : {"", "/a", "/a/b", "/empty", "/Case"}) mkdir((tree + folder).c_str(), 0755);
  std::mt19937 rng(3);
  std::string noise(3 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  vfs_test::WriteAll(tree + "/a/b/noise.bin", noise);
  vfs_test::WriteAll(tree + "/a/zero", "");
  vfs_test::WriteAll(tree + "/Case/README", "upper");
  vfs_test::WriteAll(tree + "/Case/readme", "lower");
  vfs_test::WriteAll(tree + "/top.txt", std::string(10000, 't'));
  // A folder link leading out of the tree is packed like a folder.
  mkdir(dir.File("outside").c_str(), 0755);
  vfs_test::WriteAll(dir.File("outside/far.txt"), "far");
  ASSERT_EQ(symlink(dir.File("outside").c_str(), (tree + "/linked").c_str()), 0);

  std::string archive = dir.File("tree.vfs");
  ASSERT_EQ(RunCommand(Gavio() + tree + " " + archive, nullptr), 2) << "a verb is required";
  ASSERT_EQ(RunCommand(Gavio() + "pack " + tree + " " + archive), 0);
  ASSERT_EQ(RunCommand(Gavio() + "extract " + archive + " " + dir.File("out")), 0);
  EXPECT_EQ(RunCommand("diff -r " + tree + " " + dir.File("out")), 0);

  std::string listing;
  ASSERT_EQ(RunCommand(Gavio() + "ls " + archive + " Case", &listing), 0);
  EXPECT_EQ(listing, "Case/README\nCase/readme\n");
  std::string info;
  ASSERT_EQ(RunCommand(Gavio() + "info " + archive, &info), 0);
  EXPECT_NE(info.find("files          6 in 5 folders"), std::string::npos) << info;
  EXPECT_NE(RunCommand(Gavio() + "ls " + archive + " nowhere"), 0);
}

// Files are read and compressed on several threads but written in order:
// the archive is byte for byte the one a single thread packs, whichever
// filter is chosen, and it extracts to the same tree.
TEST(VfsTool, ThreadedPacksEqualASingleThreadedPack) {
  gavio_test::TempDir dir;
  std::string tree = dir.File("tree");
  std::mt19937 rng(11);
  for (int i = 0; i < 60; ++i) {
    std::string folder = tree + "/f" + std::to_string(i % 7);
    mkdir(tree.c_str(), 0755);
    mkdir(folder.c_str(), 0755);
    std::string content(rng() % (i % 10 == 0 ? 300000 : 20000), '\0');
    for (char& c : content) c = static_cast<char>(i % 2 == 0 ? 'a' + rng() % 4 : rng());
    vfs_test::WriteAll(folder + "/file" + std::to_string(i), content);
  }
  int round = 0;
  for (const char* filter : {"", "--level 1 ", "--level 12 ", "--store "}) {
    std::string one = dir.File("one.vfs");
    std::string many = dir.File("many.vfs");
    ASSERT_EQ(RunCommand(Gavio() + "pack -j 1 " + filter + tree + " " + one), 0) << filter;
    ASSERT_EQ(RunCommand(Gavio() + "pack -j 3 " + filter + tree + " " + many), 0) << filter;
    EXPECT_EQ(vfs_test::ReadAll(one), vfs_test::ReadAll(many)) << filter;
    std::string out = dir.File("out" + std::to_string(round++));
    ASSERT_EQ(RunCommand(Gavio() + "extract " + many + " " + out), 0) << filter;
    EXPECT_EQ(RunCommand("diff -r " + tree + " " + out), 0) << filter;
  }
  std::string listing;
  ASSERT_EQ(RunCommand(Gavio() + "ls -l " + dir.File("many.vfs") + " f0", &listing), 0);
  EXPECT_NE(listing.find(" none "), std::string::npos) << "--store keeps the files as they are:\n" << listing;
  EXPECT_EQ(RunCommand(Gavio() + "pack --level 13 " + tree + " " + dir.File("x.vfs")), 2);
  EXPECT_EQ(RunCommand(Gavio() + "pack --store --level 3 " + tree + " " + dir.File("x.vfs")), 2);
}

TEST(VfsTool, AddCatAndRemoveEditTheArchive) {
  gavio_test::TempDir dir;
  std::string archive = dir.File("edit.vfs");
  vfs_test::WriteAll(dir.File("note.txt"), "a note");
  ASSERT_EQ(RunCommand(Gavio() + "add " + archive + " docs\\\\note.txt " + dir.File("note.txt")), 0);
  ASSERT_EQ(RunCommand(Gavio() + "add " + archive + " docs/other.txt " + dir.File("note.txt")), 0);
  std::string text;
  ASSERT_EQ(RunCommand(Gavio() + "cat " + archive + " docs/note.txt", &text), 0);
  EXPECT_EQ(text, "a note");
  ASSERT_EQ(RunCommand(Gavio() + "rm " + archive + " docs/note.txt"), 0);
  EXPECT_NE(RunCommand(Gavio() + "cat " + archive + " docs/note.txt"), 0);
  ASSERT_EQ(RunCommand(Gavio() + "rm " + archive + " docs"), 0) << "a folder, without its backslash";
  ASSERT_EQ(RunCommand(Gavio() + "ls " + archive + " -r", &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_NE(RunCommand(Gavio() + "rm " + archive + " docs"), 0);

  // On a full disk, add succeeds only when the file reads back.
  for (int step = 1; step <= 10; ++step) {
    std::string copy = dir.File("full" + std::to_string(step) + ".vfs");
    ASSERT_EQ(RunCommand(Gavio() + "add " + copy + " kept.txt " + dir.File("note.txt")), 0);
    bool added = RunCommand("GAVIO_FAULT_ENOSPC_AT=" + std::to_string(step) + " " + Gavio() + "add " + copy +
                            " new.txt " + dir.File("note.txt")) == 0;
    if (added) {
      EXPECT_EQ(RunCommand(Gavio() + "cat " + copy + " new.txt", &text), 0) << step;
      EXPECT_EQ(text, "a note") << step;
    }
  }
}

// Every name pack cannot store is reported and counted, and the exit
// status says so; an archive already there stays whole until the new one
// is complete, also when the disk fills up halfway.
TEST(VfsTool, PackReportsSkippedNamesAndReplacesTheArchiveAtomically) {
  gavio_test::TempDir dir;
  std::string tree = dir.File("tree");
  mkdir(tree.c_str(), 0755);
  mkdir((tree + "/sub").c_str(), 0755);
  vfs_test::WriteAll(tree + "/kept.txt", std::string(5000, 'k'));
  vfs_test::WriteAll(tree + "/sub/more.txt", std::string(5000, 'm'));
  ASSERT_EQ(mkfifo((tree + "/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("nowhere", (tree + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink("..", (tree + "/sub/up").c_str()), 0);
  std::string archive = dir.File("tree.vfs");
  std::string report;
  EXPECT_EQ(RunCommand(Gavio() + "pack " + tree + " " + archive, &report, true), 1);
  for (const char* name : {"gavio: fifo: skipped", "gavio: dangling: skipped", "gavio: sub/up: skipped", "; 3 skipped"}) {
    EXPECT_NE(report.find(name), std::string::npos) << name << " in\n" << report;
  }
  std::string listing;
  ASSERT_EQ(RunCommand(Gavio() + "ls -r " + archive, &listing), 0);
  EXPECT_EQ(listing, "kept.txt\nsub/\nsub/more.txt\n");

  // Links fanning out (two per level to the next level) are walked once
  // each: linear, where following every path would take 2^24 folders.
  std::string store = dir.File("store");
  mkdir(store.c_str(), 0755);
  for (int level = 0; level <= 24; ++level) {
    std::string folder = store + "/d" + std::to_string(level);
    mkdir(folder.c_str(), 0755);
    if (level == 24) break;
    std::string next = "../d" + std::to_string(level + 1);
    ASSERT_EQ(symlink(next.c_str(), (folder + "/a").c_str()), 0);
    ASSERT_EQ(symlink(next.c_str(), (folder + "/b").c_str()), 0);
  }
  EXPECT_EQ(RunCommand(Gavio() + "pack " + store + "/d0 " + dir.File("fan.vfs"), &report, true), 1);
  EXPECT_NE(report.find("; 24 skipped"), std::string::npos) << report;
  unlink(dir.File("fan.vfs").c_str());
  std::filesystem::remove_all(store);

  // A full disk at every early write step: the old archive is untouched
  // and nothing is left beside it.
  std::string before = vfs_test::ReadAll(archive);
  unlink((tree + "/fifo").c_str());
  unlink((tree + "/dangling").c_str());
  unlink((tree + "/sub/up").c_str());
  for (int step = 2; step <= 12; ++step) {
    EXPECT_EQ(RunCommand("GAVIO_FAULT_ENOSPC_AT=" + std::to_string(step) + " " + Gavio() + "pack " + tree + " " +
                         archive, &report, true), 1) << step;
    EXPECT_NE(report.find(" was not written"), std::string::npos) << step << report;
    EXPECT_EQ(vfs_test::ReadAll(archive), before) << step;
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) entries += entry.path() != "" ? 1 : 0;
    EXPECT_EQ(entries, 2) << "only the tree and the archive, after step " << step;
  }
  // Killed midway, a pack leaves the old archive as it was.
  for (int step = 2; step <= 12; step += 2) {
    EXPECT_NE(RunCommand("GAVIO_FAULT_KILL_AT=" + std::to_string(step) + " " + Gavio() + "pack " + tree + " " +
                         archive, &report, true), 0) << step;
    EXPECT_EQ(vfs_test::ReadAll(archive), before) << step;
  }
}

// Extraction writes through no link met in the target, keeps an existing
// file's mode, and on a full disk says so and leaves no partial file.
TEST(VfsTool, ExtractNeverFollowsLinksAndStopsOnAFullDisk) {
  gavio_test::TempDir dir;
  std::string tree = dir.File("tree");
  mkdir(tree.c_str(), 0755);
  mkdir((tree + "/sub").c_str(), 0755);
  vfs_test::WriteAll(tree + "/a.txt", "new a");
  vfs_test::WriteAll(tree + "/sub/b.txt", "new b");
  std::string archive = dir.File("t.vfs");
  ASSERT_EQ(RunCommand(Gavio() + "pack " + tree + " " + archive), 0);

  std::string out = dir.File("out");
  mkdir(out.c_str(), 0755);
  mkdir(dir.File("elsewhere").c_str(), 0755);
  vfs_test::WriteAll(dir.File("victim"), "victim");
  ASSERT_EQ(symlink(dir.File("victim").c_str(), (out + "/a.txt").c_str()), 0);
  ASSERT_EQ(symlink(dir.File("elsewhere").c_str(), (out + "/sub").c_str()), 0);
  std::string report;
  EXPECT_EQ(RunCommand(Gavio() + "extract " + archive + " " + out, &report, true), 1);
  EXPECT_EQ(vfs_test::ReadAll(dir.File("victim")), "victim");
  EXPECT_EQ(vfs_test::ReadAll(out + "/a.txt"), "new a") << "the link itself is replaced";
  EXPECT_FALSE(std::filesystem::exists(dir.File("elsewhere/b.txt"))) << report;
  EXPECT_NE(report.find("gavio: sub/b.txt: skipped"), std::string::npos) << report;

  unlink((out + "/sub").c_str());
  chmod((out + "/a.txt").c_str(), 0400);
  ASSERT_EQ(RunCommand(Gavio() + "extract " + archive + " " + out, &report, true), 0) << report;
  struct stat info {};
  ASSERT_EQ(stat((out + "/a.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0400u);
  EXPECT_EQ(vfs_test::ReadAll(out + "/sub/b.txt"), "new b");

  std::string full = dir.File("full");
  EXPECT_EQ(RunCommand("GAVIO_FAULT_ENOSPC_AT=2 " + Gavio() + "extract " + archive + " " + full, &report, true), 1);
  EXPECT_NE(report.find("No space left on device"), std::string::npos) << report;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(full)) {
    if (!entry.is_regular_file()) continue;
    std::string name = entry.path().filename();
    EXPECT_TRUE(name == "a.txt" || name == "b.txt") << "left behind: " << name;
    EXPECT_EQ(vfs_test::ReadAll(entry.path()), "new " + name.substr(0, 1));
  }
}

// Archive commands take archives only, and refuse what the format cannot
// hold before reading it.
TEST(VfsTool, ArchiveCommandsRefuseWhatIsNotAnArchive) {
  gavio_test::TempDir dir;
  std::string folder = dir.File("folder");
  mkdir(folder.c_str(), 0755);
  vfs_test::WriteAll(folder + "/precious", "keep me");
  std::string report;
  EXPECT_EQ(RunCommand(Gavio() + "rm " + folder + " ''", &report, true), 1);
  EXPECT_EQ(RunCommand(Gavio() + "rm " + folder + " /", &report, true), 1);
  EXPECT_EQ(RunCommand(Gavio() + "add " + folder + " x " + folder + "/precious", &report, true), 1);
  EXPECT_NE(report.find("not an archive"), std::string::npos) << report;
  EXPECT_EQ(vfs_test::ReadAll(folder + "/precious"), "keep me");
  EXPECT_EQ(RunCommand(Gavio() + "pack " + folder + " '" + dir.File("my\\a.vfs") + "'", &report, true), 1);
  EXPECT_FALSE(std::filesystem::exists(dir.File("my/a.vfs")));

  // The file systems' own error lines only with -v.
  vfs_test::WriteAll(dir.File("garbage.vfs"), std::string(200, 'g'));
  EXPECT_EQ(RunCommand(Gavio() + "ls " + dir.File("garbage.vfs"), &report, true), 1);
  EXPECT_EQ(report.find("Components\\Vfs"), std::string::npos) << report;
  EXPECT_EQ(RunCommand(Gavio() + "ls -v " + dir.File("garbage.vfs"), &report, true), 1);
  EXPECT_NE(report.find("Components\\Vfs"), std::string::npos) << report;

  // A sparse file past the format's limit: refused at once, by its size.
  std::string huge = dir.File("huge");
  int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 10), 0);
  close(fd);
  EXPECT_EQ(RunCommand(Gavio() + "add " + dir.File("a.vfs") + " huge " + huge, &report, true), 1);
  EXPECT_NE(report.find("file too large"), std::string::npos) << report;
  EXPECT_FALSE(std::filesystem::exists(dir.File("a.vfs")));
}

// Names from a hostile archive reach the terminal escaped (-0 gives them
// raw for other programs; -l adds sizes), and names that extraction would
// merge are reported.
TEST(VfsTool, HostileNamesAreEscapedAndCollisionsReported) {
  gavio_test::TempDir dir;
  constexpr uint32_t kDataEnd = 156 + 512;
  std::string image = vfs_test::Head(kDataEnd, 2) + vfs_test::FileBlock(1, 0, 5) + "hello";
  image.resize(kDataEnd, '\0');
  image += vfs_test::CodedFdt({vfs_test::RawRecord{"\x1b[2Jred", gavio::kFdtFile, 5, 5, 156, 0, 0, 0, 0}}, 1);
  std::string archive = dir.File("hostile.vfs");
  vfs_test::WriteAll(archive, image);
  std::string listing;
  ASSERT_EQ(RunCommand(Gavio() + "ls " + archive, &listing), 0);
  EXPECT_EQ(listing, "\\x1b[2Jred\n");
  ASSERT_EQ(RunCommand(Gavio() + "ls -0 " + archive, &listing), 0);
  EXPECT_EQ(listing, std::string("\x1b[2Jred") + '\0');
  ASSERT_EQ(RunCommand(Gavio() + "ls -l " + archive, &listing), 0);
  EXPECT_EQ(listing, "           5            5 none   \\x1b[2Jred\n");

  // "a" and "a " would be one name once extracted: the second is reported.
  image = vfs_test::Head(kDataEnd + 512, 2) + vfs_test::FileBlock(1, 0, 5) + "hello";
  image.resize(kDataEnd, '\0');
  image += vfs_test::FileBlock(1, 0, 5) + "other";
  image.resize(kDataEnd + 512, '\0');
  vfs_test::RawRecord a{"a", gavio::kFdtFile, 5, 5, 156, 0, 0, 0, 0};
  vfs_test::RawRecord blank{"a ", gavio::kFdtFile, 5, 5, kDataEnd, 0, 0, 0, 0};
  a.next = kDataEnd + 512 + 4 + 61;
  blank.prev = kDataEnd + 512 + 4;
  vfs_test::WriteAll(archive, image + vfs_test::CodedFdt({a, blank}, 1));
  std::string report;
  EXPECT_EQ(RunCommand(Gavio() + "extract " + archive + " " + dir.File("out"), &report, true), 1);
  EXPECT_NE(report.find("gavio: a : skipped"), std::string::npos) << report;
  EXPECT_EQ(vfs_test::ReadAll(dir.File("out/a")), "hello");
}

}  // namespace
