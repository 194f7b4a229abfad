// The verification protocol's packages, meta-described against hand-written
// in the same run, in packages per second:
//   - pack and unpack of a full VerifyHashReq (256 files) and of a
//     GetKoraipResp (15 sub-services of 1024 addresses, near the 64 KiB
//     package limit);
//   - the baseline: straight-line code without metadata writing and reading
//     the same bytes, with the same bounds checks on reading.
// Each baseline's output is compared with pack's before timing.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "gavio/gavio.h"
#include "verify/kora_protocol.h"

namespace {

using namespace gavio::kora;

constexpr uint32_t kCapacity = 65535;
constexpr uint32_t kSubServices = 15;

struct PackageDeleter {
  void operator()(KoraPkg* p) const { free(p); }
};
using Package = std::unique_ptr<KoraPkg, PackageDeleter>;

Package NewPackage(uint16_t cmd) {
  Package pkg(static_cast<KoraPkg*>(calloc(1, sizeof(KoraPkg))));
  pkg->Head.Magic = kMagic;
  pkg->Head.Version = kVersion;
  pkg->Head.HeadLen = kHeadLen;
  pkg->Head.CmdID = cmd;
  return pkg;
}

Package HashRequest() {
  Package pkg = NewPackage(kCsVerifyHash);
  VerifyHashReq& r = pkg->Body.VerifyHashReq_;
  strcpy(r.SvcID, "game-service");
  r.HashCnt = kMaxFileHash;
  for (uint32_t i = 0; i < kMaxFileHash; ++i) {
    snprintf(r.HashSet[i].FileName, sizeof r.HashSet[i].FileName, "module_%03u.dll", i);
    r.HashSet[i].HashLen = 32;
    for (int k = 0; k < 32; ++k) r.HashSet[i].Hash[k] = "0123456789ABCDEF"[(i + k) & 15];
  }
  return pkg;
}

Package ServerAnswer() {
  Package pkg = NewPackage(kScGetKoraip);
  GetipOK& ok = pkg->Body.GetKoraipResp_.List.GetipOk;
  ok.Version = 42;
  ok.ResCnts = kSubServices;
  for (uint32_t s = 0; s < kSubServices; ++s) {
    snprintf(ok.IPSet[s].SubSvcID, sizeof ok.IPSet[s].SubSvcID, "zone%u", s);
    ok.IPSet[s].TotalCnt = kMaxIpRecord;
    ok.IPSet[s].HpCnt = 4;
    for (uint32_t a = 0; a < kMaxIpRecord; ++a) ok.IPSet[s].Addr[a] = s << 16 | a;
  }
  return pkg;
}

const tagLMXMeta* Meta() {
  const tagLMXMeta* meta = nullptr;
  initPrototol(&meta);
  return meta;
}

// The hand-written side: a cursor over the wire bytes.
struct Writer {
  char* at;
  char* end;
  bool ok = true;
  void Bytes(const void* p, size_t n) {
    if (static_cast<size_t>(end - at) < n) {
      ok = false;
      return;
    }
    memcpy(at, p, n);
    at += n;
  }
  void U16(uint16_t v) {
    v = htons(v);
    Bytes(&v, 2);
  }
  void U32(uint32_t v) {
    v = htonl(v);
    Bytes(&v, 4);
  }
  void Text(const char* s, size_t capacity) {
    uint32_t n = static_cast<uint32_t>(strnlen(s, capacity - 1) + 1);
    U32(n);
    Bytes(s, n);
  }
};

struct Reader {
  const char* at;
  const char* end;
  bool ok = true;
  void Bytes(void* p, size_t n) {
    if (static_cast<size_t>(end - at) < n) {
      ok = false;
      return;
    }
    memcpy(p, at, n);
    at += n;
  }
  uint16_t U16() {
    uint16_t v = 0;
    Bytes(&v, 2);
    return ntohs(v);
  }
  uint32_t U32() {
    uint32_t v = 0;
    Bytes(&v, 4);
    return ntohl(v);
  }
  void Text(char* out, size_t capacity) {
    uint32_t n = U32();
    if (n == 0 || n > capacity || static_cast<size_t>(end - at) < n || at[n - 1] != '\0') {
      ok = false;
      return;
    }
    Bytes(out, n);
  }
};

// The head as pack writes it: checksum over the host head with version 3
// and no body length, then the wire version 1 and the body length.
void WriteHead(KoraPkg* pkg, Writer* w) {
  PkgHead head = pkg->Head;
  head.Version = kVersion3;
  head.BodyLen = 0;
  head.HeadChkSum = 0;
  head.HeadChkSum = CheckSum(&head, head.HeadLen);
  w->U16(head.Magic);
  *w->at++ = kVersion;
  *w->at++ = static_cast<char>(head.HeadLen);
  w->U16(0);
  w->U16(head.CmdID);
  w->U32(head.Sequence);
  w->U16(head.HeadChkSum);
  w->Bytes(head.Reserved, 2);
}

uint32_t FinishBody(char* start, Writer* w) {
  uint16_t body = htons(static_cast<uint16_t>(w->at - start - sizeof(PkgHead)));
  memcpy(start + 4, &body, 2);
  return w->ok ? static_cast<uint32_t>(w->at - start) : 0;
}

uint32_t HandPackHash(KoraPkg* pkg, char* out, uint32_t capacity) {
  Writer w{out, out + capacity};
  WriteHead(pkg, &w);
  const VerifyHashReq& r = pkg->Body.VerifyHashReq_;
  if (r.HashCnt > kMaxFileHash) return 0;
  w.Text(r.SvcID, sizeof r.SvcID);
  w.U32(r.HashCnt);
  for (uint32_t i = 0; i < r.HashCnt; ++i) {
    const HashInfo& h = r.HashSet[i];
    if (h.HashLen > sizeof h.Hash) return 0;
    w.Text(h.FileName, sizeof h.FileName);
    w.U32(h.HashLen);
    w.Bytes(h.Hash, h.HashLen);
  }
  return FinishBody(out, &w);
}

uint32_t HandPackServers(KoraPkg* pkg, char* out, uint32_t capacity) {
  Writer w{out, out + capacity};
  WriteHead(pkg, &w);
  const GetipResp& r = pkg->Body.GetKoraipResp_;
  w.U16(r.Result);
  const GetipOK& ok = r.List.GetipOk;
  if (ok.ResCnts > kMaxSubSvcId) return 0;
  w.U32(ok.Version);
  w.U32(ok.ResCnts);
  for (uint32_t s = 0; s < ok.ResCnts; ++s) {
    const IPInfo& info = ok.IPSet[s];
    if (info.TotalCnt > kMaxIpRecord) return 0;
    w.Text(info.SubSvcID, sizeof info.SubSvcID);
    w.U16(info.TotalCnt);
    w.U16(info.HpCnt);
    for (uint32_t a = 0; a < info.TotalCnt; ++a) w.U32(info.Addr[a]);
  }
  return FinishBody(out, &w);
}

bool ReadHead(Reader* r, KoraPkg* pkg) {
  PkgHead& h = pkg->Head;
  h.Magic = r->U16();
  r->Bytes(&h.Version, 1);
  r->Bytes(&h.HeadLen, 1);
  h.BodyLen = r->U16();
  h.CmdID = r->U16();
  h.Sequence = r->U32();
  h.HeadChkSum = r->U16();
  r->Bytes(h.Reserved, 2);
  return r->ok && static_cast<size_t>(r->end - r->at) >= h.BodyLen;
}

bool HandUnpackHash(const char* bytes, uint32_t length, KoraPkg* pkg) {
  Reader r{bytes, bytes + length};
  if (!ReadHead(&r, pkg)) return false;
  VerifyHashReq& q = pkg->Body.VerifyHashReq_;
  r.Text(q.SvcID, sizeof q.SvcID);
  q.HashCnt = r.U32();
  if (q.HashCnt > kMaxFileHash) return false;
  for (uint32_t i = 0; r.ok && i < q.HashCnt; ++i) {
    HashInfo& h = q.HashSet[i];
    r.Text(h.FileName, sizeof h.FileName);
    h.HashLen = r.U32();
    if (h.HashLen > sizeof h.Hash) return false;
    r.Bytes(h.Hash, h.HashLen);
  }
  return r.ok;
}

bool HandUnpackServers(const char* bytes, uint32_t length, KoraPkg* pkg) {
  Reader r{bytes, bytes + length};
  if (!ReadHead(&r, pkg)) return false;
  GetipResp& resp = pkg->Body.GetKoraipResp_;
  resp.Result = r.U16();
  GetipOK& ok = resp.List.GetipOk;
  ok.Version = r.U32();
  ok.ResCnts = r.U32();
  if (ok.ResCnts > kMaxSubSvcId) return false;
  for (uint32_t s = 0; r.ok && s < ok.ResCnts; ++s) {
    IPInfo& info = ok.IPSet[s];
    r.Text(info.SubSvcID, sizeof info.SubSvcID);
    info.TotalCnt = r.U16();
    info.HpCnt = r.U16();
    if (info.TotalCnt > kMaxIpRecord) return false;
    for (uint32_t a = 0; r.ok && a < info.TotalCnt; ++a) info.Addr[a] = r.U32();
  }
  return r.ok;
}

using HandPack = uint32_t (*)(KoraPkg*, char*, uint32_t);
using HandUnpack = bool (*)(const char*, uint32_t, KoraPkg*);

struct Kind {
  Package (*make)();
  HandPack pack;
  HandUnpack unpack;
};
const Kind kHash{HashRequest, HandPackHash, HandUnpackHash};
const Kind kServers{ServerAnswer, HandPackServers, HandUnpackServers};

// pack's bytes, after checking that the hand-written encoder agrees.
std::string Wire(const Kind& kind, benchmark::State& state) {
  Package pkg = kind.make();
  std::string meta(kCapacity + 1, '\0'), hand(kCapacity + 1, '\0');
  uint32_t length = kCapacity;
  if (pack(Meta(), pkg.get(), meta.data(), &length, kVersion3) <= 0) {
    state.SkipWithError("pack failed");
    return std::string();
  }
  uint32_t handLength = kind.pack(pkg.get(), hand.data(), kCapacity);
  if (handLength != length || memcmp(meta.data(), hand.data(), length) != 0) {
    state.SkipWithError("the hand-written encoder differs from pack");
    return std::string();
  }
  meta.resize(length);
  return meta;
}

void Count(benchmark::State& state, size_t bytes) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["packages/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Pack(benchmark::State& state, const Kind* kind, bool meta) {
  const std::string wire = Wire(*kind, state);
  Package pkg = kind->make();
  std::string out(kCapacity + 1, '\0');
  for (auto _ : state) {
    uint32_t length = kCapacity;
    uint32_t n = meta ? static_cast<uint32_t>(pack(Meta(), pkg.get(), out.data(), &length, kVersion3))
                      : kind->pack(pkg.get(), out.data(), kCapacity);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  Count(state, wire.size());
}

void Unpack(benchmark::State& state, const Kind* kind, bool meta) {
  const std::string wire = Wire(*kind, state);
  Package pkg = kind->make();
  const uint32_t length = static_cast<uint32_t>(wire.size());
  for (auto _ : state) {
    bool ok = meta ? unpack(Meta(), wire.data(), length, pkg.get()) == 0
                   : kind->unpack(wire.data(), length, pkg.get());
    if (!ok) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(pkg.get());
    benchmark::ClobberMemory();
  }
  Count(state, wire.size());
}

BENCHMARK_CAPTURE(Pack, VerifyHashReq_meta, &kHash, true);
BENCHMARK_CAPTURE(Pack, VerifyHashReq_hand, &kHash, false);
BENCHMARK_CAPTURE(Unpack, VerifyHashReq_meta, &kHash, true);
BENCHMARK_CAPTURE(Unpack, VerifyHashReq_hand, &kHash, false);
BENCHMARK_CAPTURE(Pack, GetKoraipResp_meta, &kServers, true);
BENCHMARK_CAPTURE(Pack, GetKoraipResp_hand, &kServers, false);
BENCHMARK_CAPTURE(Unpack, GetKoraipResp_meta, &kServers, true);
BENCHMARK_CAPTURE(Unpack, GetKoraipResp_hand, &kServers, false);

}  // namespace

BENCHMARK_MAIN();
