// gavio vfs as a person runs it: a folder tree packed and extracted again
// comes back identical, and the editing commands change what they name.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "support/test_support.h"
#include "vfs_test_util.h"

namespace {

// Runs a command line and returns its exit status and standard output.
int RunCommand(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
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
  EXPECT_EQ(listing, "Case\\README\nCase\\readme\n");
  std::string info;
  ASSERT_EQ(RunCommand(Gavio() + "info " + archive, &info), 0);
  EXPECT_NE(info.find("files          6 in 5 folders"), std::string::npos) << info;
  EXPECT_NE(RunCommand(Gavio() + "ls " + archive + " nowhere"), 0);
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
}

}  // namespace
