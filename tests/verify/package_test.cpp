// The package serialisation: packages packed by the exports compared with
// bytes written by hand from the wire rules, decoded back, and hostile or
// oversized packages refused with the walker's error codes. Every decode
// reads from a buffer of exactly the package's size, so a read past it is
// caught by the sanitizer build.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gavio/gavio.h"
#include "verify/kora_protocol.h"

namespace gavio::kora {
namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<KoraPkg> NewPackage(uint16_t cmd) {
  auto pkg = std::make_unique<KoraPkg>();
  memset(pkg.get(), 0, sizeof(KoraPkg));
  pkg->Head.Magic = kMagic;
  pkg->Head.Version = 1;
  pkg->Head.HeadLen = kHeadLen;
  pkg->Head.CmdID = cmd;
  return pkg;
}

const tagLMXMeta* PackageMeta() {
  const tagLMXMeta* meta = nullptr;
  EXPECT_EQ(initPrototol(&meta), 0);
  return meta;
}

// Head as it goes on the wire: version 1, the body length, the checksum.
Bytes Head(uint16_t cmd, uint16_t bodyLen, uint16_t checksum) {
  return {0x12, 0x10, 1, 16, uint8_t(bodyLen >> 8), uint8_t(bodyLen), uint8_t(cmd >> 8),
          uint8_t(cmd), 0, 0, 0, 0, uint8_t(checksum >> 8), uint8_t(checksum), 0, 0};
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Packed(KoraPkg* pkg, int32_t* rc) {
  std::vector<char> out(65536);
  uint32_t length = 65535;
  *rc = pack(PackageMeta(), pkg, out.data(), &length, kVersion3);
  if (*rc < 0) return {};
  EXPECT_EQ(static_cast<uint32_t>(*rc), length);
  return Bytes(out.begin(), out.begin() + length);
}

int32_t Unpacked(const Bytes& wire, KoraPkg* pkg) {
  std::vector<char> exact(wire.begin(), wire.end());
  return unpack(PackageMeta(), exact.data(), static_cast<uint32_t>(exact.size()), pkg);
}

struct GoldenCase {
  const char* name;
  void (*fill)(KoraPkg*);
  Bytes wire;
};

void FillKoraipReq(KoraPkg* p) {
  strcpy(p->Body.GetKoraipReq_.SvcID, "ab");
  p->Body.GetKoraipReq_.IpDataVer = 7;
}

void FillVerifyHashReq(KoraPkg* p) {
  VerifyHashReq& r = p->Body.VerifyHashReq_;
  strcpy(r.SvcID, "s");
  r.HashCnt = 2;
  strcpy(r.HashSet[0].FileName, "f1");
  r.HashSet[0].HashLen = 3;
  memcpy(r.HashSet[0].Hash, "abc", 3);
  strcpy(r.HashSet[1].FileName, "");
}

void FillKoraipResp(KoraPkg* p) {
  GetipResp& r = p->Body.GetKoraipResp_;
  r.List.GetipOk.Version = 5;
  r.List.GetipOk.ResCnts = 1;
  IPInfo& info = r.List.GetipOk.IPSet[0];
  strcpy(info.SubSvcID, "x");
  info.TotalCnt = 2;
  info.HpCnt = 1;
  info.Addr[0] = 0x0100007f;
  info.Addr[1] = 0x04030201;
}

void FillVerifyHashError(KoraPkg* p) {
  VerifyHashResp& r = p->Body.VerifyHashResp_;
  r.Result = 3;
  r.List.VerifyHashErr.MsgLen = 4;
  memcpy(r.List.VerifyHashErr.Msg, "busy", 4);
}

void FillClsidResp(KoraPkg* p) {
  GetClsidOK& ok = p->Body.GetClsidResp_.List.GetClsidOk;
  ok.Version = 9;
  ok.ResCnts = 1;
  memset(ok.ClsidSet[0].Tclsid, 'C', 36);
  ok.ClsidSet[0].IdVer = 2;
}

void FillVerifyHashOk(KoraPkg* p) {
  VerifyHashOK& ok = p->Body.VerifyHashResp_.List.VerifyHashOk;
  ok.HashCnt = 2;
  ok.CheckRes[0].Verified = 1;
  ok.CheckRes[1].Verified = 2;
}

void FillKoraipUnchanged(KoraPkg* p) { p->Body.GetKoraipResp_.List.GetipOk.Version = 4; }

// Checksums: one's complement of 0x1210 + 0x1003 (magic; version 3 and
// head length 16) + the command id.
const GoldenCase kGolden[] = {
    {"GetKoraipReq", FillKoraipReq,
     Head(0x1001, 11, 0xCDEB) + Bytes{0, 0, 0, 3, 'a', 'b', 0, 0, 0, 0, 7}},
    {"VerifyHashReq", FillVerifyHashReq,
     Head(0x1003, 33, 0xCDE9) + Bytes{0, 0, 0, 2, 's', 0, 0, 0, 0, 2} +
         Bytes{0, 0, 0, 3, 'f', '1', 0, 0, 0, 0, 3, 'a', 'b', 'c'} +
         Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0}},
    {"GetKoraipResp", FillKoraipResp,
     Head(0x9001, 28, 0x4DEB) + Bytes{0, 0, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 2, 'x', 0, 0, 2, 0,
                                      1, 1, 0, 0, 0x7f, 4, 3, 2, 1}},
    {"GetKoraipRespUnchanged", FillKoraipUnchanged,
     Head(0x9001, 10, 0x4DEB) + Bytes{0, 0, 0, 0, 0, 4, 0, 0, 0, 0}},
    {"VerifyHashRespError", FillVerifyHashError,
     Head(0x9003, 8, 0x4DE9) + Bytes{0, 3, 0, 4} + Text("busy")},
    {"VerifyHashRespOk", FillVerifyHashOk,
     Head(0x9003, 8, 0x4DE9) + Bytes{0, 0, 0, 2, 0, 1, 0, 2}},
    {"GetClsidRespWithoutDllList", FillClsidResp,
     Head(0x9004, 51, 0x4DE8) + Bytes{0, 0, 0, 0, 0, 9, 0, 0, 0, 1} + Text(std::string(36, 'C')) +
         Bytes{0, 0, 0, 0, 2}},
    {"UnknownCommandHasEmptyBody", [](KoraPkg*) {}, Head(0x7777, 0, 0x6675)},
};

uint16_t CommandOf(const Bytes& wire) { return uint16_t(wire[6] << 8 | wire[7]); }

TEST(PackageTest, PacksGoldenBytesAndDecodesThemBack) {
  for (const GoldenCase& c : kGolden) {
    SCOPED_TRACE(c.name);
    auto pkg = NewPackage(CommandOf(c.wire));
    c.fill(pkg.get());
    int32_t rc = 0;
    EXPECT_EQ(Packed(pkg.get(), &rc), c.wire);
    auto decoded = NewPackage(0);
    memset(decoded.get(), 0, sizeof(KoraPkg));
    ASSERT_EQ(Unpacked(c.wire, decoded.get()), 0);
    EXPECT_EQ(decoded->Head.CmdID, pkg->Head.CmdID);
    EXPECT_EQ(decoded->Head.Version, 1);
    EXPECT_EQ(decoded->Head.BodyLen, c.wire.size() - 16);
    EXPECT_EQ(0, memcmp(&decoded->Body, &pkg->Body, sizeof(PkgBody)));
  }
}

TEST(PackageTest, DllListOfClsidResponseNeverTravels) {
  auto pkg = NewPackage(kScGetClsid);
  FillClsidResp(pkg.get());
  pkg->Body.GetClsidResp_.List.GetClsidOk.TdllCnts = 1;
  strcpy(pkg->Body.GetClsidResp_.List.GetClsidOk.Tdlls[0], "a.dll");
  int32_t rc = 0;
  Bytes wire = Packed(pkg.get(), &rc);
  EXPECT_EQ(wire.size(), 16u + 51u);
  auto decoded = NewPackage(0);
  ASSERT_EQ(Unpacked(wire, decoded.get()), 0);
  const uint32_t dllCount = decoded->Body.GetClsidResp_.List.GetClsidOk.TdllCnts;  // unaligned
  EXPECT_EQ(dllCount, 0u);
}

TEST(PackageTest, CheckSumFollowsTheOnesComplementSum) {
  EXPECT_EQ(CheckSum("abc", 3), 0x9D3B);
  EXPECT_EQ(CheckSum("abc", 0), 0xFFFF);
  EXPECT_EQ(CheckSum("abc", -1), 0xFFFF);
  const uint8_t carries[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00};
  EXPECT_EQ(CheckSum(carries, 6), static_cast<uint16_t>(~0x0002));
}

struct EncodeFailure {
  const char* name;
  void (*fill)(KoraPkg*);
  uint32_t capacity;
  int32_t code;
};

const EncodeFailure kEncodeFailures[] = {
    {"HashCntAboveCount", [](KoraPkg* p) { p->Body.VerifyHashReq_.HashCnt = 257; }, 65535,
     lmx::kErrRefer},
    {"StringFillsItsCapacity",
     [](KoraPkg* p) { memset(p->Body.GetKoraipReq_.SvcID, 'a', 256); }, 65535, lmx::kErrString},
    {"BufferTooSmall", FillKoraipReq, 20, lmx::kErrNetworkSpace},
};

TEST(PackageTest, RefusesRecordsThatCannotBeEncoded) {
  const uint16_t cmds[] = {kCsVerifyHash, kCsGetKoraip, kCsGetKoraip};
  for (size_t i = 0; i < std::size(kEncodeFailures); ++i) {
    const EncodeFailure& c = kEncodeFailures[i];
    SCOPED_TRACE(c.name);
    auto pkg = NewPackage(cmds[i]);
    c.fill(pkg.get());
    std::vector<char> out(c.capacity);
    uint32_t length = c.capacity;
    EXPECT_EQ(pack(PackageMeta(), pkg.get(), out.data(), &length, kVersion3), c.code);
  }
}

TEST(PackageTest, NullLengthCapsThePackageAtItsLargestSize) {
  auto pkg = NewPackage(kCsVerifyHash);
  VerifyHashReq& r = pkg->Body.VerifyHashReq_;
  r.HashCnt = 256;
  for (HashInfo& h : r.HashSet) memset(h.FileName, 'n', 300);
  std::vector<char> out(65536);
  EXPECT_EQ(pack(PackageMeta(), pkg.get(), out.data(), nullptr, kVersion3), lmx::kErrNetworkSpace);
  // With a larger buffer the body would outgrow its 16-bit length field.
  std::vector<char> large(200000);
  uint32_t length = static_cast<uint32_t>(large.size());
  EXPECT_EQ(pack(PackageMeta(), pkg.get(), large.data(), &length, kVersion3),
            lmx::kErrNetworkSpace);
  r.HashCnt = 100;
  EXPECT_EQ(pack(PackageMeta(), pkg.get(), out.data(), nullptr, kVersion3),
            16 + 4 + 1 + 4 + 100 * (4 + 301 + 4));
}

Bytes WithBody(uint16_t cmd, const Bytes& body, int bodyLenDelta = 0) {
  return Head(cmd, uint16_t(body.size() + bodyLenDelta), 0) + body;
}

struct DecodeCase {
  const char* name;
  Bytes wire;
  int32_t code;
};

const DecodeCase kDecodeCases[] = {
    {"TruncatedHead", [] { Bytes b = Head(0x1001, 0, 0); b.resize(10); return b; }(),
     lmx::kErrNetworkSpace},
    {"VersionTwo", [] { Bytes b = Head(0x7777, 0, 0); b[2] = 2; return b; }(), lmx::kErrVersion},
    {"VersionZeroIsCurrent", [] { Bytes b = Head(0x7777, 0, 0); b[2] = 0; return b; }(), 0},
    {"StringPastBuffer", WithBody(0x1001, {0, 0, 0x10, 0, 'a', 0}), lmx::kErrNetworkSpace},
    {"EmptyStringLength", WithBody(0x1001, {0, 0, 0, 0, 0, 0, 0, 0, 0}), lmx::kErrNetworkSpace},
    {"StringWithoutNul", WithBody(0x1001, Bytes{0, 0, 0, 2, 'a', 'b', 0, 0, 0, 7}),
     lmx::kErrString},
    {"StringAboveCapacity",
     WithBody(0x1001, Bytes{0, 0, 1, 0x2c} + Bytes(299, 'a') + Bytes{0, 0, 0, 0, 7}),
     lmx::kErrString},
    {"ReferAboveCount", WithBody(0x9003, {0, 0, 0x01, 0x01, 0, 1}), lmx::kErrRefer},
    {"AddressesAboveCount", WithBody(0x9001, {0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 'x', 0,
                                              0x04, 0x01, 0, 0}),
     lmx::kErrRefer},
    {"MessageAboveCount", WithBody(0x9002, {0, 1, 0, 129, 'a'}), lmx::kErrRefer},
    {"ReferCountPastBuffer", WithBody(0x9003, {0, 0, 0, 3, 0, 1, 0, 1}), lmx::kErrNetworkSpace},
    {"BodyLengthPastBuffer", WithBody(0x9003, {0, 0, 0, 1, 0, 1}, 1), lmx::kErrNetworkSpace},
    {"BodyLengthShorterThanBody", WithBody(0x9003, {0, 0, 0, 1, 0, 1}, -1),
     lmx::kErrNetworkSpace},
    {"TrailingBytesOfNewerPeerSkipped", WithBody(0x9003, {0, 0, 0, 1, 0, 1, 0xEE, 0xEE}, 0), 0},
    {"UnknownCommand", WithBody(0x4242, {}), 0},
};

TEST(PackageTest, DecodesOrRefusesHostilePackages) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    auto pkg = NewPackage(0);
    EXPECT_EQ(Unpacked(c.wire, pkg.get()), c.code);
  }
}

// Every golden package cut short at each length and with bytes flipped at
// random: the decoder either succeeds or fails with one of its codes, and
// never touches memory outside the two buffers.
bool SucceededOrRefused(int32_t rc) {
  return rc == 0 || (static_cast<uint32_t>(rc) & 0xFFFFFF00u) == 0x82010400u;
}

TEST(PackageTest, MangledPackagesStayInsideTheirBuffers) {
  std::mt19937 random(1234);
  auto pkg = NewPackage(0);
  for (const GoldenCase& c : kGolden) {
    for (size_t cut = 0; cut < c.wire.size(); ++cut) {
      int32_t rc = Unpacked(Bytes(c.wire.begin(), c.wire.begin() + cut), pkg.get());
      EXPECT_TRUE(SucceededOrRefused(rc)) << cut;
    }
    for (int round = 0; round < 200; ++round) {
      Bytes wire = c.wire;
      wire[random() % wire.size()] = static_cast<uint8_t>(random());
      int32_t rc = Unpacked(wire, pkg.get());
      EXPECT_TRUE(SucceededOrRefused(rc));
    }
  }
}

}  // namespace
}  // namespace gavio::kora
