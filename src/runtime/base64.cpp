// Base64 component (7): the RFC 4648 alphabet with "=" padding.
//
// Every operation measures its output before writing, so a destination
// that is too small is left untouched rather than half filled.
#include <string.h>

#include <new>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"
#include "runtime/memory_client.h"

namespace gavio {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kNotInAlphabet = -1;

struct DecodeTable {
  int8_t value[256];
  constexpr DecodeTable() : value{} {
    for (int i = 0; i < 256; ++i) value[i] = kNotInAlphabet;
    for (int i = 0; i < 64; ++i) value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
};
constexpr DecodeTable kDecode;

inline int8_t ValueOf(char c) { return kDecode.value[static_cast<uint8_t>(c)]; }

// Bytes that decoding text yields: each group of up to 4 alphabet
// characters gives (6 * count) / 8 bytes.
size_t DecodedLength(const char* text) {
  size_t characters = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (ValueOf(*p) != kNotInAlphabet) ++characters;
  }
  return characters / 4 * 3 + (characters % 4) * 6 / 8;
}

// Decodes text into dst, which holds DecodedLength(text) bytes.
void DecodeInto(const char* text, uint8_t* dst) {
  uint32_t group = 0;
  int count = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    int8_t value = ValueOf(*p);
    if (value == kNotInAlphabet) continue;
    group = group << 6 | static_cast<uint32_t>(value);
    if (++count == 4) {
      *dst++ = static_cast<uint8_t>(group >> 16);
      *dst++ = static_cast<uint8_t>(group >> 8);
      *dst++ = static_cast<uint8_t>(group);
      group = 0;
      count = 0;
    }
  }
  // A partial group: its bits are the top of a 24-bit group.
  group <<= 6 * (4 - count);
  for (int i = 0; i < count * 6 / 8; ++i) *dst++ = static_cast<uint8_t>(group >> (16 - 8 * i));
}

// Text that decode string treats as Base64: alphabet, "=", spaces and tabs.
bool LooksLikeBase64(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (ValueOf(*p) == kNotInAlphabet && *p != '=' && *p != ' ' && *p != '\t') return false;
  }
  return true;
}

bool CopyString(const char* text, size_t length, char* dst, int32_t dstSize) {
  if (length >= static_cast<size_t>(dstSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  memcpy(dst, text, length);
  dst[length] = '\0';
  return true;
}

class CBase64 final : public Component<kBase64Id, IBase64> {
 public:
  CBase64() : log_(nullptr, kBase64Id), memory_(kBase64Id) {}

  uint32_t Encode(const void* src, int32_t srcLength, char* dst, int32_t dstSize) override {
    if (src == nullptr || dst == nullptr || dstSize < 1 || srcLength < 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const uint64_t textLength = (static_cast<uint64_t>(srcLength) + 2) / 3 * 4;
    if (textLength >= static_cast<uint64_t>(dstSize)) {
      log_.Error("BASE64CRYPT ERROR: Dst lenght is not enough\n");
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    const auto* in = static_cast<const uint8_t*>(src);
    char* out = dst;
    int32_t i = 0;
    for (; i + 3 <= srcLength; i += 3) {
      uint32_t group = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
      *out++ = kAlphabet[group >> 18];
      *out++ = kAlphabet[(group >> 12) & 63];
      *out++ = kAlphabet[(group >> 6) & 63];
      *out++ = kAlphabet[group & 63];
    }
    if (srcLength - i == 1) {
      uint32_t group = uint32_t(in[i]) << 16;
      *out++ = kAlphabet[group >> 18];
      *out++ = kAlphabet[(group >> 12) & 63];
      *out++ = '=';
      *out++ = '=';
    } else if (srcLength - i == 2) {
      uint32_t group = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8;
      *out++ = kAlphabet[group >> 18];
      *out++ = kAlphabet[(group >> 12) & 63];
      *out++ = kAlphabet[(group >> 6) & 63];
      *out++ = '=';
    }
    *out = '\0';
    return 1;
  }

  int32_t Decode(const char* text, void* dst, int32_t dstSize) override {
    if (text == nullptr || dst == nullptr || dstSize < 1) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (DecodedLength(text) > static_cast<size_t>(dstSize)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    DecodeInto(text, static_cast<uint8_t*>(dst));
    return 1;
  }

  int32_t DecodeString(const char* text, char* dst, int32_t dstSize) override {
    if (text == nullptr || dst == nullptr || dstSize < 1) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    GAVIO_HOLD_OR_RETURN(0);
    dst[0] = '\0';
    const size_t textLength = strlen(text);
    if (!LooksLikeBase64(text)) return CopyString(text, textLength, dst, dstSize) ? 1 : 0;
    if (textLength == 0) return 1;
    if (textLength > UINT32_MAX) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    // The decoded bytes are at most three quarters of the text, so the
    // zeroed block always ends in a terminator.
    auto* decoded = static_cast<char*>(memory_.AllocateZeroed(static_cast<uint32_t>(textLength)));
    if (decoded == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    DecodeInto(text, reinterpret_cast<uint8_t*>(decoded));
    bool copied = CopyString(decoded, strlen(decoded), dst, dstSize);
    memory_.Release(decoded);
    return copied ? 1 : 0;
  }

  void ComponentFinalize() override { memory_.Close(); }

 private:
  LogSink log_;
  MemoryClient memory_;
};

}  // namespace

IComponent* NewBase64() { return new (std::nothrow) CBase64(); }

}  // namespace gavio
