// VerifyInfoProtocalHandler (1186): fetches the verification server list,
// the white server list and the trusted control class ids in one exchange,
// one package per kind asked for, and reports each kind as its answer
// arrives.
#include <stdio.h>
#include <string.h>

#include <new>

#include "gavio/ids.h"
#include "gavio/verify.h"
#include "platform/errors.h"
#include "verify/kora_answers.h"
#include "verify/protocol_handler.h"

namespace gavio {
namespace {

using kora::KoraPkg;

constexpr uint32_t kFetchWireCapacity = 131072;
constexpr uint32_t kAllKinds = kFetchVerifyServers | kFetchWhiteServers | kFetchControlIds;

#pragma pack(push, 1)
// The kinds still outstanding and their requests; also the pending request
// of the exchange, so a new connection asks only for what is missing.
struct FetchRecord {
  uint32_t flags;
  kora::GetKoraipReq verifyServers;
  kora::GetWhiteipReq whiteServers;
  kora::GetClsidReq controlIds;
};
#pragma pack(pop)
static_assert(sizeof(FetchRecord) == 784, "pending fetch record is 784 bytes");

int Tick() { return static_cast<int>(GetTickCount()); }

// One kind of list: its flag, its request and response ids, and its texts.
struct Kind {
  uint32_t flag;
  uint16_t request;
  uint16_t response;
  const char* refusedDebugText;
  const char* failedLog;  // parser failure entry
  const char* errorLog;   // error callback
};

constexpr Kind kKinds[] = {
    {kFetchVerifyServers, kora::kCsGetKoraip, kora::kScGetKoraip,
     "error : Get VerifyServer fail, reason:\n",
     "Get Verify Server Fail! time : 【 %d 】, LastErrorCode : 【 0x%x 】",
     "Fetch VerifyServer Fail!time : 【 %d 】, LastErrorCode : 【 0x%x 】"},
    {kFetchWhiteServers, kora::kCsGetWhiteip, kora::kScGetWhiteip,
     "error : Get Whiteip fail, reason :\n",
     "Get White Server Fail! time : 【 %d 】, LastErrorCode : 【 0x%x 】 ",
     "Fetch WhiteServer Fail!time : 【 %d 】, LastErrorCode : 【 0x%x 】"},
    {kFetchControlIds, kora::kCsGetClsid, kora::kScGetClsid, "error : Get Clsid fail, reason :\n",
     "Get Control ID Fail! time : 【 %d 】, LastErrorCode : 【 0x%x 】",
     "Fetch ControlID Fail!time : 【 %d 】, LastErrorCode : 【 0x%x 】"},
};

const void* RequestOf(const FetchRecord& record, uint32_t flag) {
  if (flag == kFetchVerifyServers) return &record.verifyServers;
  if (flag == kFetchWhiteServers) return &record.whiteServers;
  return &record.controlIds;
}

constexpr HandlerTexts kVerifyInfoTexts = {
    .name = "VerifyInfoProtocalHandler",
    .finalizeLog = "CVerifyInfoProtocalHandler::ComponentFinalize(), this = 0x%x",
    .nullConfigPathIsError = true,
};

class VerifyInfoProtocalHandler final
    : public ProtocolHandlerComponent<kVerifyInfoHandlerId, IVerifyInfoHandler, IVerifyInfoSink> {
 public:
  VerifyInfoProtocalHandler() : ProtocolHandlerComponent(kVerifyInfoTexts) {}

  int32_t Fetch(const char* serviceName, const FetchRequest* request) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (serviceName == nullptr || request == nullptr || (request->flags & kAllKinds) == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    base_.EndExchange();
    memset(&fetch_, 0, sizeof fetch_);
    fetch_.flags = request->flags & kAllKinds;
    const bool nameFits = strlen(serviceName) < sizeof fetch_.verifyServers.SvcID;
    if (fetch_.flags & kFetchVerifyServers) {
      log_.Trace("Fetch Verify Server, Service : %s time : 【 %d 】", serviceName, Tick());
      if (nameFits) strcpy(fetch_.verifyServers.SvcID, serviceName);
      fetch_.verifyServers.IpDataVer = request->verifyServerVersion;
    }
    if (fetch_.flags & kFetchWhiteServers) {
      log_.Trace("Fetch white Server, service : %s time : 【 %d 】", serviceName, Tick());
      if (nameFits) strcpy(fetch_.whiteServers.SvcID, serviceName);
      fetch_.whiteServers.IpDataVer = request->whiteServerVersion;
    }
    if (fetch_.flags & kFetchControlIds) {
      log_.Trace("Fetch control id, service : %s time : 【 %d 】", serviceName, Tick());
      if (nameFits) strcpy(fetch_.controlIds.SvcID, serviceName);
      fetch_.controlIds.DataVer = request->controlIdVersion;
    }
    const int32_t sent = base_.SendPackage(&fetch_, sizeof fetch_);
    // A request that could not go out is dropped with the exchange: the
    // caller has the failure, and nothing is left to be sent later.
    if (sent == 0) base_.EndExchange();
    if (sent != 0) {
      log_.Trace("Submit Fetch VerityInfo Task Success!time : 【 %d 】", Tick());
    } else {
      log_.Error("Submit Fetch VerityInfo fail, LastErrorCode : 【 0x%x 】,\t\t\t\ttime : 【 %d 】",
                 base_.LastError(), Tick());
    }
    return sent;
  }

 private:
  // TProtocalHandler::IParser
  bool BuildWire(const std::string& request, std::string* wire) override {
    if (request.size() != sizeof(FetchRecord)) return false;
    FetchRecord record;
    memcpy(&record, request.data(), sizeof record);
    // A kind left out would never be answered: the exchange would only end
    // at its time-out, so a request that does not encode whole is refused.
    for (const Kind& kind : kKinds) {
      if ((record.flags & kind.flag) == 0) continue;
      if (!kora::AppendRequest(kind.request, RequestOf(record, kind.flag),
                               sizeof(kora::GetKoraipReq), kFetchWireCapacity, wire)) {
        return false;
      }
    }
    return true;
  }

  uint32_t Decode(const char* bytes, uint32_t length) override {
    const uint64_t exchange = base_.Exchange();
    return kora::WalkPackages(bytes, length, [&](const KoraPkg& pkg) {
      // Answers of kinds not (or no longer) asked for are passed over: each
      // kind is reported once.
      for (const Kind& kind : kKinds) {
        if (pkg.Head.CmdID == kind.response && (fetch_.flags & kind.flag) != 0) OnAnswer(kind, pkg);
      }
      // A listener that destroyed the handler or started another fetch
      // ends this walk.
      return IsInitialised() && exchange == base_.Exchange();
    });
  }

  void OnExchangeError(uint32_t code) override {
    log_.Error(
        "VerifyInfoProtocalHandler VerifyInfoError , ErrorCode : 【 0x%x 】! time : 【 %d 】", code,
        Tick());
    base_.EndExchange();
    VerifyError error{};
    error.firstCode = code;
    if (code == kVerifyErrorConnect) {
      snprintf(error.reason, sizeof error.reason, "建立TCP连接失败,拉取验证信息超时!");
    } else if (code == kVerifyErrorTimeout) {
      snprintf(error.reason, sizeof error.reason, "拉取验证信息超时!");
    }
    const uint32_t outstanding = fetch_.flags;
    fetch_.flags = 0;
    for (const Kind& kind : kKinds) {
      if ((outstanding & kind.flag) == 0) continue;
      log_.Error(kind.errorLog, Tick(), code);
      NotifyFailure(kind, &error);
    }
  }

  // One decoded answer of a kind: parser success or failure entry.
  void OnAnswer(const Kind& kind, const KoraPkg& pkg) {
    fetch_.flags &= ~kind.flag;
    base_.KeepPending(&fetch_, sizeof fetch_);
    if (fetch_.flags == 0) base_.EndExchange();
    // Every response starts with Result, then the refusal member.
    const kora::VerifyHashResp& head = pkg.Body.VerifyHashResp_;
    if (head.Result != kora::kOk) {
      VerifyError error;
      kora::FillRefusal(head.List.VerifyHashErr, kVerifyErrorListResult, &error);
      OutputDebugStringA(kind.refusedDebugText);
      OutputDebugStringA(error.reason);
      base_.SetError(error.secondCode);
      log_.Error(kind.failedLog, Tick(), error.secondCode);
      NotifyFailure(kind, &error);
      return;
    }
    if (kind.flag == kFetchControlIds) {
      ReportControlIds(pkg.Body.GetClsidResp_.List.GetClsidOk);
    } else {
      ReportServers(kind, pkg.Body.GetKoraipResp_.List.GetipOk);
    }
  }

  void ReportServers(const Kind& kind, const kora::GetipOK& ok) {
    auto* info = static_cast<ServerListInfo*>(memory_.AllocateZeroed(sizeof(ServerListInfo)));
    if (info == nullptr) return;
    kora::ConvertServerList(ok, info);
    base_.SetError(0);
    const bool verify = kind.flag == kFetchVerifyServers;
    log_.Trace(verify ? "Get Verify Server Success! time : 【 %d 】"
                      : "Get White Server Success! time : 【 %d 】",
               Tick());
    listeners_.Notify(this, [&](IVerifyInfoSink* l) {
      if (verify) {
        l->OnGetVerifyServer(info);
      } else {
        l->OnGetWhiteServer(info);
      }
    });
    memory_.Release(info);
  }

  void ReportControlIds(const kora::GetClsidOK& ok) {
    auto* info = static_cast<ControlIdInfo*>(memory_.AllocateZeroed(sizeof(ControlIdInfo)));
    if (info == nullptr) return;
    kora::ConvertControlIds(ok, info);
    base_.SetError(0);
    log_.Trace("Get Control ID Success! time : 【 %d 】", Tick());
    listeners_.Notify(this, [&](IVerifyInfoSink* l) { l->OnGetControlID(info); });
    memory_.Release(info);
  }

  void NotifyFailure(const Kind& kind, VerifyError* error) {
    listeners_.Notify(this, [&](IVerifyInfoSink* l) {
      if (kind.flag == kFetchVerifyServers) {
        l->OnGetVerifyServerFail(error);
      } else if (kind.flag == kFetchWhiteServers) {
        l->OnGetWhiteServerFail(error);
      } else {
        l->OnGetControlIDFail(error);
      }
    });
  }

  FetchRecord fetch_ = {};
};

}  // namespace

IComponent* NewVerifyInfoHandler() { return new (std::nothrow) VerifyInfoProtocalHandler(); }

}  // namespace gavio
