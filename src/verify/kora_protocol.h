// The verification service's packages as they lie in memory: packed
// records (no padding), multi-byte fields in host order. The meta library
// "KoraNet" describes them for the serialisation walkers.
#pragma once

#include <stdint.h>

#include "verify/lmx.h"

namespace gavio::kora {

constexpr int32_t kVersion = 1;
constexpr int32_t kVersion2 = 2;
constexpr int32_t kVersion3 = 3;
constexpr uint32_t kMaxPkgLen = 65535;
constexpr uint16_t kMagic = 0x1210;
constexpr uint16_t kCsGetKoraip = 0x1001;
constexpr uint16_t kScGetKoraip = 0x9001;
constexpr uint16_t kCsGetWhiteip = 0x1002;
constexpr uint16_t kScGetWhiteip = 0x9002;
constexpr uint16_t kCsVerifyHash = 0x1003;
constexpr uint16_t kScVerifyHash = 0x9003;
constexpr uint16_t kCsGetClsid = 0x1004;
constexpr uint16_t kScGetClsid = 0x9004;
constexpr uint16_t kOk = 0;
constexpr uint32_t kMaxSubSvcId = 64;
constexpr uint32_t kMaxIpRecord = 1024;
constexpr uint32_t kMaxFileHash = 256;
constexpr uint32_t kMaxClsid = 512;
constexpr uint32_t kMaxDlls = 256;
constexpr uint32_t kDllNameLen = 128;
constexpr uint8_t kHeadLen = 16;

#pragma pack(push, 1)

struct PkgHead {
  uint16_t Magic;
  uint8_t Version;
  uint8_t HeadLen;
  uint16_t BodyLen;
  uint16_t CmdID;
  uint32_t Sequence;
  uint16_t HeadChkSum;
  uint8_t Reserved[2];
};

struct GetKoraipReq {
  char SvcID[256];
  uint32_t IpDataVer;
};
using GetWhiteipReq = GetKoraipReq;

struct GetClsidReq {
  char SvcID[256];
  uint32_t DataVer;
};

struct HashInfo {
  char FileName[512];
  uint32_t HashLen;
  char Hash[64];
};

struct VerifyHashReq {
  char SvcID[512];
  uint32_t HashCnt;
  HashInfo HashSet[kMaxFileHash];
};

struct RespErr {
  uint16_t MsgLen;
  char Msg[128];
};

struct IPInfo {
  char SubSvcID[64];
  uint16_t TotalCnt;
  uint16_t HpCnt;
  uint32_t Addr[kMaxIpRecord];
};

struct GetipOK {
  uint32_t Version;
  uint32_t ResCnts;
  IPInfo IPSet[kMaxSubSvcId];
};

union uniGetipResp {
  RespErr GetipErr;
  GetipOK GetipOk;
};

struct GetipResp {
  uint16_t Result;
  uniGetipResp List;
};
using GetKoraipResp = GetipResp;
using GetWhiteipResp = GetipResp;

struct ResultSet {
  uint16_t Verified;
};

struct VerifyHashOK {
  uint16_t HashCnt;
  ResultSet CheckRes[kMaxFileHash];
};

union uniVerifyHashResp {
  RespErr VerifyHashErr;
  VerifyHashOK VerifyHashOk;
};

struct VerifyHashResp {
  uint16_t Result;
  uniVerifyHashResp List;
};

// "Tclsid" in the meta library; its first field has the record's name.
struct ClsidInfo {
  uint8_t Tclsid[37];
  uint32_t IdVer;
};

struct GetClsidOK {
  uint32_t Version;
  uint32_t ResCnts;
  ClsidInfo ClsidSet[kMaxClsid];
  uint32_t TdllCnts;  // version 2 only
  char Tdlls[kMaxDlls][kDllNameLen];  // version 2 only
};

union uniGetClsidResp {
  RespErr GetClsidErr;
  GetClsidOK GetClsidOk;
};

struct GetClsidResp {
  uint16_t Result;
  uniGetClsidResp List;
};

union PkgBody {
  GetKoraipReq GetKoraipReq_;
  GetWhiteipReq GetWhiteipReq_;
  VerifyHashReq VerifyHashReq_;
  GetClsidReq GetClsidReq_;
  GetKoraipResp GetKoraipResp_;
  GetWhiteipResp GetWhiteipResp_;
  VerifyHashResp VerifyHashResp_;
  GetClsidResp GetClsidResp_;
};

struct KoraPkg {
  PkgHead Head;
  PkgBody Body;
};

#pragma pack(pop)

static_assert(sizeof(PkgHead) == 16);
static_assert(sizeof(GetKoraipReq) == 260 && sizeof(GetClsidReq) == 260);
static_assert(sizeof(HashInfo) == 580 && offsetof(HashInfo, Hash) == 516);
static_assert(sizeof(VerifyHashReq) == 148996 && offsetof(VerifyHashReq, HashSet) == 516);
static_assert(sizeof(RespErr) == 130);
static_assert(sizeof(IPInfo) == 4164 && offsetof(IPInfo, Addr) == 68);
static_assert(sizeof(GetipOK) == 266504 && sizeof(GetipResp) == 266506);
static_assert(sizeof(VerifyHashOK) == 514 && sizeof(VerifyHashResp) == 516);
static_assert(sizeof(ClsidInfo) == 41);
static_assert(offsetof(GetClsidOK, TdllCnts) == 21000 && offsetof(GetClsidOK, Tdlls) == 21004);
static_assert(sizeof(GetClsidOK) == 53772 && sizeof(GetClsidResp) == 53774);
static_assert(sizeof(KoraPkg) == 266522 && offsetof(KoraPkg, Body) == 16);

// The meta library "KoraNet".
const LMXLibrary* KoraNetLibrary();

}  // namespace gavio::kora
