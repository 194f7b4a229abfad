// Requests and answers of the verification service, between the packages
// on the wire and the client's own records.
#include "verify/kora_answers.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "gavio/gavio.h"

namespace gavio::kora {
namespace {

// A zeroed package record on the heap (266522 bytes: too big for a stack).
std::unique_ptr<KoraPkg, decltype(&free)> NewPackage() {
  return {static_cast<KoraPkg*>(calloc(1, sizeof(KoraPkg))), &free};
}

const tagLMXMeta* PackageMeta() {
  const tagLMXMeta* meta = nullptr;
  return initPrototol(&meta) == 0 ? meta : nullptr;
}

// Fields of the packed records may lie at any address: taken by value,
// never bound to a reference.
uint32_t Capped(uint32_t value, uint32_t cap) { return value < cap ? value : cap; }

// Copies a text of at most capacity bytes that may lack its NUL.
void CopyBounded(char* out, size_t outSize, const char* text, size_t capacity) {
  size_t length = std::min(strnlen(text, capacity), outSize - 1);
  memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace

uint32_t AnnouncedLength(const char* bytes, uint32_t length) {
  if (bytes == nullptr || length < sizeof(PkgHead)) return 0;
  const auto* head = reinterpret_cast<const uint8_t*>(bytes);
  return static_cast<uint32_t>(head[3]) + (static_cast<uint32_t>(head[4]) << 8 | head[5]);
}

bool PackageArriving(const char* bytes, uint32_t length) {
  return length < sizeof(PkgHead) || length < AnnouncedLength(bytes, length);
}

bool AppendRequest(uint16_t cmd, const void* record, uint32_t recordSize, uint32_t capacity,
                   std::string* wire) {
  const tagLMXMeta* meta = PackageMeta();
  auto pkg = NewPackage();
  if (meta == nullptr || pkg == nullptr || recordSize > sizeof(PkgBody) ||
      wire->size() >= capacity) {
    return false;
  }
  pkg->Head.Magic = kMagic;
  pkg->Head.Version = kVersion;
  pkg->Head.HeadLen = kHeadLen;
  pkg->Head.CmdID = cmd;
  memcpy(&pkg->Body, record, recordSize);
  std::string bytes(kMaxPkgLen + 1, '\0');
  uint32_t length = std::min<uint32_t>(kMaxPkgLen, capacity - static_cast<uint32_t>(wire->size()));
  if (pack(meta, pkg.get(), bytes.data(), &length, kVersion3) <= 0) return false;
  wire->append(bytes.data(), length);
  return true;
}

uint32_t DecodeHashAnswer(const char* bytes, uint32_t length, HashAnswer* out) {
  // Less than the head announces cannot decode: no need to try.
  const uint32_t announced = AnnouncedLength(bytes, length);
  if (announced == 0 || length < announced) return 0;
  const tagLMXMeta* meta = PackageMeta();
  auto pkg = NewPackage();
  if (meta == nullptr || pkg == nullptr || unpack(meta, bytes, length, pkg.get()) != 0) return 0;
  *out = HashAnswer();
  if (pkg->Head.CmdID != kScVerifyHash) {
    out->error.secondCode = kVerifyErrorDecode;
    snprintf(out->error.reason, sizeof out->error.reason, "Error : Command dismatch!");
    return length;
  }
  const VerifyHashResp& answer = pkg->Body.VerifyHashResp_;
  if (answer.Result != kOk) {
    FillRefusal(answer.List.VerifyHashErr, kVerifyErrorHashResult, &out->error);
    return length;
  }
  out->kind = HashAnswer::kVerdicts;
  out->count = Capped(answer.List.VerifyHashOk.HashCnt, kHashCheckMaxFiles);
  for (uint32_t i = 0; i < out->count; ++i) {
    out->verdicts[i] = answer.List.VerifyHashOk.CheckRes[i].Verified;
  }
  return length;
}

bool FillHashResult(const HashCheckTask& task, const HashAnswer& answer, HashCheckResult* result) {
  const uint32_t files = std::min<uint32_t>(task.count, kHashCheckMaxFiles);
  result->count = std::min(answer.count, files);
  bool allVerified = true;
  for (uint32_t i = 0; i < result->count; ++i) {
    CopyBounded(result->paths[i], kVerifyPathMax, task.paths[i], kVerifyPathMax);
    switch (answer.verdicts[i]) {
      case 1:
        result->verdicts[i] = kHashPassed;
        break;
      case 2:
        result->verdicts[i] = kHashFailed;
        break;
      default:
        // Not verified, or a verdict the service should not send: never a pass.
        result->verdicts[i] = kHashNotVerified;
        allVerified = false;
        break;
    }
  }
  return allVerified;
}

void FillUnverifiedResult(const HashCheckTask& task, HashCheckResult* result) {
  result->count = std::min<uint32_t>(task.count, kHashCheckMaxFiles);
  for (uint32_t i = 0; i < result->count; ++i) {
    CopyBounded(result->paths[i], kVerifyPathMax, task.paths[i], kVerifyPathMax);
    result->verdicts[i] = kHashNotVerified;
  }
}

uint32_t WalkPackages(const char* bytes, uint32_t length,
                      const std::function<bool(const KoraPkg&)>& visit) {
  const tagLMXMeta* meta = PackageMeta();
  auto pkg = NewPackage();
  if (meta == nullptr || pkg == nullptr) return 0;
  uint32_t used = 0;
  while (used < length) {
    const uint32_t announced = AnnouncedLength(bytes + used, length - used);
    if (announced == 0 || announced > length - used) break;
    memset(pkg.get(), 0, sizeof(KoraPkg));
    if (unpack(meta, bytes + used, announced, pkg.get()) != 0) break;
    used += announced;
    if (!visit(*pkg)) break;
  }
  return used;
}

void ConvertServerList(const GetipOK& ok, ServerListInfo* out) {
  out->version = ok.Version;
  out->subServiceCount = Capped(ok.ResCnts, kMaxSubServices);
  for (uint32_t i = 0; i < out->subServiceCount; ++i) {
    const IPInfo& in = ok.IPSet[i];
    SubServiceInfo& sub = out->subServices[i];
    CopyBounded(sub.name, sizeof sub.name, in.SubSvcID, sizeof in.SubSvcID);
    sub.addressCount = Capped(in.TotalCnt, kMaxSubServiceAddresses);
    // A recommended count past the addresses would point at addresses
    // that were never sent.
    sub.recommendedCount = Capped(in.HpCnt, sub.addressCount);
    memcpy(sub.addresses, in.Addr, sub.addressCount * sizeof(uint32_t));
  }
}

void ConvertControlIds(const GetClsidOK& ok, ControlIdInfo* out) {
  out->version = ok.Version;
  out->classIdCount = Capped(ok.ResCnts, kMaxControlIds);
  for (uint32_t i = 0; i < out->classIdCount; ++i) {
    const ClsidInfo& in = ok.ClsidSet[i];
    ControlIdEntry& entry = out->classIds[i];
    entry.version = in.IdVer;
    const char* text = reinterpret_cast<const char*>(in.Tclsid);
    if (strnlen(text, sizeof in.Tclsid) < sizeof in.Tclsid) {
      CopyBounded(entry.classId, sizeof entry.classId, text, sizeof in.Tclsid);
    }
  }
  out->dllCount = Capped(ok.TdllCnts, kMaxControlDlls);
  for (uint32_t i = 0; i < out->dllCount; ++i) {
    if (strnlen(ok.Tdlls[i], kDllNameLen) < kDllNameLen) {
      CopyBounded(out->dllNames[i], sizeof out->dllNames[i], ok.Tdlls[i], kDllNameLen);
    }
  }
}

void FillRefusal(const RespErr& refusal, uint32_t code, VerifyError* out) {
  *out = VerifyError();
  out->secondCode = code;
  const size_t length = std::min<size_t>(refusal.MsgLen, sizeof refusal.Msg);
  memcpy(out->reason, refusal.Msg, length);
  out->reason[length] = '\0';
}

}  // namespace gavio::kora
