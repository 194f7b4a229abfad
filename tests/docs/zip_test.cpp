// The zip reader and the background extractor on real archives: made by
// the zip tool and by minizip's writer, hostile ones included.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "docs_test_env.h"
#include "gavio/docs.h"
#include "gavio/ids.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "support/test_support.h"

namespace {

using namespace gavio;
using docs_test::Create;
using docs_test::Item;
using docs_test::ListTree;
using docs_test::PumpUntil;
using gavio_test::ReadFile;
using gavio_test::TempDir;
using gavio_test::WriteFile;
using Tree = std::vector<std::string>;

struct ZipReader {
  IZipReader* reader = Create<IZipReader>(kZipReaderId);
  ~ZipReader() { reader->Destroy(0); }
  IZipReader* operator->() const { return reader; }
};

// A source tree with nested folders, an empty folder, small and larger files.
void MakeSourceTree(const std::string& root) {
  std::filesystem::create_directories(root + "/a/d");
  std::filesystem::create_directories(root + "/f");
  WriteFile(root + "/a/b.txt", "b contents\n");
  WriteFile(root + "/c.txt", "c\n");
  WriteFile(root + "/a/d/e.bin", docs_test::SampleText(200000, 1));
}

TEST(ZipReader, ArchivesOfTheZipToolUnpackInPlaceOrFlattened) {
  struct Case {
    const char* zipOptions;
    int32_t flatten;
    const char* folderSuffix;
    Tree expected;
  };
  const Tree kNested = {"a/", "a/b.txt", "a/d/", "a/d/e.bin", "c.txt", "f/"};
  const Tree kFlat = {"b.txt", "c.txt", "e.bin"};
  const Case cases[] = {
      {"", 0, "", kNested},  {"-0", 0, "", kNested},  {"", 0, "\\", kNested},
      {"", 1, "", kFlat},    {"-0", 1, "/", kFlat},
  };
  TempDir dir;
  MakeSourceTree(dir.File("src"));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("zip ") + c.zipOptions + " flatten " + std::to_string(c.flatten));
    std::string archive = dir.File(std::string("tool") + c.zipOptions + ".zip");
    ASSERT_TRUE(docs_test::RunZipTool(dir.File("src"), archive, c.zipOptions));
    std::string target = dir.File("out" + std::to_string(&c - cases));
    ZipReader zip;
    EXPECT_EQ(zip->GetItemCount(archive.c_str()), 6);
    EXPECT_EQ(zip->ExtractAll(archive.c_str(), (target + c.folderSuffix).c_str(), c.flatten), 1);
    EXPECT_EQ(ListTree(target), c.expected);
    std::string e = c.flatten ? target + "/e.bin" : target + "/a/d/e.bin";
    EXPECT_EQ(ReadFile(e), docs_test::SampleText(200000, 1));
    EXPECT_EQ(ReadFile(c.flatten ? target + "/b.txt" : target + "/a/b.txt"), "b contents\n");
  }
}

TEST(ZipReader, ItemNamesUseBackslashesAndAnIndexPastTheEndLeavesTheBuffer) {
  TempDir dir;
  std::string archive = dir.File("names.zip");
  ASSERT_TRUE(docs_test::WriteZip(archive, {{"a/b.txt", "1"}, {"c.txt", "2"}, {"x\\y/z", "3"}}));
  ZipReader zip;
  char name[64];
  ASSERT_EQ(zip->GetItemName(archive.c_str(), 0, name, sizeof name, 0), 1);
  EXPECT_STREQ(name, "a\\b.txt");
  ASSERT_EQ(zip->GetItemName(archive.c_str(), 0, name, sizeof name, 1), 1);
  EXPECT_STREQ(name, "b.txt");
  ASSERT_EQ(zip->GetItemName(archive.c_str(), 2, name, sizeof name, 1), 1);
  EXPECT_STREQ(name, "y\\z");  // after the last '\' when there is one
  ASSERT_EQ(zip->GetItemName(archive.c_str(), 0, name, 4, 0), 1);
  EXPECT_STREQ(name, "a\\b");  // cut to the capacity
  strcpy(name, "untouched");
  EXPECT_EQ(zip->GetItemName(archive.c_str(), 3, name, sizeof name, 0), 0);
  EXPECT_EQ(zip->GetItemName(archive.c_str(), -1, name, sizeof name, 0), 0);
  EXPECT_STREQ(name, "untouched");
  // Going back to an earlier index after the archive was rewritten.
  ASSERT_TRUE(docs_test::WriteZip(archive, {{"new.txt", "n"}}));
  ASSERT_EQ(zip->GetItemName(archive.c_str(), 0, name, sizeof name, 0), 1);
  EXPECT_STREQ(name, "new.txt");
  EXPECT_EQ(zip->GetItemCount(archive.c_str()), 1);
}

