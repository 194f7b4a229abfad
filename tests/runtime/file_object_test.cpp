// The file object: line reading over every line-end form, lines longer
// than the buffer, writing, seeking, blocks, and the refusals.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "runtime_test_env.h"
#include "support/test_support.h"

namespace {

using gavio::IFileObject;
using gavio_test::ReadFile;
using gavio_test::WriteFile;

class FileObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = runtime_test::Create<IFileObject>(gavio::kFileObjectId);
    ASSERT_NE(file_, nullptr);
  }
  void TearDown() override { file_->Destroy(0); }

  // Every line with its complete flag ("!" marks a cut line).
  std::vector<std::string> Lines(const std::string& contents, int32_t bufferSize = 64) {
    WriteFile(dir_.File("lines.txt"), contents);
    EXPECT_EQ(file_->OpenForReading(dir_.File("lines.txt").c_str()), 1);
    std::vector<std::string> lines;
    std::vector<char> buffer(static_cast<size_t>(bufferSize) + 1, '#');
    int32_t complete = -1;
    while (file_->ReadLine(buffer.data(), bufferSize, &complete) == 1) {
      EXPECT_EQ(buffer[static_cast<size_t>(bufferSize)], '#');
      lines.push_back(std::string(buffer.data()) + (complete == 1 ? "" : "!"));
    }
    return lines;
  }

  gavio_test::TempDir dir_;
  IFileObject* file_ = nullptr;
};

using L = std::vector<std::string>;

TEST_F(FileObjectTest, LineEndsOfEveryFormEndOneLine) {
  EXPECT_EQ(Lines("a\r\nb"), (L{"a", "b"}));
  EXPECT_EQ(Lines("a\nb\n"), (L{"a", "b"}));
  EXPECT_EQ(Lines("a\rb\r"), (L{"a", "b"}));
  EXPECT_EQ(Lines("a\n\nb"), (L{"a", "b"}));          // LF LF is one line end
  EXPECT_EQ(Lines("a\r\n\r\nb"), (L{"a", "", "b"}));  // CR LF CR LF is two
  EXPECT_EQ(Lines(""), L{});
  EXPECT_EQ(Lines("\r\n"), L{""});
}

TEST_F(FileObjectTest, LongLinesComeInPiecesAndExactFitsAreComplete) {
  EXPECT_EQ(Lines("abcdefgh\r\nxy", 4), (L{"abc!", "def!", "gh", "xy"}));
  // Three characters fill a buffer of 4 exactly: complete, no empty extra line.
  EXPECT_EQ(Lines("abc\r\ndef", 4), (L{"abc", "def"}));
  EXPECT_EQ(Lines("abc", 4), L{"abc"});
}

TEST_F(FileObjectTest, LineLengthLooksAheadWithoutMoving) {
  WriteFile(dir_.File("f.txt"), "hello\r\nworld");
  ASSERT_EQ(file_->OpenForReading(dir_.File("f.txt").c_str()), 1);
  EXPECT_EQ(file_->GetLineLength(), 5);
  char line[16];
  int32_t complete;
  ASSERT_EQ(file_->ReadLine(line, sizeof line, &complete), 1);
  EXPECT_STREQ(line, "hello");
  EXPECT_EQ(file_->GetLineLength(), 5);
  ASSERT_EQ(file_->ReadLine(line, sizeof line, &complete), 1);
  EXPECT_STREQ(line, "world");
  EXPECT_EQ(file_->GetLineLength(), 0);
}

TEST_F(FileObjectTest, WritingAppendingAndFormattedLines) {
  std::string path = dir_.File("out.txt");
  ASSERT_EQ(file_->OpenForWriting(path.c_str(), 0), 1);
  EXPECT_EQ(file_->WriteLine("first"), 1);
  EXPECT_EQ(file_->WriteFormattedLine("%s=%d", "n", 42), 1);
  ASSERT_EQ(file_->OpenForWriting(path.c_str(), 1), 1);  // closes, then appends
  EXPECT_EQ(file_->WriteLine(""), 1);
  EXPECT_EQ(file_->Close(), 1);
  EXPECT_EQ(file_->Close(), 0);
  EXPECT_EQ(ReadFile(path), "first\r\nn=42\r\n\r\n");

  ASSERT_EQ(file_->OpenForWriting(path.c_str(), 0), 1);
  EXPECT_EQ(file_->GetSize(), 0u);
  // A formatted line is cut at 1023 characters.
  std::string wide(2000, 'w');
  EXPECT_EQ(file_->WriteFormattedLine("%s", wide.c_str()), 1);
  file_->Close();
  EXPECT_EQ(ReadFile(path), std::string(1023, 'w') + "\r\n");
}

