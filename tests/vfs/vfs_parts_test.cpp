// The shared parts: Buffer growth, handle numbering, the mapper, the cache's
// eviction and the two filters.
#include <gtest/gtest.h>

#include <string.h>
#include <zlib.h>

#include <thread>

#include "vfs/archive.h"
#include "vfs/buffer.h"
#include "vfs/buffer_cache.h"
#include "vfs/coder_filter.h"
#include "vfs/file_mapper.h"
#include "vfs/handle_alloc.h"
#include "vfs/zlib_filter.h"
#include "vfs_test_util.h"

namespace {

using namespace vfs_test;

TEST(Buffer, GrowsDoublingThenLinearlyAndZeroFills) {
  gavio::IBuffer* buffer = gavio::CreateBuffer(10, nullptr);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->Size(), 10);
  EXPECT_GE(buffer->Capacity(), 10);
  for (int i = 0; i < buffer->Capacity(); ++i) ASSERT_EQ(buffer->Data()[i], 0);
  memset(buffer->Data(), 7, 10);

  ASSERT_EQ(buffer->Reserve(100), 1);
  EXPECT_GE(buffer->Capacity(), 200);
  EXPECT_EQ(buffer->Size(), 10) << "Reserve keeps the size";
  EXPECT_EQ(buffer->Data()[9], 7) << "and the bytes";
  EXPECT_EQ(buffer->Data()[150], 0);
  ASSERT_EQ(buffer->Reserve(5000000), 1);
  EXPECT_GE(buffer->Capacity(), 9194304);
  EXPECT_LT(buffer->Capacity(), 2 * 5000000) << "past 4 MiB growth is linear";

  EXPECT_EQ(buffer->SetSize(-1), 0);
  EXPECT_EQ(buffer->Size(), 0);
  EXPECT_EQ(buffer->SetSize(buffer->Capacity() + 1), 0);
  EXPECT_EQ(buffer->Size(), buffer->Capacity());
  EXPECT_EQ(buffer->SetSize(3), 1);
  EXPECT_EQ(buffer->Init(5, 4), 0) << "size may not exceed the request";
  EXPECT_EQ(buffer->GetComponentID(), 256u);
  buffer->Release();
}

TEST(HandleAlloc, ReusesTheMostRecentlyFreedAndRefusesStrangers) {
  gavio::IHandleAlloc* handles = gavio::CreateHandleAlloc(nullptr);
  EXPECT_EQ(handles->Alloc(), 0);
  EXPECT_EQ(handles->Alloc(), 1);
  EXPECT_EQ(handles->Alloc(), 2);
  EXPECT_EQ(handles->Free(2), 1);
  EXPECT_EQ(handles->Alloc(), 2);
  EXPECT_EQ(handles->Free(1), 1);
  EXPECT_EQ(handles->Alloc(), 1);
  // A handle freed twice or never issued would later be handed out twice.
  EXPECT_EQ(handles->Free(0), 1);
  EXPECT_EQ(handles->Free(0), 0);
  EXPECT_EQ(handles->Free(-1), 0);
  EXPECT_EQ(handles->Free(50), 0);
  EXPECT_EQ(handles->Alloc(), 0);
  EXPECT_EQ(handles->Alloc(), 3);
  handles->Reset();
  EXPECT_EQ(handles->Alloc(), 0);
  handles->Destroy();
}

