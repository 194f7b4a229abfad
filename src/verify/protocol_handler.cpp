#include "verify/protocol_handler.h"

#include <string.h>
#include <sys/stat.h>

#include <optional>

#include "frame/gavio_ptr.h"
#include "gavio/ids.h"
#include "gavio/verify.h"
#include "platform/errors.h"
#include "verify/kora_answers.h"

namespace gavio {
namespace {

// Holds the owning component for the rest of an event, when there is one.
class OwnerHold {
 public:
  explicit OwnerHold(ComponentLife* owner) {
    if (owner != nullptr) guard_.emplace(owner);
  }

 private:
  std::optional<HoldGuard> guard_;
};

int Tick() { return static_cast<int>(GetTickCount()); }

}  // namespace

TProtocalHandler::~TProtocalHandler() { Unbind(); }

void TProtocalHandler::Bind(IParser* parser, IConnectorManager* manager, uint32_t totalTimeoutMs,
                            uint32_t attemptTimeoutMs) {
  Unbind();
  parser_ = parser;
  manager_ = manager;
  totalTimeoutMs_ = totalTimeoutMs != 0 ? totalTimeoutMs : kDefaultTotalTimeoutMs;
  attemptTimeoutMs_ = attemptTimeoutMs != 0 ? attemptTimeoutMs : kDefaultAttemptTimeoutMs;
  state_ = kIdle;
  JoinManager();
}

void TProtocalHandler::Unbind() {
  LeaveManager();
  parser_ = nullptr;
  manager_ = nullptr;
  connected_ = false;
  state_ = kIdle;
}

void TProtocalHandler::JoinManager() {
  if (manager_ != nullptr)
    EventSourceOf(manager_)->AddListener(static_cast<IConnectorSink*>(this), 0);
}

void TProtocalHandler::LeaveManager() {
  if (manager_ != nullptr)
    EventSourceOf(manager_)->RemoveListener(static_cast<IConnectorSink*>(this));
}

void TProtocalHandler::SetError(uint32_t code) {
  lastError_ = code;
  SetLastError(code);
}

int32_t TProtocalHandler::SendPackage(const void* record, uint32_t length) {
  if (parser_ == nullptr || record == nullptr || length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  KeepPending(record, length);
  if (!SendStep()) {
    log_->Error("TProtocalHandler::SendPackage Fail ! time : 【 %d 】", Tick());
    return 0;
  }
  return 1;
}

void TProtocalHandler::KeepPending(const void* record, uint32_t length) {
  pending_.assign(static_cast<const char*>(record), length);
}

bool TProtocalHandler::SendStep() {
  if (pending_.empty()) return true;
  if (!connected_) {
    if (manager_ == nullptr) {
      SetError(kVerifyErrorSend);
      return false;
    }
    // A manager with no server left may report the failure from inside
    // StartConnect; that report ends the exchange on its own.
    const uint64_t exchange = exchange_;
    const int32_t started = manager_->StartConnect();
    if (exchange != exchange_) return true;
    if (started == 0) {
      SetError(kVerifyErrorConnect);
      return false;
    }
    state_ = kConnecting;
    startTick_ = GetTickCount();
    return true;
  }
  std::string wire;
  if (!parser_->BuildWire(pending_, &wire) || wire.empty()) {
    SetError(kVerifyErrorBuild);
    return false;
  }
  if (manager_ == nullptr) {
    SetError(kVerifyErrorSend);
    return false;
  }
  log_->Trace("发送包! time : 【 %d 】", Tick());
  state_ = kAwaitingAnswer;
  startTick_ = GetTickCount();
  manager_->Send(wire.data(), static_cast<int32_t>(wire.size()));
  return true;
}

void TProtocalHandler::Close() {
  connected_ = false;
  if (manager_ != nullptr) {
    // Out of the listeners while stopping: the stop's own close event is
    // not one of this exchange's.
    LeaveManager();
    manager_->Stop();
    JoinManager();
  }
  connectTick_ = 0;
  state_ = kIdle;
  held_.clear();
}

void TProtocalHandler::Reset() {
  pending_.clear();
  held_.clear();
  held_.shrink_to_fit();
  startTick_ = 0;
  connectTick_ = 0;
  state_ = kIdle;
  ++exchange_;
}

void TProtocalHandler::EndExchange() {
  Close();
  Reset();
}

void TProtocalHandler::ReleaseManager() {
  IConnectorManager* manager = manager_;
  Unbind();
  if (manager != nullptr) manager->Destroy(1);
}

int32_t TProtocalHandler::KeepConfigPath(const char* configPath, const HandlerTexts& texts) {
  if (configPath == nullptr) {
    log_->Error("%s, Congig path is NULL!", texts.name);
    if (texts.nullConfigPathIsError) SetError(kVerifyErrorConfigPath);
    return 0;
  }
  char resolved[kClientPathSize];
  struct stat info;
  if (!ResolveClientPath(configPath, resolved) || stat(resolved, &info) != 0) {
    log_->Error("%s, Congig path %s is not Exist!", texts.name, configPath);
    SetError(kVerifyErrorConfigPath);
    return 0;
  }
  memcpy(configPath_, resolved, sizeof configPath_);
  return 1;
}

int32_t TProtocalHandler::CreateManager(IParser* parser, uint32_t attemptTimeoutMs,
                                        uint32_t totalTimeoutMs, const ProxySettings* proxy,
                                        const char* name) {
  EndExchange();
  ReleaseManager();
  IConnectorManager* manager = CreateComponentAs<IConnectorManager>(kConnectorManagerId);
  int32_t ok = 0;
  if (manager != nullptr) {
    if (proxy != nullptr) manager->SetProxy(proxy);
    manager->SetSpeedTest(1);
    manager->SetFraming(0);
    if (manager->LoadServers(configPath_, "verifyserver") != 0) ok = manager->Shuffle();
  }
  Bind(parser, manager, totalTimeoutMs, attemptTimeoutMs);
  if (ok != 0) {
    log_->Trace("Initialize %s Success!", name);
  } else {
    log_->Error("Initialize %s fail, LastErrorCode : 【 0x%x 】 ", name, lastError_);
  }
  return ok != 0 ? 1 : 0;
}

void TProtocalHandler::Report() {
  if (parser_ != nullptr) parser_->OnExchangeError(lastError_);
}

void TProtocalHandler::Fail(uint32_t code) {
  EndExchange();
  SetError(code);
  Report();
}

void TProtocalHandler::OnConnected() {
  OwnerHold hold(owner_);
  log_->Trace("TProtocalHandler::Connect Success ! time : 【 %d 】", Tick());
  connected_ = true;
  connectTick_ = GetTickCount();
  if (pending_.empty()) return;
  if (!SendStep()) {
    const uint32_t code = lastError_;
    Fail(code);
  }
}

void TProtocalHandler::OnConnectFailed(uint32_t error) {
  OwnerHold hold(owner_);
  if (pending_.empty()) return;  // no exchange to end
  Fail(kVerifyErrorConnect);
}

void TProtocalHandler::OnClose(int32_t reason) {
  OwnerHold hold(owner_);
  if (state_ != kConnecting) return;
  Fail(kVerifyErrorConnect);
}

void TProtocalHandler::OnPacket(const char* bytes, int32_t length) {
  OwnerHold hold(owner_);
  log_->Trace("收到包! time : 【 %d 】", Tick());
  if (parser_ == nullptr || bytes == nullptr || length <= 0) return;
  // Decoded from a buffer of our own: a listener called from inside may end
  // this exchange (and free held_) or start the next one.
  std::string work;
  work.swap(held_);
  work.append(bytes, static_cast<size_t>(length));
  const uint64_t exchange = exchange_;
  const uint32_t used = parser_->Decode(work.data(), static_cast<uint32_t>(work.size()));
  if (exchange != exchange_ || (owner_ != nullptr && !owner_->IsInitialised())) return;
  if (used >= work.size()) return;
  // Bytes left over are either the start of the next package, still
  // arriving (no error), or a whole package the parser could not decode.
  if (!kora::PackageArriving(work.data() + used, static_cast<uint32_t>(work.size() - used))) {
    log_->Error("Parse packet fail! time : 【 %d 】", Tick());
    SetError(kVerifyErrorDecode);
  }
  if (work.size() - used > kReassemblyLimit) {
    log_->Error("TProtocalHandler::OnPacket, %u bytes do not decode, time : 【 %d 】",
                static_cast<unsigned>(work.size() - used), Tick());
    Fail(kVerifyErrorDecode);
    return;
  }
  held_.assign(work, used, std::string::npos);
}

void TProtocalHandler::OnTimer() {
  OwnerHold hold(owner_);
  if (state_ == kIdle) return;
  const uint32_t now = GetTickCount();
  if (startTick_ != 0 && now - startTick_ > totalTimeoutMs_) {
    log_->Error("登录总体超时, SendPacketStartTime : 【 %d 】,\t\t\t\tCurrenTime : 【 %d 】",
                static_cast<int>(startTick_), static_cast<int>(now));
    Fail(state_ == kAwaitingAnswer ? kVerifyErrorTimeout : kVerifyErrorConnect);
    return;
  }
  if (!connected_ || connectTick_ == 0 || state_ != kAwaitingAnswer ||
      now - connectTick_ <= attemptTimeoutMs_) {
    return;
  }
  log_->Error(
      "单次登录尝试超时, LastConnectSuccessTime : 【 %d 】,\t\t\t\t\t\tCurrenTime : 【 %d 】",
      static_cast<int>(connectTick_), static_cast<int>(now));
  Close();  // the pending request stays for the next server
  const uint64_t exchange = exchange_;
  const int32_t next = manager_ != nullptr ? manager_->ConnectNext() : 0;
  if (exchange != exchange_) return;  // the manager reported the end itself
  if (next != 0) {
    state_ = kConnecting;
    return;
  }
  // No server left to try: the answer will not come.
  Fail(kVerifyErrorTimeout);
}

}  // namespace gavio