TEST_F(FileObjectTest, SeekSizeAndBlocks) {
  WriteFile(dir_.File("b.bin"), "0123456789");
  ASSERT_EQ(file_->OpenForReading(dir_.File("b.bin").c_str()), 1);
  EXPECT_EQ(file_->GetSize(), 10u);
  EXPECT_EQ(file_->Seek(4, gavio::kSeekBegin), 4u);
  EXPECT_EQ(file_->Seek(-1, gavio::kSeekEnd), 9u);
  EXPECT_EQ(file_->Seek(-20, gavio::kSeekCurrent), gavio::kInvalidFilePosition);
  EXPECT_EQ(file_->Seek(0, 7), gavio::kInvalidFilePosition);
  EXPECT_EQ(file_->Seek(2, gavio::kSeekBegin), 2u);

  char block[8];
  memset(block, '#', sizeof block);
  ASSERT_EQ(file_->ReadBlock(block, 4, 1), 1);  // 3 bytes and a terminator
  EXPECT_STREQ(block, "234");
  ASSERT_EQ(file_->ReadBlock(block, 3, 0), 1);
  EXPECT_EQ(std::string(block, 3), "567");
  // Near the end: the terminator follows the bytes actually read.
  memset(block, '#', sizeof block);
  ASSERT_EQ(file_->ReadBlock(block, 8, 1), 1);
  EXPECT_STREQ(block, "89");
  EXPECT_EQ(block[3], '#');
  ASSERT_EQ(file_->ReadBlock(block, 8, 1), 1);
  EXPECT_STREQ(block, "");
}

TEST_F(FileObjectTest, RelativePathsLiveInTheClientRoot) {
  ASSERT_EQ(file_->OpenForWriting("sub_less_name.txt", 0), 1);
  file_->WriteLine("rooted");
  file_->Close();
  EXPECT_EQ(ReadFile(runtime_test::RootFolder() + "/sub_less_name.txt"), "rooted\r\n");
  ASSERT_EQ(file_->OpenForReading("sub_less_name.txt"), 1);
  EXPECT_EQ(file_->GetSize(), 8u);
}

TEST_F(FileObjectTest, BadInputIsRefusedWithoutWriting) {
  char line[8];
  int32_t complete = 5;
  EXPECT_EQ(file_->ReadLine(line, sizeof line, &complete), 0);  // nothing open
  EXPECT_EQ(file_->GetSize(), 0u);
  EXPECT_EQ(file_->Seek(0, gavio::kSeekBegin), gavio::kInvalidFilePosition);
  EXPECT_EQ(file_->WriteLine("x"), 0);
  EXPECT_EQ(file_->OpenForReading(dir_.File("missing").c_str()), 0);
  EXPECT_EQ(file_->OpenForReading(dir_.path().c_str()), 0);  // a folder
  EXPECT_EQ(file_->OpenForReading(nullptr), 0);
  EXPECT_EQ(file_->OpenForReading(""), 0);
  EXPECT_EQ(file_->OpenForWriting((dir_.path() + "/" + std::string(300, 'n')).c_str(), 0), 0);
  EXPECT_EQ(file_->OpenForWriting(dir_.File("no/such/folder/f").c_str(), 0), 0);

  WriteFile(dir_.File("w.txt"), "abc\n");
  ASSERT_EQ(file_->OpenForReading(dir_.File("w.txt").c_str()), 1);
  memset(line, '#', sizeof line);
  EXPECT_EQ(file_->ReadLine(line, 1, &complete), 0);
  EXPECT_EQ(file_->ReadLine(nullptr, 8, &complete), 0);
  EXPECT_EQ(file_->ReadLine(line, 8, nullptr), 0);
  EXPECT_EQ(file_->ReadBlock(line, 0, 1), 0);
  EXPECT_EQ(line[0], '#');
  EXPECT_EQ(file_->WriteLine("x"), 0);  // opened for reading
  ASSERT_EQ(file_->OpenForWriting(dir_.File("w.txt").c_str(), 1), 1);
  EXPECT_EQ(file_->ReadBlock(line, 8, 1), 0);  // opened for writing
  EXPECT_EQ(file_->ReadLine(line, 8, &complete), 0);
}

}  // namespace