TEST(FileMapper, IgnoresAsciiCaseAndWalksInKeyOrder) {
  gavio::IFileMapper* mapper = gavio::CreateFileMapper(nullptr);
  EXPECT_EQ(mapper->Map("Data\\Readme.TXT", 4, 40), 1);
  EXPECT_EQ(mapper->Map("data\\a.bin", 5, 50), 1);
  EXPECT_EQ(mapper->Map("x", -1, 0), 0);
  EXPECT_EQ(mapper->Map(std::string(520, 'a').c_str(), 1, 0), 0) << "over 519 characters";
  int32_t value = 0;
  EXPECT_EQ(mapper->Lookup("DATA\\README.txt", &value), 4);
  EXPECT_EQ(value, 40);
  EXPECT_EQ(mapper->Map("data\\README.txt", 6, 60), 1) << "overwrites";
  EXPECT_EQ(mapper->Lookup("data\\readme.txt", &value), 6);
  EXPECT_EQ(mapper->Lookup("missing", &value), -1);

  char key[64];
  mapper->Rewind();
  EXPECT_EQ(mapper->Next(key, sizeof key), 5);
  EXPECT_STREQ(key, "data\\a.bin");
  EXPECT_EQ(mapper->Next(key, 6), 6);
  EXPECT_STREQ(key, "data\\") << "cut to the size";
  EXPECT_EQ(mapper->Next(key, sizeof key), -1);

  // Keys are kept as folder and leaf; the walk still goes in whole-key order.
  mapper->Clear();
  for (const char* path : {"a\\z", "a\\b\\c", "a-x", "a", "a\\b"}) EXPECT_EQ(mapper->Map(path, 1, 0), 1);
  std::vector<std::string> walked;
  mapper->Rewind();
  while (mapper->Next(key, sizeof key) != -1) walked.push_back(key);
  EXPECT_EQ(walked, (std::vector<std::string>{"a", "a-x", "a\\b", "a\\b\\c", "a\\z"}));
  EXPECT_EQ(mapper->Lookup("A\\B\\C", nullptr), 1);
  EXPECT_EQ(mapper->Lookup("a\\b\\", nullptr), -1) << "a folder is no key";
  mapper->Destroy();
}

// Many keys in few folders: the indexes grow many times over and probe
// runs get long, yet every key finds its own record and near misses find
// none.
TEST(FileMapper, FindsEveryKeyAcrossGrowth) {
  gavio::IFileMapper* mapper = gavio::CreateFileMapper(nullptr);
  constexpr int kKeys = 40000;
  auto key = [](int i) { return "f" + std::to_string(i % 7) + "\\n" + std::to_string(i); };
  for (int i = 0; i < kKeys; ++i) ASSERT_EQ(mapper->Map(key(i).c_str(), 1 + i % 3, i), 1);
  for (int i = 0; i < kKeys; i += 2) ASSERT_EQ(mapper->Map(key(i).c_str(), 9, -i), 1);
  int wrong = 0;
  for (int i = 0; i < kKeys; ++i) {
    int32_t value = 0;
    int32_t root = mapper->Lookup(key(i).c_str(), &value);
    bool overwritten = i % 2 == 0;
    if (root != (overwritten ? 9 : 1 + i % 3) || value != (overwritten ? -i : i)) ++wrong;
    if (mapper->Lookup((key(i) + "x").c_str(), nullptr) != -1) ++wrong;
    if (mapper->Lookup(("f" + std::to_string(i % 7 + 7) + "\\n" + std::to_string(i)).c_str(), nullptr) != -1) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
  mapper->Destroy();
}

TEST(EntryName, KeepsShortNamesInsideAndLongOnesWhole) {
  gavio::EntryName name;
  EXPECT_TRUE(name.empty());
  // Across the inside limit and back, so a heap name is freed and replaced.
  for (size_t length : {14, 15, 16, 300, 1, 15, 0}) {
    std::string text(length, 'x');
    if (length > 0) text.front() = 'a';
    name.assign(text);
    EXPECT_EQ(name.view(), text) << length;
  }
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handles_ = gavio::CreateHandleAlloc(nullptr);
    mapper_ = gavio::CreateFileMapper(nullptr);
    cache_ = static_cast<gavio::BufferCache*>(gavio::CreateBufferCache(handles_, mapper_, 0, nullptr));
  }
  void TearDown() override {
    cache_->Destroy();
    mapper_->Destroy();
    handles_->Destroy();
  }
  int32_t Load(const char* path, int32_t root, int32_t value, size_t size) {
    return cache_->Add(path, root, value, MakeBuffer(std::string(size, 'x')));
  }

  gavio::IHandleAlloc* handles_;
  gavio::IFileMapper* mapper_;
  gavio::BufferCache* cache_;
};

