// The meta library "KoraNet": the verification service's records described
// field by field for the serialisation walkers. The entries are written
// here with their host layout; the network units, offsets and sizes and the
// flags follow from them and are filled in place once, on first use, after
// which the tables are only read.
#include <stddef.h>
#include <string.h>

#include <algorithm>

#include "verify/kora_protocol.h"

namespace gavio::kora {
namespace {

using namespace gavio::lmx;

constexpr uint32_t kMetaCount = 22;
tagLMXMeta gMetas[kMetaCount];

enum MetaIndex : uint32_t {
  kPkgHead, kGetKoraipReq, kGetWhiteipReq, kGetClsidReq, kHashInfo, kVerifyHashReq, kRespErr,
  kIPInfo, kGetipOK, kUniGetipResp, kGetKoraipResp, kGetWhiteipResp, kResultSet, kVerifyHashOK,
  kUniVerifyHashResp, kVerifyHashResp, kTclsid, kGetClsidOK, kUniGetClsidResp, kGetClsidResp,
  kPkgBody, kKoraPkg
};

constexpr LMXEntry Num(const char* name, uint8_t type, uint32_t unit, size_t hostOffset,
                       uint32_t count = 1) {
  LMXEntry e{};
  e.name = name;
  e.type = type;
  e.version = 1;
  e.count = count;
  e.hostUnit = unit;
  e.hostOffset = static_cast<uint32_t>(hostOffset);
  return e;
}

constexpr LMXEntry Str(const char* name, uint32_t size, size_t hostOffset, uint32_t count = 1) {
  LMXEntry e = Num(name, kTypeString, size, hostOffset, count);
  e.stringSize = size;
  return e;
}

constexpr LMXEntry Rec(const char* name, uint8_t type, MetaIndex sub, size_t hostOffset,
             uint32_t count = 1) {
  LMXEntry e = Num(name, type, 0, hostOffset, count);
  e.sub = &gMetas[sub];
  return e;
}

// A union member; minId > maxId means no range (the default member).
constexpr LMXEntry Member(const char* name, MetaIndex sub, int64_t minId, int64_t maxId) {
  LMXEntry e = Rec(name, kTypeStruct, sub, 0);
  e.minId = minId;
  e.maxId = maxId;
  return e;
}

constexpr LMXEntry Refer(LMXEntry e, size_t hostOffset, uint8_t width) {
  e.refer = FieldRef{static_cast<uint32_t>(hostOffset), width};
  return e;
}

constexpr LMXEntry Since(LMXEntry e, uint8_t version) {
  e.version = version;
  return e;
}

constexpr LMXEntry Select(LMXEntry e, size_t hostOffset, uint8_t width) {
  e.select = FieldRef{static_cast<uint32_t>(hostOffset), width};
  return e;
}

constinit LMXEntry kPkgHeadEntries[] = {
    Num("Magic", kTypeSmallUint, 2, offsetof(PkgHead, Magic)),
    Num("Version", kTypeTinyUint, 1, offsetof(PkgHead, Version)),
    Num("HeadLen", kTypeTinyUint, 1, offsetof(PkgHead, HeadLen)),
    Num("BodyLen", kTypeSmallUint, 2, offsetof(PkgHead, BodyLen)),
    Num("CmdID", kTypeSmallUint, 2, offsetof(PkgHead, CmdID)),
    Num("Sequence", kTypeUint, 4, offsetof(PkgHead, Sequence)),
    Num("HeadChkSum", kTypeSmallUint, 2, offsetof(PkgHead, HeadChkSum)),
    Num("Reserved", kTypeTinyUint, 1, offsetof(PkgHead, Reserved), 2),
};
constinit LMXEntry kGetipReqEntries[] = {
    Str("SvcID", 256, offsetof(GetKoraipReq, SvcID)),
    Num("IpDataVer", kTypeUint, 4, offsetof(GetKoraipReq, IpDataVer)),
};
constinit LMXEntry kGetClsidReqEntries[] = {
    Str("SvcID", 256, offsetof(GetClsidReq, SvcID)),
    Num("DataVer", kTypeUint, 4, offsetof(GetClsidReq, DataVer)),
};
constinit LMXEntry kHashInfoEntries[] = {
    Str("FileName", 512, offsetof(HashInfo, FileName)),
    Num("HashLen", kTypeUint, 4, offsetof(HashInfo, HashLen)),
    Refer(Num("Hash", kTypeTinyInt, 1, offsetof(HashInfo, Hash), 64), offsetof(HashInfo, HashLen), 4),
};
constinit LMXEntry kVerifyHashReqEntries[] = {
    Str("SvcID", 512, offsetof(VerifyHashReq, SvcID)),
    Num("HashCnt", kTypeUint, 4, offsetof(VerifyHashReq, HashCnt)),
    Refer(Rec("HashSet", kTypeStruct, kHashInfo, offsetof(VerifyHashReq, HashSet), kMaxFileHash),
          offsetof(VerifyHashReq, HashCnt), 4),
};
constinit LMXEntry kRespErrEntries[] = {
    Num("MsgLen", kTypeSmallUint, 2, offsetof(RespErr, MsgLen)),
    Refer(Num("Msg", kTypeTinyInt, 1, offsetof(RespErr, Msg), 128), offsetof(RespErr, MsgLen), 2),
};
constinit LMXEntry kIPInfoEntries[] = {
    Str("SubSvcID", 64, offsetof(IPInfo, SubSvcID)),
    Num("TotalCnt", kTypeSmallUint, 2, offsetof(IPInfo, TotalCnt)),
    Num("HpCnt", kTypeSmallUint, 2, offsetof(IPInfo, HpCnt)),
    Refer(Num("Addr", kTypeUint, 4, offsetof(IPInfo, Addr), kMaxIpRecord),
          offsetof(IPInfo, TotalCnt), 2),
};
constinit LMXEntry kGetipOKEntries[] = {
    Num("Version", kTypeUint, 4, offsetof(GetipOK, Version)),
    Num("ResCnts", kTypeUint, 4, offsetof(GetipOK, ResCnts)),
    Refer(Rec("IPSet", kTypeStruct, kIPInfo, offsetof(GetipOK, IPSet), kMaxSubSvcId),
          offsetof(GetipOK, ResCnts), 4),
};
constinit LMXEntry kUniGetipRespEntries[] = {
    Member("GetipErr", kRespErr, 1, 0),
    Member("GetipOK", kGetipOK, 0, 0),
};
constinit LMXEntry kGetipRespEntries[] = {
    Num("Result", kTypeSmallUint, 2, offsetof(GetipResp, Result)),
    Select(Rec("List", kTypeUnion, kUniGetipResp, offsetof(GetipResp, List)),
           offsetof(GetipResp, Result), 2),
};
constinit LMXEntry kResultSetEntries[] = {
    Num("Verified", kTypeSmallUint, 2, offsetof(ResultSet, Verified)),
};
constinit LMXEntry kVerifyHashOKEntries[] = {
    Num("HashCnt", kTypeSmallUint, 2, offsetof(VerifyHashOK, HashCnt)),
    Refer(Rec("CheckRes", kTypeStruct, kResultSet, offsetof(VerifyHashOK, CheckRes), kMaxFileHash),
          offsetof(VerifyHashOK, HashCnt), 2),
};
constinit LMXEntry kUniVerifyHashRespEntries[] = {
    Member("VerifyHashErr", kRespErr, 1, 0),
    Member("VerifyHashOK", kVerifyHashOK, 0, 0),
};
constinit LMXEntry kVerifyHashRespEntries[] = {
    Num("Result", kTypeSmallUint, 2, offsetof(VerifyHashResp, Result)),
    Select(Rec("List", kTypeUnion, kUniVerifyHashResp, offsetof(VerifyHashResp, List)),
           offsetof(VerifyHashResp, Result), 2),
};
constinit LMXEntry kTclsidEntries[] = {
    Num("Tclsid", kTypeTinyUint, 1, offsetof(ClsidInfo, Tclsid), 37),
    Num("IdVer", kTypeUint, 4, offsetof(ClsidInfo, IdVer)),
};
constinit LMXEntry kGetClsidOKEntries[] = {
    Num("Version", kTypeUint, 4, offsetof(GetClsidOK, Version)),
    Num("ResCnts", kTypeUint, 4, offsetof(GetClsidOK, ResCnts)),
    Refer(Rec("ClsidSet", kTypeStruct, kTclsid, offsetof(GetClsidOK, ClsidSet), kMaxClsid),
          offsetof(GetClsidOK, ResCnts), 4),
    Since(Num("TdllCnts", kTypeUint, 4, offsetof(GetClsidOK, TdllCnts)), 2),
    Since(Refer(Str("Tdlls", kDllNameLen, offsetof(GetClsidOK, Tdlls), kMaxDlls),
                offsetof(GetClsidOK, TdllCnts), 4),
          2),
};
constinit LMXEntry kUniGetClsidRespEntries[] = {
    Member("GetClsidErr", kRespErr, 1, 0),
    Member("GetClsidOK", kGetClsidOK, 0, 0),
};
constinit LMXEntry kGetClsidRespEntries[] = {
    Num("Result", kTypeSmallUint, 2, offsetof(GetClsidResp, Result)),
    Select(Rec("List", kTypeUnion, kUniGetClsidResp, offsetof(GetClsidResp, List)),
           offsetof(GetClsidResp, Result), 2),
};
constinit LMXEntry kPkgBodyEntries[] = {
    Member("GetKoraipReq", kGetKoraipReq, kCsGetKoraip, kCsGetKoraip),
    Member("GetWhiteipReq", kGetWhiteipReq, kCsGetWhiteip, kCsGetWhiteip),
    Member("VerifyHashReq", kVerifyHashReq, kCsVerifyHash, kCsVerifyHash),
    Member("GetClsidReq", kGetClsidReq, kCsGetClsid, kCsGetClsid),
    Member("GetKoraipResp", kGetKoraipResp, kScGetKoraip, kScGetKoraip),
    Member("GetWhiteipResp", kGetWhiteipResp, kScGetWhiteip, kScGetWhiteip),
    Member("VerifyHashResp", kVerifyHashResp, kScVerifyHash, kScVerifyHash),
    Member("GetClsidResp", kGetClsidResp, kScGetClsid, kScGetClsid),
};

// Body: selected by Head.CmdID; its encoded length goes to Head.BodyLen.
constexpr LMXEntry BodyEntry() {
  LMXEntry e = Select(Rec("Body", kTypeUnion, kPkgBody, offsetof(KoraPkg, Body)),
                      offsetof(KoraPkg, Head) + offsetof(PkgHead, CmdID), 2);
  e.sizeInfo = SizeInfo{2, false, offsetof(PkgHead, BodyLen)};
  return e;
}
constinit LMXEntry kKoraPkgEntries[] = {
    Rec("Head", kTypeStruct, kPkgHead, offsetof(KoraPkg, Head)),
    BodyEntry(),
};

template <size_t N>
tagLMXMeta Meta(const char* name, MetaKind kind, uint32_t hostSize,
                LMXEntry (&entries)[N], uint8_t currentVersion = 1) {
  tagLMXMeta m{};
  m.name = name;
  m.kind = kind;
  m.baseVersion = 1;
  m.currentVersion = currentVersion;
  m.hostSize = hostSize;
  m.entries = entries;
  m.entryCount = N;
  return m;
}

bool IsReferred(const tagLMXMeta& m, const LMXEntry& e) {
  for (uint32_t i = 0; i < m.entryCount; ++i)
    if (m.entries[i].refer.width != 0 && m.entries[i].refer.hostOffset == e.hostOffset) return true;
  return false;
}

// Fills in what follows from the host layout: units of compound fields,
// network units and offsets, the largest encoding and the flags.
void Complete(tagLMXMeta& m) {
  LMXEntry* entries = const_cast<LMXEntry*>(m.entries);
  uint32_t netOffset = 0;
  uint32_t largest = 0;
  for (uint32_t i = 0; i < m.entryCount; ++i) {
    LMXEntry& e = entries[i];
    if (e.sub != nullptr) {
      e.hostUnit = e.sub->hostSize;
      e.netUnit = e.sub->maxNetSize;
    } else {
      e.netUnit = e.type == kTypeString ? kStringPrefixWidth + e.stringSize : e.hostUnit;
    }
    e.netOffset = m.kind == MetaKind::kStruct ? netOffset : 0;
    netOffset += e.netUnit * e.count;
    largest = std::max(largest, e.netUnit * e.count);
    if (e.refer.width == 0 && e.type != kTypeString) e.flags |= kFlagFixedSize;
    if (IsReferred(m, e)) e.flags |= kFlagReferred;
    if (m.kind == MetaKind::kUnion && e.minId <= e.maxId) e.flags |= kFlagIdRange;
  }
  m.maxNetSize = m.kind == MetaKind::kStruct ? netOffset : largest;
}

constexpr LMXMacro kMacros[] = {
    {"KORA_VERSION", 1}, {"KORA_VERSION_2", 2}, {"KORA_VERSION_3", 3},
    {"MAX_PKG_LEN", 65535}, {"KORA_MAGIC", 4624},
    {"KORA_CS_CMD_GET_KORAIP", 0x1001}, {"KORA_SC_CMD_GET_KORAIP", 0x9001},
    {"KORA_CS_CMD_GET_WHITEIP", 0x1002}, {"KORA_SC_CMD_GET_WHITEIP", 0x9002},
    {"KORA_CS_CMD_VERIFY_HASH", 0x1003}, {"KORA_SC_CMD_VERIFY_HASH", 0x9003},
    {"KORA_CS_CMD_GET_CLSID", 0x1004}, {"KORA_SC_CMD_GET_CLSID", 0x9004},
    {"KORA_OK", 0}, {"KORA_ERR_SYS", 1}, {"KORA_ERR_BUSY", 2}, {"KORA_ERR_PKG", 3},
    {"KORA_ERR_CMD", 4}, {"KORA_ERR_CHECKSUM", 5}, {"KORA_ERR_MAGIC", 6}, {"KORA_ERR_ARG", 7},
    {"KORA_ERR_NO_DATA", 8}, {"KORA_MAX_SUB_SVCID", 64}, {"KORA_MAX_IP_RECORD", 1024},
    {"KORA_MAX_FILEHASH", 256}, {"KORA_MAX_CLSID", 512}, {"KORA_MAX_DLLS", 256},
    {"KORA_DLL_NAME_LEN", 128}, {"KORA_HASH_NOT_VERIFIED", 0}, {"KORA_HASH_VERIFIED_OK", 1},
    {"KORA_HASH_VERIFIED_FAILED", 2},
};
static_assert(sizeof(kMacros) / sizeof(kMacros[0]) == 31);

LMXNameIndex gIndex[kMetaCount];

LMXLibrary BuildLibrary() {
  constexpr MetaKind S = MetaKind::kStruct;
  constexpr MetaKind U = MetaKind::kUnion;
  gMetas[kPkgHead] = Meta("PkgHead", S, sizeof(PkgHead), kPkgHeadEntries);
  gMetas[kGetKoraipReq] = Meta("GetKoraipReq", S, sizeof(GetKoraipReq), kGetipReqEntries);
  gMetas[kGetWhiteipReq] = Meta("GetWhiteipReq", S, sizeof(GetWhiteipReq), kGetipReqEntries);
  gMetas[kGetClsidReq] = Meta("GetClsidReq", S, sizeof(GetClsidReq), kGetClsidReqEntries);
  gMetas[kHashInfo] = Meta("HashInfo", S, sizeof(HashInfo), kHashInfoEntries);
  gMetas[kVerifyHashReq] = Meta("VerifyHashReq", S, sizeof(VerifyHashReq), kVerifyHashReqEntries);
  gMetas[kRespErr] = Meta("RespErr", S, sizeof(RespErr), kRespErrEntries);
  gMetas[kIPInfo] = Meta("IPInfo", S, sizeof(IPInfo), kIPInfoEntries);
  gMetas[kGetipOK] = Meta("GetipOK", S, sizeof(GetipOK), kGetipOKEntries);
  gMetas[kUniGetipResp] = Meta("uniGetipResp", U, sizeof(uniGetipResp), kUniGetipRespEntries);
  gMetas[kGetKoraipResp] = Meta("GetKoraipResp", S, sizeof(GetKoraipResp), kGetipRespEntries);
  gMetas[kGetWhiteipResp] = Meta("GetWhiteipResp", S, sizeof(GetWhiteipResp), kGetipRespEntries);
  gMetas[kResultSet] = Meta("ResultSet", S, sizeof(ResultSet), kResultSetEntries);
  gMetas[kVerifyHashOK] = Meta("VerifyHashOK", S, sizeof(VerifyHashOK), kVerifyHashOKEntries);
  gMetas[kUniVerifyHashResp] =
      Meta("uniVerifyHashResp", U, sizeof(uniVerifyHashResp), kUniVerifyHashRespEntries);
  gMetas[kVerifyHashResp] =
      Meta("VerifyHashResp", S, sizeof(VerifyHashResp), kVerifyHashRespEntries);
  gMetas[kTclsid] = Meta("Tclsid", S, sizeof(ClsidInfo), kTclsidEntries);
  gMetas[kGetClsidOK] = Meta("GetClsidOK", S, sizeof(GetClsidOK), kGetClsidOKEntries, 2);
  gMetas[kUniGetClsidResp] =
      Meta("uniGetClsidResp", U, sizeof(uniGetClsidResp), kUniGetClsidRespEntries);
  gMetas[kGetClsidResp] = Meta("GetClsidResp", S, sizeof(GetClsidResp), kGetClsidRespEntries);
  gMetas[kPkgBody] = Meta("PkgBody", U, sizeof(PkgBody), kPkgBodyEntries);
  gMetas[kKoraPkg] = Meta("KoraPkg", S, sizeof(KoraPkg), kKoraPkgEntries);
  gMetas[kKoraPkg].versionIndicator = VersionIndicator{1, offsetof(PkgHead, Version),
                                                       offsetof(PkgHead, Version)};
  for (tagLMXMeta& m : gMetas) Complete(m);  // leaves come first in gMetas
  for (uint32_t i = 0; i < kMetaCount; ++i) gIndex[i] = LMXNameIndex{gMetas[i].name, i};
  std::sort(gIndex, gIndex + kMetaCount, [](const LMXNameIndex& a, const LMXNameIndex& b) {
    return strcmp(a.name, b.name) < 0;
  });
  return LMXLibrary{"KoraNet", 1, kMacros, 31, gMetas, kMetaCount, gIndex};
}

}  // namespace

const LMXLibrary* KoraNetLibrary() {
  static const LMXLibrary library = BuildLibrary();
  return &library;
}

}  // namespace gavio::kora