TEST(ZipReader, NamesThatLeaveTheTargetAreRefusedAndNothingIsWrittenOutside) {
  TempDir dir;
  std::string target = dir.File("target");
  std::string outside = dir.File("outside");
  std::filesystem::create_directories(target);
  std::filesystem::create_directories(outside);
  WriteFile(outside + "/kept.txt", "outside file");
  // Links planted inside the target: one to a folder outside, one at a
  // final name.
  ASSERT_EQ(symlink(outside.c_str(), (target + "/door").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/kept.txt").c_str(), (target + "/over.txt").c_str()), 0);
  std::string archive = dir.File("slip.zip");
  std::string absolute = outside + "/absolute.txt";
  ASSERT_TRUE(docs_test::WriteZip(archive, {{"../escape.txt", "x"},
                                            {"a/../../escape.txt", "x"},
                                            {absolute, "x"},
                                            {"\\rooted.txt", "x"},
                                            {"C:\\drive.txt", "x"},
                                            {"C:drive.txt", "x"},
                                            {"door/through.txt", "x"},
                                            {"over.txt", "replaced the link"},
                                            {"good/ok.txt", "fine"},
                                            {"empty/", ""}}));
  ZipReader zip;
  EXPECT_EQ(zip->ExtractAll(archive.c_str(), target.c_str(), 0), 0);
  EXPECT_EQ(ListTree(dir.path()),
            (Tree{"outside/", "outside/kept.txt", "slip.zip", "target/", "target/door",
                  "target/empty/", "target/good/", "target/good/ok.txt", "target/over.txt"}));
  EXPECT_EQ(ReadFile(outside + "/kept.txt"), "outside file");
  EXPECT_EQ(ReadFile(target + "/over.txt"), "replaced the link");
  EXPECT_FALSE(std::filesystem::is_symlink(target + "/over.txt"));
  // Flattened, most of the same names stay inside and are written.
  std::string flat = dir.File("flat");
  EXPECT_EQ(zip->ExtractAll(archive.c_str(), flat.c_str(), 1), 0);  // "C:drive.txt"
  EXPECT_EQ(ListTree(flat), (Tree{"absolute.txt", "drive.txt", "escape.txt",
                                  "ok.txt", "over.txt", "rooted.txt", "through.txt"}));
}

TEST(ZipReader, EmptyTruncatedAndCorruptArchivesFailAndLeaveNoPartialFiles) {
  TempDir dir;
  std::string good = dir.File("good.zip");
  ASSERT_TRUE(docs_test::WriteZip(good, {{"big.txt", docs_test::SampleText(400000, 2)},
                                         {"small.txt", "small"}}));
  const std::string bytes = ReadFile(good);
  struct Case {
    const char* what;
    std::string contents;
    int32_t count;
  };
  std::string flipped = bytes;
  for (size_t at = 5000; at < 5100; ++at) flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
  std::string empty_zip = dir.File("empty.zip");
  ASSERT_TRUE(docs_test::WriteZip(empty_zip, {}));
  const Case cases[] = {
      {"empty", ReadFile(empty_zip), 0},
      {"truncated", bytes.substr(0, bytes.size() / 2), 0},
      {"cut inside the directory", bytes.substr(0, bytes.size() - 40), 0},
      {"corrupt data", flipped, 2},
      {"not a zip", "just some text that is not an archive", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string archive = dir.File("case.zip");
    WriteFile(archive, c.contents);
    std::string target = dir.File(std::string("out-") + c.what);
    ZipReader zip;
    EXPECT_EQ(zip->GetItemCount(archive.c_str()), c.count);
    EXPECT_EQ(zip->ExtractAll(archive.c_str(), target.c_str(), 0), 0);
    Tree left = ListTree(target);
    EXPECT_TRUE(left.empty() || left == Tree{"small.txt"}) << left.size();
  }
}

// ---- Background extractor ----------------------------------------------------

struct Listener : IExtractListener {
  int succeeded = 0;
  int failed = 0;
  std::vector<DWORD> threads;
  void OnExtractSucceeded() override {
    ++succeeded;
    threads.push_back(GetCurrentThreadId());
  }
  void OnExtractFailed() override {
    ++failed;
    threads.push_back(GetCurrentThreadId());
  }
  int calls() const { return succeeded + failed; }
};

struct Extractor {
  IArchiveExtractor* extractor = Create<IArchiveExtractor>(kArchiveExtractorId);
  Listener listener;
  Extractor() { EventSourceOf(extractor)->AddListener(&listener, 0); }
  ~Extractor() {
    if (extractor != nullptr) extractor->Destroy(0);
  }
  IArchiveExtractor* operator->() const { return extractor; }
};

// Many items, so that a run takes a while.
std::string MakeLargeArchive(const TempDir& dir) {
  std::vector<Item> items;
  for (int i = 0; i < 60; ++i) {
    items.push_back({"part" + std::to_string(i / 10) + "/item" + std::to_string(i),
                     docs_test::SampleText(30000, static_cast<unsigned>(i))});
  }
  std::string archive = dir.File("large.zip");
  EXPECT_TRUE(docs_test::WriteZip(archive, items));
  return archive;
}

bool HasPartialFiles(const std::string& root) {
  for (const std::string& name : ListTree(root)) {
    if (name.find(".gavio-part") != std::string::npos) return true;
  }
  return false;
}

TEST(ArchiveExtractor, ListenersHearOnTheCreatingThreadNeverOnTheWorker) {
  TempDir dir;
  std::string archive = dir.File("one.zip");
  ASSERT_TRUE(docs_test::WriteZip(archive, {{"a/b.txt", "b"}, {"c.txt", "c"}}));
  std::string empty = dir.File("empty.zip");
  ASSERT_TRUE(docs_test::WriteZip(empty, {}));
  Extractor run;
  ASSERT_EQ(run->Start(archive.c_str(), dir.File("out").c_str(), 0), 1);
  ASSERT_TRUE(PumpUntil([&] { return run.listener.calls() == 1; }));
  EXPECT_EQ(run.listener.succeeded, 1);
  EXPECT_EQ(ReadFile(dir.File("out/a/b.txt")), "b");
  ASSERT_EQ(run->Start(empty.c_str(), dir.File("out2").c_str(), 0), 1);
  ASSERT_TRUE(PumpUntil([&] { return run.listener.calls() == 2; }));
  EXPECT_EQ(run.listener.failed, 1);
  EXPECT_EQ(run.listener.threads, (std::vector<DWORD>{GetCurrentThreadId(), GetCurrentThreadId()}));
  EXPECT_EQ(run->GetItemCount(archive.c_str()), 2);
  EXPECT_EQ(run->Stop(), 1);
}

TEST(ArchiveExtractor, RejectsMissingAndOverlongPaths) {
  Extractor run;
  std::string longPath(260, 'x');
  EXPECT_EQ(run->Start(nullptr, "/tmp", 0), 0);
  EXPECT_EQ(run->Start("a.zip", nullptr, 0), 0);
  EXPECT_EQ(run->Start(longPath.c_str(), "/tmp", 0), 0);
  EXPECT_EQ(run->Start("a.zip", longPath.c_str(), 0), 0);
}

TEST(ArchiveExtractor, ANewStartWaitsForThePreviousRun) {
  TempDir dir;
  std::string archive = MakeLargeArchive(dir);
  Extractor run;
  ASSERT_EQ(run->Start(archive.c_str(), dir.File("first").c_str(), 0), 1);
  ASSERT_EQ(run->Start(archive.c_str(), dir.File("second").c_str(), 1), 1);
  // The first run ended before the second began: all of it is there.
  EXPECT_EQ(ListTree(dir.File("first")).size(), 60u + 6u);
  ASSERT_TRUE(PumpUntil([&] { return run.listener.calls() == 2; }));
  EXPECT_EQ(run.listener.succeeded, 2);
  EXPECT_EQ(ListTree(dir.File("second")).size(), 60u);
}

TEST(ArchiveExtractor, StopAndFinaliseDuringARunLeaveNoPartialFilesOrWindows) {
  TempDir dir;
  std::string archive = MakeLargeArchive(dir);
  DWORD windows = GavioLiveWindowCount();
  {
    Extractor run;
    ASSERT_EQ(run->Start(archive.c_str(), dir.File("stopped").c_str(), 0), 1);
    run->Stop();  // 0 when the worker needed more than 100 ms to see it
    ASSERT_TRUE(PumpUntil([&] { return run.listener.calls() == 1; }));
    EXPECT_EQ(run->Stop(), 1);
    EXPECT_FALSE(HasPartialFiles(dir.File("stopped")));
  }
  {
    Extractor run;
    ASSERT_EQ(run->Start(archive.c_str(), dir.File("finalised").c_str(), 0), 1);
    run.extractor->Destroy(0);
    run.extractor = nullptr;
    EXPECT_FALSE(HasPartialFiles(dir.File("finalised")));
  }
  EXPECT_EQ(GavioLiveWindowCount(), windows);
  // Nothing arrives for the finalised one.
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// ---- gavio zip ---------------------------------------------------------------

int RunCommand(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    if (output != nullptr) output->append(chunk, got);
  }
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ZipTool, ListsAndExtractsAndNamesFailures) {
  TempDir dir;
  MakeSourceTree(dir.File("src"));
  std::string archive = dir.File("tree.zip");
  ASSERT_TRUE(docs_test::RunZipTool(dir.File("src"), archive, ""));
  std::string gavio = gavio_test::BuildDir() + "/gavio zip ";
  std::string listing;
  ASSERT_EQ(RunCommand(gavio + "ls --flatten " + archive, &listing), 0);
  EXPECT_EQ(listing.size(), std::string("b.txt\nc.txt\ne.bin\n").size());
  ASSERT_EQ(RunCommand(gavio + "extract " + archive + " " + dir.File("out")), 0);
  EXPECT_EQ(RunCommand("diff -r " + dir.File("src") + " " + dir.File("out")), 0);
  EXPECT_EQ(RunCommand(gavio + "ls " + dir.File("missing.zip")), 1);
  EXPECT_EQ(RunCommand(gavio + "extract " + dir.File("src/c.txt") + " " + dir.File("x")), 1);
  EXPECT_EQ(RunCommand(gavio + "unpack " + archive), 2);
}

}  // namespace
