// CConnectorFrontEnd (components 323 and 324, one class registered twice;
// the id is also its log module id and its memory tag): given up to 32
// servers, it connects to the first one that accepts through a connector
// (322), keeps what the client sends before the connection stands in a
// wait list and sends it once connected, and passes packets and closes on
// to its own listeners.
//
// A small driver state machine walks the list: each server gets one
// connector attempt (which may itself retry through a host lookup). Every
// state of the driver lives here; the front-end is the connector's
// listener.
//
// Everything runs on the creating thread. Operations and events hold the
// instance, so a listener may disconnect or destroy the front-end from
// inside any event.
#include <string.h>

#include <atomic>
#include <deque>
#include <map>
#include <new>
#include <vector>

#include "connect/front_end_hooks.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "runtime/memory_client.h"

namespace gavio {
namespace {

enum DriverState : int32_t {
  kDriverIdle = 1,
  kDriverConnecting = 2,
  kDriverConnected = 3,
  kDriverTryNext = 4,
  kDriverConnectingNext = 5,
  kDriverAllTried = 6,
  kDriverFailed = 7,
};

constexpr int32_t kAllServersFailed = -1;

std::atomic<WaitListSendHook> g_waitListSendHook{nullptr};

template <uint32_t kId>
class CConnectorFrontEnd final : public Component<kId, IConnectorFrontEnd, IEventSource>,
                                 public IConnectorSink {
 public:
  CConnectorFrontEnd() : log_(nullptr, kId), memory_(kId) {}

  int32_t SetServerListInfo(const FrontEndServerList* list) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (list == nullptr) return 0;
    log_.Trace("Set Server List Info, Count(%d)", static_cast<int32_t>(list->count));
    memcpy(&servers_, list, sizeof servers_);
    for (ServerEntry& entry : servers_.servers) {
      entry.address[sizeof entry.address - 1] = '\0';
      entry.hostName[sizeof entry.hostName - 1] = '\0';
    }
    return 1;
  }

  void SetSocketParam(const SocketParam* param) override {
    GAVIO_HOLD_OR_RETURN();
    if (param == nullptr) return;
    log_.Trace("Set Socket Param, SocketType(%d)", param->proxyType);
    socketParam_ = *param;
    // The caller's settings block need not outlive this call: the
    // connector is made later, from a copy of it.
    hasSettings_ = param->settings != nullptr;
    if (hasSettings_) memcpy(&settings_, param->settings, sizeof settings_);
    socketParam_.settings = hasSettings_ ? &settings_ : nullptr;
  }

  void SetPacketParam(int32_t maximum, int16_t width) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("Set Packet Param, MaxPacketLength(%d), LengthField(%d)", maximum, width);
    framing_ = 1;
    maximum_ = maximum;
    width_ = width;
  }

  void Send(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    if (state_ == kDriverConnected && connector_ != nullptr) {
      log_.Trace("Server Connected, Send Data to Server, Length(%d)", length);
      connector_->Send(bytes, length);
      return;
    }
    log_.Trace("Server not Connected, Add to wait list, Length(%d)", length);
    if (bytes != nullptr && length > 0) {
      char* copy = static_cast<char*>(memory_.AllocateZeroed(static_cast<uint32_t>(length)));
      if (copy == nullptr) return;
      memcpy(copy, bytes, static_cast<size_t>(length));
      waitList_.push_back(Waiting{copy, length});
    }
    if (state_ == kDriverIdle && !running_) StartDriver();
  }

  void Disconnect() override {
    GAVIO_HOLD_OR_RETURN();
    // A connect still under way is stopped too: the caller asked for no
    // connection.
    if (state_ == kDriverIdle && !running_ && connector_ == nullptr) {
      log_.Trace("Server Already Disconnected");
      return;
    }
    log_.Trace("Disconnect Server");
    running_ = false;
    state_ = kDriverIdle;
    nextIndex_ = 0;
    ReleaseConnector(true);
  }

