// Malformed archives: truncated, bit-flipped and hand-made hostile ones are
// refused with a report, and nothing crashes, hangs or allocates without
// bound (the sanitizer build runs these too).
#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"
#include "vfs/vfile_sys.h"
#include "vfs_test_util.h"

namespace {

using namespace vfs_test;

constexpr uint32_t kOneExtentEnd = 156 + 512;

// Opens every file an archive holds, by root and by mount, and reads it.
// Returns how many reads succeeded.
int ReadEverything(gavio::IFileSys* fs, const std::string& path) {
  int read = 0;
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootReadOnly);
  if (root != -1) {
    int32_t find = fs->FindFirst(root, "", gavio::kFindRecursive | gavio::kFindDirectories);
    for (bool more = find != -1; more; more = fs->FindNext(find) != 0) {
      gavio::IBuffer* content = fs->ReadFileFromRoot(root, fs->GetFindPath(find));
      if (content != nullptr) {
        ++read;
        content->Release();
      }
    }
    if (find != -1) fs->FindClose(find);
    fs->CloseRoot(root);
  }
  if (fs->Mount(path.c_str(), "m") != -1) {
    for (const char* mapped : {"m\\a.txt", "m\\dir\\b.txt"}) {
      int32_t file = fs->OpenFile(mapped, 0);
      if (file != -1) {
        ++read;
        fs->GetFileBuffer(file);
        fs->CloseFile(file);
      }
    }
    fs->UnmountAll();
  }
  return read;
}

// A small, valid archive made by the library.
std::string ValidArchive(const gavio_test::TempDir& dir) {
  std::string path = dir.File("valid.vfs");
  gavio::IFileSys* fs = gavio::CreateVFileSys(nullptr, nullptr);
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
  for (const char* name : {"a.txt", "dir\\b.txt", "dir\\sub\\c.bin"}) {
    gavio::IBuffer* data = MakeBuffer(std::string(700, name[0]) + name);
    fs->WriteFileToRoot(root, name, data);
    data->Release();
  }
  fs->CloseRoot(root);
  fs->Destroy();
  return ReadAll(path);
}

TEST(HostileArchive, EveryTruncationIsRefused) {
  gavio_test::TempDir dir;
  std::string valid = ValidArchive(dir);
  FileSysHolder fs(gavio::CreateVFileSys(nullptr, nullptr));
  std::string path = dir.File("cut.vfs");
  for (size_t length = 0; length < valid.size(); ++length) {
    WriteAll(path, std::string_view(valid).substr(0, length));
    ASSERT_EQ(fs->OpenRoot(path.c_str(), gavio::kRootReadOnly), -1) << "length " << length;
    ASSERT_EQ(fs->Mount(path.c_str(), "m"), -1) << "length " << length;
  }
  WriteAll(path, valid);
  EXPECT_EQ(ReadEverything(fs.fs, path), 3 + 2);
}

TEST(HostileArchive, BitFlipsNeverCrash) {
  gavio_test::TempDir dir;
  std::string valid = ValidArchive(dir);
  FileSysHolder fs(gavio::CreateVFileSys(nullptr, nullptr));
  std::string path = dir.File("flipped.vfs");
  std::mt19937 rng(7);
  for (size_t pos = 0; pos < valid.size(); ++pos) {
    std::string bytes = valid;
    bytes[pos] = static_cast<char>(bytes[pos] ^ (1 << (rng() % 8)));
    if (rng() % 4 == 0) bytes[rng() % bytes.size()] ^= static_cast<char>(1 << (rng() % 8));
    WriteAll(path, bytes);
    ReadEverything(fs.fs, path);
  }
}

// A hand-made archive opened read-only; the reports say why it was refused.
class HandMade : public ::testing::Test {
 protected:
  void SetUp() override { fs_ = gavio::CreateVFileSys(nullptr, reports_.get()); }
  void TearDown() override { fs_->Destroy(); }

  // One raw extent holding "hello" at 156, data end 668, then the FDT.
  std::string Image(const std::vector<RawRecord>& records) {
    std::string image = Head(kOneExtentEnd, 2) + FileBlock(1, 0, 5) + "hello";
    image.resize(kOneExtentEnd, '\0');
    return image + CodedFdt(records, 1);
  }
  static RawRecord Hello(const char* name = "hello.txt") {
    return RawRecord{name, gavio::kFdtFile, 5, 5, 156, 0, 0, 0, 0};
  }
  int32_t Open(const std::string& image, int32_t mode = gavio::kRootReadOnly) {
    WriteAll(path(), image);
    reports_.Clear();
    return fs_->OpenRoot(path().c_str(), mode);
  }
  std::string path() const { return dir_.File("hand.vfs"); }

