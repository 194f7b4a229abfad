// MD5 of memory and of files: RFC 1321's vectors, agreement with md5sum
// across chunk and padding boundaries, and the failure results.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "runtime_test_env.h"
#include "support/test_support.h"

namespace {

using gavio::IDigest;

std::string Hex(const uint8_t* digest) {
  char text[33];
  for (int i = 0; i < 16; ++i) snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

std::string Md5sumOf(const std::string& path) {
  std::string command = "md5sum '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char line[256] = "";
  if (fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
  pclose(pipe);
  return std::string(line).substr(0, 32);
}

class DigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    digest_ = runtime_test::Create<IDigest>(gavio::kDigestId);
    ASSERT_NE(digest_, nullptr);
  }
  void TearDown() override { digest_->Destroy(0); }

  std::string OfMemory(const std::string& bytes) {
    uint8_t out[16];
    digest_->DigestMemory(out, bytes.data(), static_cast<int32_t>(bytes.size()));
    return Hex(out);
  }

  IDigest* digest_ = nullptr;
};

TEST_F(DigestTest, MemoryDigestsMatchTheRfc1321Suite) {
  EXPECT_EQ(OfMemory(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(OfMemory("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(OfMemory("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(OfMemory("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(OfMemory("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(OfMemory("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(OfMemory("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST_F(DigestTest, FileDigestsAgreeWithMd5sumAcrossBlockAndChunkBoundaries) {
  gavio_test::TempDir dir;
  std::mt19937 random(1321);
  for (size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 65536u, 65537u,
                      300001u}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string path = dir.File("f" + std::to_string(size));
    gavio_test::WriteFile(path, bytes);
    uint8_t out[16];
    ASSERT_EQ(digest_->DigestFile(out, path.c_str()), 1u) << size;
    std::string expected = Md5sumOf(path);
    EXPECT_EQ(Hex(out), expected) << size;
    EXPECT_EQ(OfMemory(bytes), expected) << size;
  }
}

TEST_F(DigestTest, FilesThatCannotBeReadGiveZeroAndAZeroDigest) {
  gavio_test::TempDir dir;
  std::string longPath(300, 'x');
  for (const std::string& path :
       {dir.File("missing"), dir.path(), longPath, std::string()}) {
    uint8_t out[16];
    memset(out, 0xAB, sizeof out);
    EXPECT_EQ(digest_->DigestFile(out, path.c_str()), 0u) << path;
    EXPECT_EQ(Hex(out), std::string(32, '0')) << path;
  }
  uint8_t out[16];
  memset(out, 0xAB, sizeof out);
  EXPECT_EQ(digest_->DigestFile(out, nullptr), 0u);
  EXPECT_EQ(digest_->DigestFile(nullptr, dir.path().c_str()), 0u);
}

TEST_F(DigestTest, BadMemoryArgumentsNeverReadOrWriteOutOfBounds) {
  uint8_t out[17];
  memset(out, 0xAB, sizeof out);
  digest_->DigestMemory(out, nullptr, 5);
  EXPECT_EQ(Hex(out), std::string(32, '0'));
  EXPECT_EQ(out[16], 0xAB);
  digest_->DigestMemory(out, "abc", -1);
  EXPECT_EQ(Hex(out), std::string(32, '0'));
  digest_->DigestMemory(nullptr, "abc", 3);  // nothing to write to; must not crash
  digest_->DigestMemory(out, nullptr, 0);
  EXPECT_EQ(Hex(out), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
