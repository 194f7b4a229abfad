// HashCheckProtocalHandler (1187): digests up to 256 local files and asks
// the verification service whether it knows those digests; the verdicts go
// to the listeners in the task's file order.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <new>

#include "frame/gavio_ptr.h"
#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "gavio/verify.h"
#include "platform/errors.h"
#include "frame/client_path.h"
#include "verify/kora_answers.h"
#include "verify/protocol_handler.h"
#include "verify/result_record.h"

namespace gavio {
namespace {

using kora::HashAnswer;
using kora::VerifyHashReq;

constexpr uint32_t kHashWireCapacity = 65535;
constexpr size_t kDigestTextSize = 32;
constexpr char kRecordRefusedLog[] = "error , alloc HASHCHECKRESULT fail!";

int Tick() { return static_cast<int>(GetTickCount()); }

// The text after the last "\\", else after the last "/", else all of it.
const char* LastComponent(const char* path) {
  const char* cut = strrchr(path, '\\');
  if (cut == nullptr) cut = strrchr(path, '/');
  return cut != nullptr ? cut + 1 : path;
}

constexpr HandlerTexts kHashCheckTexts = {
    .name = "HashCheckProtocalHandler",
    .finalizeLog = "CLUMOLoginProtocalHandler::ComponentFinalize(), this = 0x%x",
    .nullConfigPathIsError = false,  // the last error stays as it was
};

class HashCheckProtocalHandler final
    : public ProtocolHandlerComponent<kHashCheckHandlerId, IHashCheckHandler,
                                      IHashCheckHandlerSink> {
 public:
  HashCheckProtocalHandler() : ProtocolHandlerComponent(kHashCheckTexts) {}

  int32_t VerifyFile(const char* serviceName, const HashCheckTask* task) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (serviceName == nullptr || task == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const uint32_t files = task->count < kHashCheckMaxFiles ? task->count : kHashCheckMaxFiles;
    log_.Trace("HashCheckProtocalHandler Verify file , Conut : %d, Service Name : %s",
               static_cast<int>(task->count), serviceName);
    for (uint32_t i = 0; i < files; ++i) {
      log_.Trace("[ %d ] : %.*s", static_cast<int>(i), kVerifyPathMax, task->paths[i]);
    }
    if (task_ == nullptr) task_.reset(new (std::nothrow) HashCheckTask);
    if (task_ == nullptr) return 0;
    *task_ = *task;
    task_->count = files;
    base_.EndExchange();
    const bool sent = SubmitRequest(serviceName);
    if (!sent) base_.EndExchange();
    if (sent) {
      log_.Trace("Submit VerifyFile Task Success!");
    } else {
      log_.Error("Submit VerifyFile Task fail, LastErrorCode : 【 0x%x 】", base_.LastError());
    }
    return sent ? 1 : 0;
  }

 private:
  bool SubmitRequest(const char* serviceName) {
    auto* request = static_cast<VerifyHashReq*>(memory_.AllocateZeroed(sizeof(VerifyHashReq)));
    if (request == nullptr) return false;
    if (strlen(serviceName) < sizeof request->SvcID) strcpy(request->SvcID, serviceName);
    request->HashCnt = task_->count;
    bool ok = true;
    for (uint32_t i = 0; ok && i < task_->count; ++i) {
      ok = HashFile(task_->paths[i], &request->HashSet[i]);
    }
    ok = ok && base_.SendPackage(request, sizeof(VerifyHashReq)) != 0;
    memory_.Release(request);
    return ok;
  }

  bool HashFile(const char* path, kora::HashInfo* out) {
    char text[kVerifyPathMax];
    snprintf(text, sizeof text, "%.*s", kVerifyPathMax - 1, path);
    char resolved[kClientPathSize];
    struct stat info;
    if (!ResolveClientPath(text, resolved) || stat(resolved, &info) != 0 || S_ISDIR(info.st_mode)) {
      base_.SetError(kVerifyErrorFileMissing);
      return false;
    }
    TGavioPtr digest(nullptr, kDigestId);
    uint8_t sum[16] = {};
    if (!digest || digest.As<IDigest>()->DigestFile(sum, resolved) == 0) {
      base_.SetError(kVerifyErrorFileMissing);
      return false;
    }
    static const char kHex[] = "0123456789ABCDEF";
    memset(out->Hash, 0, sizeof out->Hash);
    for (size_t i = 0; i < sizeof sum; ++i) {
      out->Hash[2 * i] = kHex[sum[i] >> 4];
      out->Hash[2 * i + 1] = kHex[sum[i] & 0xF];
    }
    out->HashLen = kDigestTextSize;
    snprintf(out->FileName, kVerifyPathMax, "%s", LastComponent(text));
    return true;
  }

  // TProtocalHandler::IParser
  bool BuildWire(const std::string& request, std::string* wire) override {
    return kora::AppendRequest(kora::kCsVerifyHash, request.data(),
                               static_cast<uint32_t>(request.size()), kHashWireCapacity, wire);
  }

  uint32_t Decode(const char* bytes, uint32_t length) override {
    auto answer = std::make_unique<HashAnswer>();
    const uint32_t used = kora::DecodeHashAnswer(bytes, length, answer.get());
    if (used == 0) return 0;
    if (answer->kind == HashAnswer::kVerdicts) {
      OnVerdicts(*answer);
    } else if (answer->error.secondCode == kVerifyErrorDecode) {
      OutputDebugStringA("error : receive error packet!");
      OnFailure(answer->error);
    } else {
      OutputDebugStringA("error : hash check fail, reason : \n");
      OutputDebugStringA(answer->error.reason);
      OnFailure(answer->error);
    }
    return used;
  }

  void OnExchangeError(uint32_t code) override {
    log_.Error("HashCheckProtocalHandler HashCheckError , ErrorCode : 【 0x%x 】! time : 【 %d 】",
               code, Tick());
    base_.EndExchange();
    VerifyError error{};
    error.firstCode = code;
    ReportFailure(error, code);
  }

  // Parser success entry.
  void OnVerdicts(const HashAnswer& answer) {
    log_.Trace("hash check success! time : 【 %d 】", Tick());
    base_.EndExchange();
    WithResultRecord(&memory_, &log_, kRecordRefusedLog, [&](HashCheckResult* result) {
      kora::FillHashResult(*task_, answer, result);
      base_.SetError(0);
      log_.Trace("Execute VerifyFile Task Success in HashCheckProtocal Handler!\t\t\ttime is %d",
                 Tick());
      log_.Trace("File Count : %d ", static_cast<int>(result->count));
      for (uint32_t i = 0; i < result->count; ++i) {
        log_.Trace("[ %d ] %s is %d", static_cast<int>(i), result->paths[i],
                   static_cast<int>(result->verdicts[i]));
      }
      listeners_.Notify(this,
                        [&](IHashCheckHandlerSink* l) { l->OnHashCheckComplete(result, this); });
    });
  }

  // Parser failure entry.
  void OnFailure(const VerifyError& error) {
    base_.EndExchange();
    log_.Error("hash check fail! time : 【 %d 】", Tick());
    ReportFailure(error, error.secondCode);
  }

  void ReportFailure(const VerifyError& error, uint32_t code) {
    WithResultRecord(&memory_, &log_, kRecordRefusedLog, [&](HashCheckResult* result) {
      if (task_ != nullptr) kora::FillUnverifiedResult(*task_, result);
      base_.SetError(code);
      log_.Error(
          "Execute VerifyFile Task Fail in HashCheckProtocal Handler!\t\t\t\t\t\t\t"
          "ErrorCode : 【 0x%x 】, time is %d",
          code, Tick());
      log_.Error("File Count : %d ", static_cast<int>(result->count));
      for (uint32_t i = 0; i < result->count; ++i) {
        log_.Error("[ %d ] %s", static_cast<int>(i), result->paths[i]);
      }
      VerifyError copy = error;
      listeners_.Notify(
          this, [&](IHashCheckHandlerSink* l) { l->OnHashCheckError(result, &copy, this); });
    });
  }

  std::unique_ptr<HashCheckTask> task_;
};

}  // namespace

IComponent* NewHashCheckHandler() { return new (std::nothrow) HashCheckProtocalHandler(); }

}  // namespace gavio