  gavio_test::TempDir dir_;
  Reports reports_;
  gavio::IFileSys* fs_ = nullptr;
};

TEST_F(HandMade, ValidImageOpens) {
  int32_t root = Open(Image({Hello()}));
  ASSERT_NE(root, -1) << reports_.All();
  EXPECT_EQ(TakeText(fs_->ReadFileFromRoot(root, "hello.txt")), "hello");
}

// The reserved bytes of a record mean nothing here but may to others: an
// edit writes them back as read, and an entry made later in a removed
// one's place does not inherit them.
TEST_F(HandMade, ReservedBytesSurviveEdits) {
  const uint32_t first = kOneExtentEnd + 4;
  RawRecord hello = Hello();
  RawRecord dir{"d", gavio::kFdtDirectory};
  hello.next = first + 60 + static_cast<uint32_t>(hello.name.size());
  dir.prev = first;
  hello.reserved = "0123456789abcdef";
  dir.reserved = std::string("\xff\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x01", 16);
  int32_t root = Open(Image({hello, dir}), gavio::kRootReadWrite);
  ASSERT_NE(root, -1) << reports_.All();
  gavio::IBuffer* data = MakeBuffer(std::string(3000, 'x'));
  ASSERT_GT(fs_->WriteFileToRoot(root, "d\\new.txt", data), 0);
  ASSERT_EQ(fs_->CloseRoot(root), 1);
  Audit audit = AuditArchive(path());
  ASSERT_TRUE(audit.ok) << audit.error;
  EXPECT_EQ(audit.reserved, (std::map<std::string, std::string>{{"hello.txt", hello.reserved}, {"d", dir.reserved}}));

  root = fs_->OpenRoot(path().c_str(), gavio::kRootReadWrite);
  ASSERT_NE(root, -1) << reports_.All();
  ASSERT_EQ(fs_->DeleteFile(root, "hello.txt"), 1);
  ASSERT_GT(fs_->WriteFileToRoot(root, "later.txt", data), 0);
  ASSERT_EQ(fs_->CloseRoot(root), 1);
  data->Release();
  audit = AuditArchive(path());
  ASSERT_TRUE(audit.ok) << audit.error;
  EXPECT_EQ(audit.reserved, (std::map<std::string, std::string>{{"d", dir.reserved}}));
  EXPECT_EQ(audit.stored.count("later.txt"), 1u);
}

TEST_F(HandMade, LinksOutsideTheRecordsAreRefused) {
  const uint32_t first = kOneExtentEnd + 4;
  RawRecord a = Hello("a");
  RawRecord b = Hello("b");
  a.next = first + 61;  // b
  b.prev = first;       // data end + 4 is the first record
  EXPECT_NE(Open(Image({a, b})), -1) << reports_.All();

  b.prev = first - 1;
  EXPECT_EQ(Open(Image({a, b})), -1);
  EXPECT_TRUE(reports_.Has("fdt data error!")) << reports_.All();

  b.prev = first;
  a.parent = first + 5;  // between records
  EXPECT_EQ(Open(Image({a, b})), -1);
  EXPECT_TRUE(reports_.Has("fdt data error")) << reports_.All();
}

TEST_F(HandMade, CyclesAndBrokenTreesAreRefused) {
  const uint32_t first = kOneExtentEnd + 4;
  const uint32_t second = first + 61;
  auto refused = [&](const std::vector<RawRecord>& records) {
    bool result = Open(Image(records)) == -1 && reports_.Has("fdt tree error");
    if (!result) ADD_FAILURE() << "accepted: " << reports_.All();
  };
  RawRecord a = Hello("a");
  RawRecord b = Hello("b");
  a.next = second;
  b.prev = first;
  b.next = first;  // back to a
  refused({a, b});
  RawRecord self = Hello("a");
  self.next = first;
  refused({self});
  RawRecord d{"d", gavio::kFdtDirectory, 0, 0, 0, 0, 0, 0, first};  // its own child
  refused({d});
  RawRecord top = Hello("a");
  RawRecord orphan = Hello("b");  // top level but not in the chain
  refused({top, orphan});
  RawRecord parent_file = Hello("a");
  RawRecord child = Hello("b");
  parent_file.child = second;
  child.parent = first;
  refused({parent_file, child});
  RawRecord odd = Hello("a");
  odd.kind = 3;
  refused({odd});
  refused({Hello("")});  // a name no path can reach
  refused({Hello("a\\b")});
  refused({Hello("a/b")});
  RawRecord later_first = Hello("a");  // the first record must be the first top-level one
  RawRecord earlier = Hello("b");
  later_first.prev = second;
  earlier.next = first;
  refused({later_first, earlier});
}