TEST_F(CacheTest, LimitZeroDropsAFileAtItsLastClose) {
  int32_t file = Load("a.txt", 9, 90, 100);
  ASSERT_NE(file, -1);
  int32_t value = 0;
  EXPECT_EQ(mapper_->Lookup("a.txt", &value), cache_->OwnHandle());
  EXPECT_EQ(value, file);
  EXPECT_EQ(cache_->AddRef(file), 2) << "opened twice";
  EXPECT_EQ(cache_->Release(file), 1);
  EXPECT_NE(cache_->Get(file), nullptr) << "closed once: still cached";
  EXPECT_EQ(cache_->Release(file), 0);
  EXPECT_EQ(cache_->Get(file), nullptr) << "second close evicts";
  EXPECT_EQ(mapper_->Lookup("a.txt", &value), 9) << "the path maps back to its archive";
  EXPECT_EQ(value, 90);
  EXPECT_EQ(cache_->TotalSize(), 0);
}

TEST_F(CacheTest, ALimitKeepsClosedFilesAndEvictsTheLeastRecentlyUsed) {
  cache_->SetLimit(250);
  int32_t a = Load("a", 1, 0, 100);
  int32_t b = Load("b", 1, 0, 100);
  cache_->Release(a);
  cache_->Release(b);
  EXPECT_EQ(cache_->EntryCount(), 2u);
  cache_->Get(a);  // a is now the more recently used
  int32_t c = Load("c", 1, 0, 100);
  EXPECT_EQ(cache_->EntryCount(), 2u);
  EXPECT_EQ(cache_->Get(b), nullptr) << "b was least recently used";
  EXPECT_NE(cache_->Get(a), nullptr);
  EXPECT_EQ(cache_->SetLimit(0), 1) << "a goes; c is still open";
  EXPECT_NE(cache_->Get(c), nullptr);
  EXPECT_EQ(cache_->Add("c", cache_->OwnHandle(), c, nullptr), -1);
  gavio::IBuffer* spare = MakeBuffer("x");
  EXPECT_EQ(cache_->Add("c", cache_->OwnHandle(), c, spare), -1) << "already loaded";
  spare->Release();
  EXPECT_EQ(cache_->AddRef(12345), 0);
  EXPECT_EQ(cache_->Release(12345), 0);
}

TEST(CoderFilter, CodesTwoLettersPerByteWithTheSelectedAlphabet) {
  gavio::RWFilter* coder = gavio::CreateCoderFilter(nullptr);
  gavio::IBuffer* plain = MakeBuffer("abc");
  gavio::IBuffer* coded = gavio::CreateBuffer(0, nullptr);
  EXPECT_EQ(coder->PreSave(plain, coded), 0) << "no alphabet yet";
  EXPECT_EQ(coder->SetKey(2), 0);
  ASSERT_EQ(coder->SetKey(0), 1);
  EXPECT_EQ(coder->Bound(plain), 16);
  coded->Reserve(coder->Bound(plain));
  ASSERT_EQ(coder->PreSave(plain, coded), 1);
  EXPECT_EQ(BufferText(coded), Code("abc", 0));
  EXPECT_EQ(BufferText(coded).size(), 6u);

  gavio::IBuffer* decoded = gavio::CreateBuffer(0, nullptr);
  gavio::IBuffer* input = MakeBuffer(BufferText(coded) + "W");  // odd: the last letter is ignored
  ASSERT_EQ(coder->PostLoad(input, decoded), 1);
  EXPECT_EQ(BufferText(decoded), "abc");
  input->Release();
  input = MakeBuffer("Z?");  // a letter outside the alphabet gives a 0 byte
  ASSERT_EQ(coder->PostLoad(input, decoded), 1);
  EXPECT_EQ(BufferText(decoded), std::string(1, '\0'));
  for (gavio::IBuffer* b : {plain, coded, decoded, input}) b->Release();
  coder->Destroy();
}

