// Meta-described serialisation: a table describes each packed record field
// by field, and one encoder and one decoder walk that table to turn records
// into network bytes and back. The walkers are iterative (an explicit stack
// of open compound fields), allocate nothing and bound every read and write.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace gavio::lmx {

// Entry type ids.
constexpr uint8_t kTypeUnion = 0;
constexpr uint8_t kTypeStruct = 1;
constexpr uint8_t kTypeTinyInt = 2;
constexpr uint8_t kTypeTinyUint = 3;
constexpr uint8_t kTypeSmallInt = 5;
constexpr uint8_t kTypeSmallUint = 6;
constexpr uint8_t kTypeInt = 7;
constexpr uint8_t kTypeUint = 8;
constexpr uint8_t kTypeBigInt = 11;
constexpr uint8_t kTypeBigUint = 12;
constexpr uint8_t kTypeString = 21;
constexpr uint8_t kTypeWString = 22;

// Entry flags.
constexpr uint32_t kFlagSkip = 0x02;
constexpr uint32_t kFlagPointer = 0x04;
constexpr uint32_t kFlagIdRange = 0x08;
constexpr uint32_t kFlagFixedSize = 0x20;
constexpr uint32_t kFlagReferred = 0x40;

// Error codes (negative); success is zero or positive.
constexpr int32_t ErrorCode(uint32_t n) { return static_cast<int32_t>(0x82010400u + n); }
constexpr int32_t kErrVersion = ErrorCode(0x01);
constexpr int32_t kErrNetworkSpace = ErrorCode(0x02);
constexpr int32_t kErrRefer = ErrorCode(0x03);
constexpr int32_t kErrNesting = ErrorCode(0x04);
constexpr int32_t kErrString = ErrorCode(0x06);
constexpr int32_t kErrHostSpace = ErrorCode(0x07);
constexpr int32_t kErrOffset = ErrorCode(0x3c);
constexpr int32_t kErrPathSpace = ErrorCode(0x3d);
constexpr int32_t kErrArgument = ErrorCode(0x64);

constexpr int kMaxOpenCompounds = 32;
constexpr uint32_t kStringPrefixWidth = 4;

enum class MetaKind : uint8_t { kStruct, kUnion };

// A field of the same record, by host offset and width (0 = none).
struct FieldRef {
  uint32_t hostOffset;
  uint8_t width;
};

// Where the byte length of a field's encoding goes: a prefix of `width`
// bytes before the content, or an earlier field of the parent at
// `netOffset` (width 0 = no size info).
struct SizeInfo {
  uint8_t width;
  bool prefix;
  uint32_t netOffset;
};

struct VersionIndicator {
  uint8_t width;  // 0 = none
  uint32_t hostOffset;
  uint32_t netOffset;
};

}  // namespace gavio::lmx

struct tagLMXMeta;

struct LMXEntry {
  const char* name;
  uint8_t type;
  uint8_t version;
  uint32_t count;
  uint32_t hostUnit;
  uint32_t netUnit;
  uint32_t hostOffset;
  uint32_t netOffset;
  uint32_t stringSize;
  gavio::lmx::FieldRef refer;
  gavio::lmx::FieldRef select;
  gavio::lmx::SizeInfo sizeInfo;
  int64_t minId;
  int64_t maxId;
  const tagLMXMeta* sub;
  uint32_t flags;
};

struct tagLMXMeta {
  const char* name;
  gavio::lmx::MetaKind kind;
  uint8_t baseVersion;
  uint8_t currentVersion;
  uint32_t hostSize;
  uint32_t maxNetSize;
  const LMXEntry* entries;
  uint32_t entryCount;
  gavio::lmx::VersionIndicator versionIndicator;
};

struct LMXMacro {
  const char* name;
  int32_t value;
};

struct LMXNameIndex {
  const char* name;
  uint32_t position;
};

struct LMXLibrary {
  const char* name;
  int32_t version;
  const LMXMacro* macros;
  uint32_t macroCount;
  const tagLMXMeta* metas;
  uint32_t metaCount;
  const LMXNameIndex* index;  // sorted by strcmp
};

// A buffer and its length; the walkers overwrite the length with how far
// they got.
struct LMXData {
  void* data;
  int64_t length;
};

const tagLMXMeta* lmx_get_meta_by_name(const LMXLibrary* library, const char* name);
int32_t lmx_hton(const tagLMXMeta* meta, LMXData* network, LMXData* host, int32_t version);
int32_t lmx_ntoh(const tagLMXMeta* meta, LMXData* host, LMXData* network, int32_t version);
const char* lmx_entry_off_to_path(const tagLMXMeta* meta, int64_t hostOffset);
const char* lmx_error_string(int32_t code);