TEST_F(HandMade, CountsAndLengthsAreBounded) {
  std::string image = Image({Hello()});
  std::string huge = image;
  PutU32(&huge, kOneExtentEnd, 0x7fffffff);
  EXPECT_EQ(Open(huge), -1);
  EXPECT_TRUE(reports_.Has("fdt count error"));
  PutU32(&huge, kOneExtentEnd, 0xffffffff);
  EXPECT_EQ(Open(huge), -1);
  EXPECT_TRUE(reports_.Has("fdt count error"));

  std::string coded_length = image;
  PutU32(&coded_length, kOneExtentEnd + 4, 1000000);
  EXPECT_EQ(Open(coded_length), -1);
  EXPECT_TRUE(reports_.Has("fdt record error"));

  // A name length that runs past its record: the record is refused, never
  // read beyond its end.
  std::string plain = PlainRecord(Hello("n"));
  PutU32(&plain, 4, 500);
  std::string fdt;
  std::string coded = Code(plain, 1);
  PutU32(&fdt, 0, 1);
  PutU32(&fdt, 4, static_cast<uint32_t>(coded.size()));
  PutU32(&fdt, 8, static_cast<uint32_t>(plain.size()));
  EXPECT_EQ(Open(image.substr(0, kOneExtentEnd) + fdt + coded), -1);
  EXPECT_TRUE(reports_.Has("fdt name length error")) << reports_.All();
}

TEST_F(HandMade, DamagedRecordsAreRefused) {
  std::string image = Image({Hello()});
  const size_t letters = kOneExtentEnd + 12;
  std::string outside = image;
  outside.replace(letters, 8, "AAAAAAAA");  // the tag decodes to zeros
  EXPECT_EQ(Open(outside), -1);
  EXPECT_TRUE(reports_.Has("fdt record tag error"));

  std::string tail = image;
  tail[tail.size() - 1] = 'M';  // last letter of the tail tag
  EXPECT_EQ(Open(tail), -1);
  EXPECT_TRUE(reports_.Has("fdt record tag error"));

  std::string not_coded = image;
  not_coded[67] = 0;
  EXPECT_EQ(Open(not_coded), -1);
  EXPECT_TRUE(reports_.Has("FDT Not Encrypted"));
  std::string bad_key = image;
  bad_key[68] = 5;
  EXPECT_EQ(Open(bad_key), -1);
  EXPECT_TRUE(reports_.Has("FDT Not Encrypted"));
  // With no record there is nothing to decode.
  std::string empty_not_coded = not_coded.substr(0, kOneExtentEnd) + std::string(4, '\0');
  EXPECT_NE(Open(empty_not_coded), -1);
}

TEST_F(HandMade, BadHeadsAreRefusedAndDataEndZeroMeansEmpty) {
  std::string image = Image({Hello()});
  std::string zero_block = image;
  PutU32(&zero_block, 8, 0);
  EXPECT_EQ(Open(zero_block), -1);
  EXPECT_TRUE(reports_.Has("read vfs head error!"));
  std::string inside_head = image;
  PutU32(&inside_head, 24, 100);
  EXPECT_EQ(Open(inside_head), -1);

  std::string data_end_zero = Head(0) + "whatever follows the head is ignored";
  int32_t root = Open(data_end_zero);
  ASSERT_NE(root, -1);
  EXPECT_EQ(fs_->FindFirst(root, "", gavio::kFindRecursive), -1);
}

