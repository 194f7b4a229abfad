// The archive byte layout, checked byte for byte against an encoding
// written from the format description.
#include <gtest/gtest.h>

#include <string.h>

#include "support/test_support.h"
#include "vfs/vfile_sys.h"
#include "vfs_test_util.h"

namespace {

using gavio::CreateVFileSys;
using namespace vfs_test;

TEST(ArchiveLayout, EmptyArchiveIsExactlyTheHead) {
  gavio_test::TempDir dir;
  FileSysHolder fs(CreateVFileSys(nullptr, nullptr));
  std::string path = dir.File("empty.vfs");
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
  ASSERT_NE(root, -1);
  ASSERT_EQ(fs->CloseRoot(root), 1);
  EXPECT_EQ(ReadAll(path), Head(0)) << "magic, block size 512, kind 0, coded 1, selector 1, data end 0";

  // Reopening for editing and closing again changes nothing.
  root = fs->OpenRoot(path.c_str(), gavio::kRootReadWrite);
  ASSERT_EQ(fs->CloseRoot(root), 1);
  EXPECT_EQ(ReadAll(path), Head(0));
}

// Raw contents (file filter kind 2) so that stored sizes are the written
// sizes: 496 bytes fill one 512-byte unit with the 16-byte extent head, 497
// need two.
TEST(ArchiveLayout, ExtentsAndCodedFdtAreByteExact) {
  gavio_test::TempDir dir;
  FileSysHolder fs(CreateVFileSys(nullptr, nullptr));
  std::string path = dir.File("layout.vfs");
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
  ASSERT_NE(root, -1);
  ASSERT_EQ(fs->SetRootInfo(root, 7, 2, 1, 1), 1);
  std::string a(496, 'a');
  std::string b(497, 'b');
  gavio::IBuffer* data = MakeBuffer(a);
  EXPECT_EQ(fs->WriteFileToRoot(root, "A.bin", data), 496);
  data->Release();
  data = MakeBuffer(b);
  EXPECT_EQ(fs->WriteFileToRoot(root, "dir/b.bin", data), 497);
  data->Release();
  ASSERT_EQ(fs->CloseRoot(root), 1);

  const uint32_t data_end = 156 + 512 + 2 * 512;
  std::vector<RawRecord> records(3);
  records[0].name = "A.bin";
  records[1].name = "dir";
  records[2].name = "b.bin";
  std::vector<uint32_t> offsets = RecordOffsets(data_end, records);
  ASSERT_EQ(offsets, (std::vector<uint32_t>{1696, 1761, 1824}));
  records[0] = RawRecord{"A.bin", gavio::kFdtFile, 496, 496, 156, 0, offsets[1], 0, 0};
  records[1] = RawRecord{"dir", gavio::kFdtDirectory, 0, 0, 0, 0, 0, offsets[0], offsets[2]};
  records[2] = RawRecord{"b.bin", gavio::kFdtFile, 497, 497, 668, offsets[1], 0, 0, 0};

  std::string expected = Head(data_end, 2);
  PutU32(&expected, 4, 7);  // the root info value survives
  expected += FileBlock(1, 0, 496) + a;
  expected += FileBlock(2, 0, 497) + b + std::string(2 * 512 - 16 - 497, '\0');
  ASSERT_EQ(expected.size(), data_end);
  expected += CodedFdt(records, 1);
  std::string actual = ReadAll(path);
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_EQ(actual.substr(0, 156), expected.substr(0, 156)) << "head";
  EXPECT_EQ(actual.substr(156, data_end - 156), expected.substr(156, data_end - 156)) << "extents";
  EXPECT_EQ(actual.substr(data_end), expected.substr(data_end)) << "FDT";

  // Only the 16 letters of the selector-1 alphabet appear in the records.
  std::string fdt = actual.substr(data_end + 4);
  size_t letters = 0;
  for (size_t pos = 0; pos < fdt.size();) {
    uint32_t coded = U32At(fdt, pos);
    EXPECT_EQ(coded, 2 * U32At(fdt, pos + 4));
    for (char c : fdt.substr(pos + 8, coded)) {
      EXPECT_NE(std::string_view("MVRXBZUYLWFKPJDH").find(c), std::string_view::npos) << c;
      ++letters;
    }
    pos += 8 + coded;
  }
  EXPECT_EQ(letters, 2u * (65 + 63 + 65));
}

TEST(ArchiveLayout, RecordOffsetsDependOnlyOnNameLengths) {
  gavio_test::TempDir dir;
  FileSysHolder fs(CreateVFileSys(nullptr, nullptr));
  auto build = [&](const std::string& name, char fill) {
    std::string path = dir.File(name);
    int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
    fs->SetRootInfo(root, 0, 2, 1, 1);
    for (const char* file : {"x\\one.txt", "x\\y\\two.txt", "three"}) {
      gavio::IBuffer* data = MakeBuffer(std::string(100, fill));
      fs->WriteFileToRoot(root, file, data);
      data->Release();
    }
    fs->CloseRoot(root);
    return AuditArchive(path);
  };
  Audit first = build("1.vfs", '1');
  Audit second = build("2.vfs", '2');
  ASSERT_TRUE(first.ok) << first.error;
  ASSERT_TRUE(second.ok) << second.error;
  std::string a = ReadAll(dir.File("1.vfs"));
  std::string b = ReadAll(dir.File("2.vfs"));
  ASSERT_EQ(first.head.dataEnd, second.head.dataEnd);
  // Same names, same order: the FDTs are identical, contents are not.
  EXPECT_EQ(a.substr(first.head.dataEnd), b.substr(second.head.dataEnd));
  EXPECT_NE(a.substr(0, first.head.dataEnd), b.substr(0, second.head.dataEnd));
}

TEST(ArchiveLayout, DefaultArchivesStoreZlibStreamsAndReadBack) {
  gavio_test::TempDir dir;
  FileSysHolder fs(CreateVFileSys(nullptr, nullptr));
  std::string path = dir.File("zlib.vfs");
  int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
  std::string text;
  for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i) + " of a compressible file\n";
  gavio::IBuffer* data = MakeBuffer(text);
  int32_t stored = fs->WriteFileToRoot(root, "doc\\readme.txt", data);
  data->Release();
  EXPECT_GT(stored, 0);
  EXPECT_LT(stored, static_cast<int32_t>(text.size()));
  data = MakeBuffer("");
  EXPECT_GT(fs->WriteFileToRoot(root, "doc\\empty.txt", data), 0) << "an empty file is a success";
  data->Release();
  ASSERT_EQ(fs->CloseRoot(root), 1);

  Audit audit = AuditArchive(path);
  ASSERT_TRUE(audit.ok) << audit.error;
  EXPECT_EQ(audit.head.fileFilterKind, 0);
  std::string plain;
  ASSERT_TRUE(Inflate(audit.stored["doc\\readme.txt"], audit.unfiltered["doc\\readme.txt"], &plain));
  EXPECT_EQ(plain, text);

  ASSERT_NE(fs->Mount(path.c_str(), "data"), -1);
  int32_t file = fs->OpenFile("data\\DOC\\readme.txt", 0);
  ASSERT_NE(file, -1);
  EXPECT_EQ(BufferText(fs->GetFileBuffer(file)), text);
  EXPECT_EQ(fs->CloseFile(file), 0);
  file = fs->OpenFile("data/doc/empty.txt", 0);
  ASSERT_NE(file, -1) << "an empty file opens with an empty buffer";
  EXPECT_EQ(fs->GetFileBuffer(file)->Size(), 0);
  fs->CloseFile(file);
}

}  // namespace
