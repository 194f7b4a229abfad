// Base64: RFC 4648's vectors, round trips of every length modulo 3, the
// decode-string pass-through, and destinations one byte too small.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "runtime_test_env.h"
#include "support/test_support.h"

namespace {

using gavio::IBase64;

class Base64Test : public ::testing::Test {
 protected:
  void SetUp() override {
    base64_ = runtime_test::Create<IBase64>(gavio::kBase64Id);
    ASSERT_NE(base64_, nullptr);
  }
  void TearDown() override { base64_->Destroy(0); }

  std::string Encode(const std::string& bytes) {
    char text[256];
    if (base64_->Encode(bytes.data(), static_cast<int32_t>(bytes.size()), text, sizeof text) != 1) {
      return "<failed>";
    }
    return text;
  }
  std::string Decode(const std::string& text, int32_t capacity = 256) {
    char bytes[256];
    memset(bytes, '#', sizeof bytes);
    if (base64_->Decode(text.c_str(), bytes, capacity) != 1) return "<failed>";
    return std::string(bytes, strcspn(bytes, "#"));
  }

  IBase64* base64_ = nullptr;
};

TEST_F(Base64Test, EncodeAndDecodeFollowRfc4648) {
  const std::pair<const char*, const char*> kVectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : kVectors) {
    EXPECT_EQ(Encode(plain), encoded);
    EXPECT_EQ(Decode(encoded), plain);
  }
  // Every byte value survives, at every length modulo 3.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t length : {all.size(), all.size() - 1, all.size() - 2}) {
    char text[400];
    ASSERT_EQ(base64_->Encode(all.data(), static_cast<int32_t>(length), text, sizeof text), 1u);
    std::string back(length, '\0');
    ASSERT_EQ(base64_->Decode(text, back.data(), static_cast<int32_t>(length)), 1);
    EXPECT_EQ(back, all.substr(0, length));
  }
  EXPECT_EQ(Encode("\xfb\xff"), "+/8=");
}

TEST_F(Base64Test, DecodeSkipsCharactersOutsideTheAlphabetAndWritesNoTerminator) {
  EXPECT_EQ(Decode("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(Decode(" Z m 9 v "), "foo");
  char out[4] = {'x', 'x', 'x', 'x'};
  ASSERT_EQ(base64_->Decode("QQ==", out, sizeof out), 1);
  EXPECT_EQ(out[0], 'A');
  EXPECT_EQ(out[1], 'x');
}

TEST_F(Base64Test, TooSmallDestinationsAreRefusedUntouched) {
  gavio_test::DebugCapture debug;
  char text[9];
  memset(text, '#', sizeof text);
  // "foobar" needs 8 characters and the terminator.
  EXPECT_EQ(base64_->Encode("foobar", 6, text, 8), 0u);
  EXPECT_EQ(std::string(text, 9), std::string(9, '#'));
  EXPECT_EQ(debug.Count("BASE64CRYPT ERROR: Dst lenght is not enough"), 1);
  EXPECT_EQ(base64_->Encode("foobar", 6, text, 9), 1u);
  EXPECT_STREQ(text, "Zm9vYmFy");

  EXPECT_EQ(Decode("Zm9vYmFy", 5), "<failed>");
  EXPECT_EQ(Decode("Zm9vYmFy", 6), "foobar");
}

TEST_F(Base64Test, BadArgumentsGiveZero) {
  char out[8];
  EXPECT_EQ(base64_->Encode(nullptr, 3, out, 8), 0u);
  EXPECT_EQ(base64_->Encode("abc", 3, nullptr, 8), 0u);
  EXPECT_EQ(base64_->Encode("abc", 3, out, 0), 0u);
  EXPECT_EQ(base64_->Encode("abc", -1, out, 8), 0u);
  EXPECT_EQ(base64_->Decode(nullptr, out, 8), 0);
  EXPECT_EQ(base64_->Decode("QQ==", nullptr, 8), 0);
  EXPECT_EQ(base64_->Decode("QQ==", out, 0), 0);
  EXPECT_EQ(base64_->DecodeString(nullptr, out, 8), 0);
  EXPECT_EQ(base64_->DecodeString("QQ==", out, 0), 0);
}

TEST_F(Base64Test, DecodeStringDecodesBase64AndPassesOtherTextThrough) {
  char out[32];
  ASSERT_EQ(base64_->DecodeString("aGVsbG8gd29ybGQ=", out, sizeof out), 1);
  EXPECT_STREQ(out, "hello world");
  ASSERT_EQ(base64_->DecodeString("Zm9v YmFy", out, sizeof out), 1);
  EXPECT_STREQ(out, "foobar");
  ASSERT_EQ(base64_->DecodeString("not base64!", out, sizeof out), 1);
  EXPECT_STREQ(out, "not base64!");
  ASSERT_EQ(base64_->DecodeString("", out, sizeof out), 1);
  EXPECT_STREQ(out, "");

  // Too small either way: dst is emptied and 0 returned, nothing written past it.
  char small[7];
  memset(small, '#', sizeof small);
  EXPECT_EQ(base64_->DecodeString("aGVsbG8gd29ybGQ=", small, 6), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[6], '#');
  EXPECT_EQ(base64_->DecodeString("plain text!", small, 6), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[6], '#');
}

}  // namespace