TEST_F(HandMade, BrokenExtentChainsFailTheReadOnly) {
  // a: a cycle of two empty extents; c: an extent inside the head; e: used
  // past the stored size; f: a stored size no data area holds; g: a chain
  // that ends early; ok: a good file beside them.
  const uint32_t data_end = 156 + 3 * 512;
  std::string image = Head(data_end, 2);
  image += FileBlock(1, 668, 0);
  image.resize(668, '\0');
  image += FileBlock(1, 156, 0);
  image.resize(1180, '\0');
  image += FileBlock(1, 0, 5) + "fine!";
  image.resize(data_end, '\0');
  std::vector<RawRecord> records = {
      RawRecord{"a", gavio::kFdtFile, 10, 10, 156, 0, 0, 0, 0},
      RawRecord{"c", gavio::kFdtFile, 5, 5, 100, 0, 0, 0, 0},
      RawRecord{"e", gavio::kFdtFile, 3, 3, 1180, 0, 0, 0, 0},
      RawRecord{"f", gavio::kFdtFile, 5, 0xfffffff0, 1180, 0, 0, 0, 0},
      RawRecord{"g", gavio::kFdtFile, 100, 100, 1180, 0, 0, 0, 0},
      RawRecord{"ok", gavio::kFdtFile, 5, 5, 1180, 0, 0, 0, 0},
  };
  std::vector<uint32_t> offsets = RecordOffsets(data_end, records);
  for (size_t i = 0; i < records.size(); ++i) {
    if (i > 0) records[i].prev = offsets[i - 1];
    if (i + 1 < records.size()) records[i].next = offsets[i + 1];
  }
  image += CodedFdt(records, 1);

  int32_t root = Open(image);
  ASSERT_NE(root, -1) << reports_.All();
  auto fails_with = [&](const char* file, const char* message) {
    reports_.Clear();
    gavio::IBuffer* content = fs_->ReadFileFromRoot(root, file);
    EXPECT_EQ(content, nullptr) << file;
    if (content != nullptr) content->Release();
    EXPECT_TRUE(reports_.Has(message)) << file << ": " << reports_.All();
  };
  fails_with("a", "file block range error");
  fails_with("c", "file block range error");
  fails_with("e", "file block size error");
  fails_with("f", "file block range error");
  fails_with("g", "read file error");
  EXPECT_EQ(TakeText(fs_->ReadFileFromRoot(root, "ok")), "fine!");
  fs_->CloseRoot(root);

  // Through a mount: the good file loads, a broken one does not.
  ASSERT_NE(fs_->Mount(path().c_str(), "m"), -1);
  reports_.Clear();
  EXPECT_EQ(fs_->OpenFile("m\\a", 0), -1);
  EXPECT_TRUE(reports_.Has("file block range error"));
  int32_t ok = fs_->OpenFile("m\\ok", 0);
  ASSERT_NE(ok, -1);
  EXPECT_EQ(BufferText(fs_->GetFileBuffer(ok)), "fine!");
  fs_->CloseFile(ok);
  fs_->UnmountAll();

  // The extent of "ok" grows past the data area.
  std::string grown = image;
  PutU32(&grown, 1180 + 4, 1000);
  root = Open(grown);
  fails_with("ok", "file block range error");
  fs_->CloseRoot(root);
  // Its tag turns into the free tag.
  std::string freed = image;
  PutU32(&freed, 1180, gavio::kFreeTag);
  root = Open(freed);
  fails_with("ok", "file block head tag error");
  fs_->CloseRoot(root);
  ASSERT_NE(fs_->Mount(path().c_str(), "m2"), -1);
  reports_.Clear();
  EXPECT_EQ(fs_->OpenFile("m2\\ok", 0), -1);
  EXPECT_TRUE(reports_.Has("head tag invalid"));
}

TEST_F(HandMade, SizesThatWouldAllocateWithoutBoundAreRefused) {
  // Five stored bytes that claim to inflate to 4 GiB.
  std::string image = Head(kOneExtentEnd, 0) + FileBlock(1, 0, 5) + "xxxxx";
  image.resize(kOneExtentEnd, '\0');
  image += CodedFdt({RawRecord{"bomb", gavio::kFdtFile, 0xfffffff0, 5, 156, 0, 0, 0, 0}}, 1);
  int32_t root = Open(image);
  ASSERT_NE(root, -1);
  EXPECT_EQ(fs_->ReadFileFromRoot(root, "bomb"), nullptr);
  EXPECT_TRUE(reports_.Has("file size error"));
}

TEST_F(HandMade, EditingHostileChainsEndsWithAnError) {
  // A cycle of two full extents, and a free list that loops on itself.
  const uint32_t data_end = 156 + 3 * 512;
  std::string image = Head(data_end, 2, 1180, 5);
  image += FileBlock(1, 668, 496) + std::string(496, 'a');
  image += FileBlock(1, 156, 496) + std::string(496, 'b');
  image += FreeBlock(1, 1180);
  image.resize(data_end, '\0');
  image += CodedFdt({RawRecord{"loop", gavio::kFdtFile, 992, 992, 156, 0, 0, 0, 0}}, 1);

  int32_t root = Open(image, gavio::kRootReadWrite);
  ASSERT_NE(root, -1) << reports_.All();
  gavio::IBuffer* big = MakeBuffer(std::string(10000, 'z'));
  EXPECT_EQ(fs_->WriteFileToRoot(root, "loop", big), 0);
  EXPECT_TRUE(reports_.Has("file block range error")) << reports_.All();
  reports_.Clear();
  EXPECT_EQ(fs_->WriteFileToRoot(root, "new", big), 0);
  EXPECT_TRUE(reports_.Has("free block head tag error!")) << reports_.All();
  big->Release();
  // Deleting walks the cycle once and stops at the extent it freed.
  reports_.Clear();
  fs_->DeleteFile(root, "loop");
  EXPECT_EQ(fs_->GetPathType(root, "loop"), gavio::kPathNotFound);
  fs_->CloseRoot(root);
}

}  // namespace