TEST(ZlibFilter, RoundTripsAndBoundsLikeTheFormat) {
  gavio::RWFilter* zlib = gavio::CreateZlibFilter(nullptr);
  gavio::IBuffer* empty = MakeBuffer("");
  EXPECT_EQ(zlib->Bound(empty), 11);
  std::string text(100000, 'q');
  gavio::IBuffer* plain = MakeBuffer(text);
  gavio::IBuffer* packed = gavio::CreateBuffer(zlib->Bound(plain), nullptr);
  int32_t length = zlib->PreSave(plain, packed);
  ASSERT_GT(length, 0);
  EXPECT_EQ(packed->Size(), length);
  gavio::IBuffer* unpacked = gavio::CreateBuffer(static_cast<int32_t>(text.size()), nullptr);
  EXPECT_EQ(zlib->PostLoad(packed, unpacked), static_cast<int32_t>(text.size()));
  EXPECT_EQ(BufferText(unpacked), text);
  EXPECT_EQ(zlib->PostLoad(plain, unpacked), 0) << "not a zlib stream";
  EXPECT_EQ(zlib->SetKey(0), 0);
  for (gavio::IBuffer* b : {empty, plain, packed, unpacked}) b->Release();
  zlib->Destroy();
}

// Archives written before hold streams of zlib's own coder, at any level;
// every level the filter takes makes a stream zlib reads back. Two threads
// may code at once.
TEST(ZlibFilter, StreamsOfEitherCoderReadBackOnAnyThread) {
  gavio::RWFilter* filter = gavio::CreateZlibFilter(nullptr);
  std::string text;
  for (int i = 0; text.size() < 200000; ++i) text += "entry " + std::to_string(i * 7919 % 1000) + ";";
  for (int level : {1, 9}) {
    std::string stream(compressBound(text.size()), '\0');
    uLongf length = stream.size();
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(stream.data()), &length,
                        reinterpret_cast<const Bytef*>(text.data()), text.size(), level), Z_OK);
    stream.resize(length);
    gavio::IBuffer* input = MakeBuffer(stream);
    gavio::IBuffer* output = gavio::CreateBuffer(static_cast<int32_t>(text.size()), nullptr);
    EXPECT_EQ(filter->PostLoad(input, output), static_cast<int32_t>(text.size()));
    EXPECT_EQ(BufferText(output), text);
    input->SetSize(input->Size() - 5);
    EXPECT_EQ(filter->PostLoad(input, output), 0) << "a cut stream";
    input->Release();
    output->Release();
  }
  EXPECT_EQ(filter->SetKey(13), 0);
  for (int32_t level : {1, 6, 12}) {
    ASSERT_EQ(filter->SetKey(level), 1);
    std::string coded[2];
    auto code = [&](std::string* out) {
      gavio::IBuffer* plain = MakeBuffer(text);
      gavio::IBuffer* packed = gavio::CreateBuffer(0, nullptr);
      if (filter->PreSave(plain, packed) > 0) *out = BufferText(packed);
      plain->Release();
      packed->Release();
    };
    std::thread other(code, &coded[1]);
    code(&coded[0]);
    other.join();
    EXPECT_EQ(coded[0], coded[1]) << "level " << level;
    std::string back;
    ASSERT_TRUE(Inflate(coded[0], static_cast<uint32_t>(text.size()), &back)) << "level " << level;
    EXPECT_EQ(back, text);
  }
  filter->Destroy();
}

}  // namespace