  int32_t GetCurrentServer(ServerEntry* out) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (out == nullptr || state_ != kDriverConnected || currentIndex_ >= ServerCount()) return 0;
    memcpy(out, &servers_.servers[currentIndex_], sizeof *out);
    return 1;
  }

  // The memory client stays open until the instance is deleted: a listener
  // may destroy the front-end in the middle of a wait-list send, and the
  // send, still holding the instance, returns the blocks it has left.
  void ComponentFinalize() override {
    listeners_.clear();
    FreeWaitList();
    Disconnect();
  }

  // IEventSource
  void AddListener(void* listener, uint32_t cookie) override {
    if (listener == nullptr) return;
    listeners_.erase(static_cast<IConnectorFrontEndSink*>(listener));
    listeners_[static_cast<IConnectorFrontEndSink*>(listener)] = cookie;
  }
  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(static_cast<IConnectorFrontEndSink*>(listener)));
  }

  // IConnectorSink: the connector of the server being tried or in use.
  void OnConnected() override {
    GAVIO_HOLD_OR_RETURN();
    running_ = false;
    state_ = kDriverConnected;
    log_.Trace("Connect Server Successful!");
    SendWaitList();
  }

  void OnConnectFailed(uint32_t) override {
    GAVIO_HOLD_OR_RETURN();
    if (!running_) return;
    SetStateAndProcess(nextIndex_ >= ServerCount() ? kDriverAllTried : kDriverTryNext);
  }

  void OnClose(int32_t reason) override {
    GAVIO_HOLD_OR_RETURN();
    nextIndex_ = 0;
    state_ = kDriverIdle;
    running_ = false;
    ReleaseConnector(false);
    log_.Trace("Connect Close(%d)", reason);
    FreeWaitList();
    Notify([reason](IConnectorFrontEndSink* l) { l->OnClose(reason); });
  }

  void OnPacket(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    Notify([bytes, length](IConnectorFrontEndSink* l) { l->OnData(bytes, length); });
  }

 private:
  struct Waiting {
    char* bytes;
    int32_t length;
  };

  // A count beyond the list's 32 records would lead the walk past them.
  uint32_t ServerCount() const {
    return servers_.count < kFrontEndMaxServers ? servers_.count : kFrontEndMaxServers;
  }

  void StartDriver() {
    running_ = true;
    SetStateAndProcess(kDriverIdle);
  }

  // The driver's table: 1 and 4 try the next server, 6 reports that every
  // one failed; the state moves on before the action runs.
  void SetStateAndProcess(int32_t state) {
    state_ = state;
    if (!running_) return;
    if (state_ == kDriverIdle || state_ == kDriverTryNext) {
      state_ = state_ == kDriverIdle ? kDriverConnecting : kDriverConnectingNext;
      TryServer();
    } else if (state_ == kDriverAllTried) {
      state_ = kDriverFailed;
      AllFailed();
    }
  }

  void TryServer() {
    uint32_t index = nextIndex_++;
    // An empty list (or one walked to its end) has nothing left to try.
    if (index >= ServerCount()) {
      SetStateAndProcess(kDriverAllTried);
      return;
    }
    if (connector_ == nullptr && !CreateConnector()) {
      SetStateAndProcess(nextIndex_ >= ServerCount() ? kDriverAllTried : kDriverTryNext);
      return;
    }
    currentIndex_ = index;
    connector_->Connect(&servers_.servers[index]);
  }

  bool CreateConnector() {
    connector_ = CreateComponentAs<IConnector>(kConnectorId);
    if (connector_ == nullptr) return false;
    connector_->SetSocketParam(&socketParam_);
    connector_->SetFraming(framing_);
    if (framing_ != 0) connector_->SetPacketParam(maximum_, width_, 0);
    EventSourceOf(connector_)->AddListener(static_cast<IConnectorSink*>(this), 0);
    return true;
  }

  void AllFailed() {
    nextIndex_ = 0;
    running_ = false;
    state_ = kDriverIdle;
    log_.Trace("Connect Server Failure(%d)!", kAllServersFailed);
    FreeWaitList();
    Notify([](IConnectorFrontEndSink* l) { l->OnConnectFailed(kAllServersFailed); });
  }

  void ReleaseConnector(bool disconnect) {
    IConnector* connector = connector_;
    connector_ = nullptr;
    if (connector == nullptr) return;
    EventSourceOf(connector)->RemoveListener(static_cast<IConnectorSink*>(this));
    if (disconnect) connector->Disconnect();
    connector->Destroy(1);
  }

  void SendWaitList() {
    // Taken whole first: a send may end in a close that frees the list, or
    // in a Destroy. Once the connection is gone (or the front-end is
    // finalised) the rest is only returned, never sent elsewhere.
    std::deque<Waiting> waiting;
    waiting.swap(waitList_);
    for (const Waiting& w : waiting) {
      if (state_ == kDriverConnected && connector_ != nullptr) {
        connector_->Send(w.bytes, w.length);
        if (WaitListSendHook hook = g_waitListSendHook.load()) hook(this);
      }
      memory_.Release(w.bytes);
    }
  }

  void FreeWaitList() {
    for (const Waiting& w : waitList_) memory_.Release(w.bytes);
    waitList_.clear();
  }

  template <class Event>
  void Notify(Event event) {
    std::vector<IConnectorFrontEndSink*> copy;
    copy.reserve(listeners_.size());
    for (const auto& entry : listeners_) copy.push_back(entry.first);
    for (IConnectorFrontEndSink* listener : copy) {
      if (listeners_.count(listener) != 0) event(listener);
    }
  }

  LogSink log_;
  MemoryClient memory_;
  std::map<IConnectorFrontEndSink*, uint32_t> listeners_;
  FrontEndServerList servers_{};
  SocketParam socketParam_{kProxyTypeTcp, nullptr};
  ProxySettings settings_{};
  bool hasSettings_ = false;
  int32_t framing_ = 0;
  int32_t maximum_ = 0;
  int16_t width_ = 0;
  std::deque<Waiting> waitList_;
  // The driver.
  int32_t state_ = kDriverIdle;
  bool running_ = false;
  uint32_t nextIndex_ = 0;
  uint32_t currentIndex_ = 0;
  IConnector* connector_ = nullptr;
};

}  // namespace

void SetWaitListSendHook(WaitListSendHook hook) { g_waitListSendHook = hook; }

IComponent* NewConnectorFrontEndA() {
  return new (std::nothrow) CConnectorFrontEnd<kConnectorFrontEndAId>;
}
IComponent* NewConnectorFrontEndB() {
  return new (std::nothrow) CConnectorFrontEnd<kConnectorFrontEndBId>;
}

}  // namespace gavio
