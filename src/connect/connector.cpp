// CConnector (component 322): one connection to one game server. It picks
// a transport by proxy type, connects to the given address and, when that
// fails or hangs, to what a host-name lookup yields; once connected it cuts
// the received stream into packets (PacketFramer) and hands each one, and
// every connect result and close, to its listeners: on the receiving call
// (synchronous dispatch) or later through a hidden transfer window of its
// own.
//
// Everything runs on the creating thread: the transport, the host lookup,
// the timer and the transfer window all deliver there. Every operation and
// event holds the instance, so a listener may disconnect or destroy the
// connector from inside any event; listeners are called over a copy of the
// listener map and only while still registered.
//
// Bytes from the stream of one connection never reach the next: the framer
// is emptied by Disconnect, by a close and by the next Connect. A length
// field that cannot be a packet (0 included) ends delivery on that
// connection and further bytes are dropped, not hoarded. Received bytes
// that cannot be kept (no memory for a back-up chunk) leave a hole that
// would cut every later packet at the wrong place: the connection ends
// there, and the listeners get OnClose(ERROR_NOT_ENOUGH_MEMORY). A later
// SetPacketParam with another maximum moves the buffered bytes into a
// buffer of the new size (see PacketFramer); a negative offset is refused.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <new>
#include <vector>

#include "connect/connector_limits.h"
#include "connect/connector_timings.h"
#include "connect/packet_framer.h"
#include "gavio/connect.h"
#include "gavio/host.h"
#include "gavio/ids.h"
#include "gavio/timers.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "runtime/memory_client.h"

namespace gavio {
namespace {

std::atomic<uint32_t> g_connectTimeoutMs{120000};
std::atomic<int64_t> g_backupLimitBytes{PacketFramer::kNoBackupLimit};

enum State : int32_t {
  kIdle = 1,                 // idle, or connect by address requested
  kConnectingAddress = 2,
  kLookupRequested = 3,
  kLookupRunning = 4,
  kLookupSameAddress = 5,
  kLookupNewAddress = 6,
  kLookupFailed = 7,
  kConnectingLookedUp = 8,
  kSecondConnectFailed = 9,
  kConnectTimedOut = 10,
  kFailed = 11,
  kConnected = 13,
};

uint32_t TransportIdFor(int32_t proxyType) {
  switch (proxyType) {
    case kProxyTypeTcp: return kTcpClientId;
    case kProxyTypeUdp: return kUdpClientId;
    case kProxyTypeSocks5: return kSocks5ProxyId;
    case kProxyTypeHttp: return kHttpProxyId;
    default: return 0;
  }
}

LRESULT TransferWindowWinProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

class CConnector final : public Component<kConnectorId, IConnector, IEventSource>,
                         public ITransportSink,
                         public IHostLookupSink,
                         public ITimeoutEvent {
 public:
  CConnector() : log_(nullptr, kConnectorId), memory_(kConnectorId), framer_(&memory_) {}

  // IConnector
  int32_t SetSocketParam(const SocketParam* param) override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("SetSocketParam initialize Connector");
    if (param == nullptr) {
      Fail(ERROR_INVALID_PARAMETER);
      return 0;
    }
    proxyType_ = param->proxyType;
    if (param->settings != nullptr) {
      if (settings_ == nullptr) {
        settings_ = static_cast<ProxySettings*>(memory_.AllocateZeroed(sizeof(ProxySettings)));
      }
      if (settings_ != nullptr) memcpy(settings_, param->settings, sizeof(ProxySettings));
    }
    log_.Trace("Prepare Connector Finite State Machine");
    machineReady_ = true;
    return 1;
  }

  void SetFraming(int32_t on) override { framing_ = on != 0; }

  int32_t SetPacketParam(int32_t maximum, int16_t width, int32_t offset) override {
    GAVIO_HOLD_OR_RETURN(0);
    switch (framer_.SetParams(maximum, width, offset)) {
      case PacketFramer::ParamResult::kRefused:
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
      case PacketFramer::ParamResult::kAllocationFailed:
        log_.Error("Initialize buffer Fail!");
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
      case PacketFramer::ParamResult::kBufferAllocated:
        log_.Trace("Initialize buffer successful!");
        return 1;
      case PacketFramer::ParamResult::kStored:
        return 1;
    }
    return 0;
  }

  void Connect(const ServerEntry* entry) override {
    GAVIO_HOLD_OR_RETURN();
    if (entry == nullptr || state_ != kIdle) return;
    if (!syncDispatch_) EnsureTransferWindow();
    memcpy(&entry_, entry, sizeof entry_);
    // The texts are used as C strings: a record without terminators must
    // not lead the reads past it.
    entry_.address[sizeof entry_.address - 1] = '\0';
    entry_.hostName[sizeof entry_.hostName - 1] = '\0';
    log_.Trace("Start Connect to Server, IP(%s), Port(%d), HostName(%s)", entry_.address,
               entry_.port, entry_.hostName);
    framer_.Reset();
    framer_.SetBackupLimit(g_backupLimitBytes.load());
    closePending_ = false;
    int32_t start = entry_.address[0] != '\0'    ? kIdle
                    : entry_.hostName[0] != '\0' ? kLookupRequested
                                                 : 0;
    // Without a state machine (no SetSocketParam yet) nothing could move
    // the connect on: it fails at once like a connect with no address.
    if (start == 0 || !machineReady_) {
      lastError_ = ERROR_INVALID_PARAMETER;
      running_ = true;
      ConnectFail();
      return;
    }
    StartTimer();
    running_ = true;
    SetStateAndProcess(start);
  }

  void Disconnect() override {
    GAVIO_HOLD_OR_RETURN();
    running_ = false;
    state_ = kIdle;
    ResetBuffers();
    log_.Trace("Disconnect Server, this = 0x%p", static_cast<void*>(this));
    if (timer_ != nullptr) timer_->ClearTimeout();
    ReleaseTransport(true);
  }

  void Send(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    if (transport_ == nullptr || state_ != kConnected) {
      log_.Error("Not Connected, Can't Send Data!");
      Fail(kConnectErrorNotConnected);
      return;
    }
    log_.Trace("Send Data to Server, length(%d)", length);
    transport_->Send(bytes, length);
  }

  void SetSpeedLimit(uint32_t kilobytesPerSecond) override {
    GAVIO_HOLD_OR_RETURN();
    speedLimit_ = kilobytesPerSecond;
    if (transport_ != nullptr) transport_->SetSpeedLimit(kilobytesPerSecond);
  }

  void SetAggregation(uint8_t units) override {
    GAVIO_HOLD_OR_RETURN();
    aggregationUnits_ = units;
    if (transport_ != nullptr) transport_->SetAggregation(units);
  }

  void SetLengthAdjust(int32_t adjust) override {
    if (adjust >= 0) framer_.SetLengthAdjust(adjust);
  }

  void SetSyncDispatch(int32_t on) override { syncDispatch_ = on != 0; }

  uintptr_t GetSocket() override {
    GAVIO_HOLD_OR_RETURN(kTransportInvalidSocket);
    return transport_ != nullptr ? transport_->GetSocket() : kTransportInvalidSocket;
  }

  void KeepSocketOpen() override { keepSocketOpen_ = true; }

  void ComponentFinalize() override {
    running_ = false;
    listeners_.clear();
    if (timer_ != nullptr) timer_->Destroy(1);
    timer_ = nullptr;
    ReleaseTransport(false);
    if (lookup_ != nullptr) {
      EventSourceOf(lookup_)->RemoveListener(static_cast<IHostLookupSink*>(this));
      lookup_->Destroy(1);
      lookup_ = nullptr;
    }
    // A packet being handed out from the receive buffer keeps it until the
    // instance goes; the destructor frees it then.
    bool dispatching = inDispatch_;
    ResetBuffers();
    if (!dispatching) framer_.Release();
    memory_.Release(settings_);
    settings_ = nullptr;
    if (window_ != nullptr) {
      SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
      SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(replacedProc_));
      DestroyWindow(window_);
      window_ = nullptr;
    }
  }

  // IEventSource
  void AddListener(void* listener, uint32_t cookie) override {
    if (listener == nullptr) return;
    listeners_.erase(static_cast<IConnectorSink*>(listener));
    listeners_[static_cast<IConnectorSink*>(listener)] = cookie;
  }
  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(static_cast<IConnectorSink*>(listener)));
  }

  // ITransportSink
  void OnConnectSuccess() override {
    GAVIO_HOLD_OR_RETURN();
    connectEvents_++;
    log_.Core("Connect Server Successful!");
    state_ = kConnected;
    running_ = false;
    if (timer_ != nullptr) timer_->ClearTimeout();
    Notify([](IConnectorSink* l) { l->OnConnected(); });
  }

  void OnConnectFail(int32_t) override {
    GAVIO_HOLD_OR_RETURN();
    connectEvents_++;
    if (state_ == kConnectingAddress) {
      log_.Trace("Connect Server Fail, First Time");
      if (running_) SetStateAndProcess(kLookupRequested);
    } else if (state_ == kConnectingLookedUp) {
      lastError_ = kConnectErrorFailed;
      log_.Trace("Connect Server Fail, Second Time");
      if (running_) SetStateAndProcess(kSecondConnectFailed);
    } else {
      log_.Trace("Timeout, no retry!");
    }
  }

  void OnReceived(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    totalReceived_ += length;
    log_.Trace("CConnector::OnReceived, 【 %lld 】", static_cast<long long>(totalReceived_));
    if (!framing_) {
      DispatchPacket(bytes, length, true);
      return;
    }
    if (bytes == nullptr || length < 1) return;
    if (!framer_.Append(bytes, length)) {
      log_.Error("Alloc Memory For Back Up Packet Fail!");
      EndBrokenStream(ERROR_NOT_ENOUGH_MEMORY);
      return;
    }
    if (inDispatch_ || !framer_.HasBuffer()) return;
    DispatchBufferedPackets();
    if (closePending_) {
      closePending_ = false;
      HandleClose(pendingReason_, syncDispatch_);
    }
  }

  void OnClosed(int32_t reason) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("OnClose(%d), this = 0x%p", reason, static_cast<void*>(this));
    HandleClose(reason, syncDispatch_);
  }

  // IHostLookupSink
  void OnHostLookupSuccess(const uint32_t* addresses, uint32_t count) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("OnHostLookupSuccess");
    // A lookup of an earlier connect (disconnected meanwhile) decides nothing.
    if (state_ != kLookupRunning) return;
    uint32_t tried = winsock::inet_addr(entry_.address);
    bool same = count < 1 || addresses == nullptr;
    for (uint32_t i = 0; !same && i < count; ++i) same = addresses[i] == tried;
    if (same) {
      lastError_ = kConnectErrorSameAddress;
      log_.Trace("DNS 探测后, IP 不变");
      if (running_) SetStateAndProcess(kLookupSameAddress);
      return;
    }
    log_.Trace("DNS 探测后, IP 变化");
    in_addr first{addresses[0]};
    snprintf(entry_.address, sizeof entry_.address, "%s", winsock::inet_ntoa(first));
    if (running_) SetStateAndProcess(kLookupNewAddress);
  }

  void OnHostLookupFail(uint32_t) override {
    GAVIO_HOLD_OR_RETURN();
    if (state_ != kLookupRunning) {
      log_.Trace("OnHostLookupFail");
      return;
    }
    HostLookupFailed();
  }

  // ITimeoutEvent
  void OnTimeout(uint32_t) override {
    GAVIO_HOLD_OR_RETURN();
    lastError_ = kConnectErrorFailed;
    if (state_ == kConnectingAddress) {
      log_.Trace("Connect ip Timeout");
      static_cast<IConnector*>(this)->Disconnect();
      // The lookup phase runs without a time-out of its own.
      running_ = true;
      SetStateAndProcess(kLookupRequested);
    } else if (state_ != kConnected) {
      log_.Trace("Connect Timeout");
      if (running_) SetStateAndProcess(kConnectTimedOut);
    }
  }

  // The transfer window's messages.
  LRESULT OnTransferMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    GAVIO_HOLD_OR_RETURN(DefWindowProcA(hwnd, msg, wParam, lParam));
    if (msg == kWmConnectorData) {
      char* block = reinterpret_cast<char*>(wParam);
      if (block != nullptr && lParam > 0) {
        if (Tracing()) {
          log_.Trace("TransferWindowWinProc, Process WM_CONNECTOR_DATA, time : 【 %d 】",
                     static_cast<int32_t>(GetTickCount()));
        }
        DispatchPacket(block, static_cast<int32_t>(lParam), true);
      }
      free(block);
      return 0;
    }
    if (msg == kWmConnectorClose) {
      HandleClose(static_cast<int32_t>(wParam), true);
      return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }

 private:
  ~CConnector() override {
    framer_.Release();
    memory_.Close();
  }

  struct Transition {
    int32_t state;
    void (CConnector::*action)();
    int32_t next;
  };
  // Processing a state first moves to its next state, then runs its action
  // (which may move on again). States without a row wait for an event.
  static const Transition* FindTransition(int32_t state) {
    static constexpr Transition kMachine[] = {
        {kIdle, &CConnector::ConnectToServer, kConnectingAddress},
        {kLookupRequested, &CConnector::StartParseDns, kLookupRunning},
        {kLookupSameAddress, &CConnector::ConnectFail, kFailed},
        {kLookupNewAddress, &CConnector::ConnectToServer, kConnectingLookedUp},
        {kLookupFailed, &CConnector::ConnectFail, kFailed},
        {kSecondConnectFailed, &CConnector::ConnectFail, kFailed},
        {kConnectTimedOut, &CConnector::ConnectFail, kFailed},
    };
    for (const Transition& row : kMachine) {
      if (row.state == state) return &row;
    }
    return nullptr;
  }

  // Per-packet lines read the clock only when someone reads them.
  bool Tracing() const { return ((log_.DebugMask() | log_.FileMask()) & kLogTrace) != 0; }

  void Fail(uint32_t error) {
    lastError_ = error;
    SetLastError(error);
  }

  void SetStateAndProcess(int32_t state) {
    state_ = state;
    if (!running_ || !machineReady_) return;
    const Transition* row = FindTransition(state_);
    if (row == nullptr) return;
    state_ = row->next;
    (this->*row->action)();
  }

  // Actions of the state machine.
  void ConnectToServer() {
    if (transport_ == nullptr) CreateTransport();
    // Without a transport only the time-out moves the machine on.
    if (transport_ == nullptr) return;
    log_.Trace("Connect to Server(%s : %d)", entry_.address, entry_.port);
    uint32_t eventsBefore = connectEvents_;
    ITransport* transport = transport_;
    if (transport->Connect(entry_.address, entry_.port) == 0 && connectEvents_ == eventsBefore &&
        transport_ == transport) {
      // Refused before it started and not reported: the same as a failed
      // connect, rather than a wait for the time-out.
      OnConnectFail(kConnectFailRefused);
    }
  }

  void StartParseDns() {
    if (lookup_ == nullptr) {
      lookup_ = CreateComponentAs<IHostLookup>(kHostLookupId);
      if (lookup_ != nullptr) {
        EventSourceOf(lookup_)->AddListener(static_cast<IHostLookupSink*>(this), 0);
      }
    }
    log_.Trace("Start Parse DNS, HostName(%s)", entry_.hostName);
    // A lookup that cannot start reports nothing: it has failed now.
    if (lookup_ == nullptr || lookup_->Resolve(entry_.hostName) == 0) HostLookupFailed();
  }

  void ConnectFail() {
    if (timer_ != nullptr) timer_->ClearTimeout();
    log_.Core("Connect Fail");
    running_ = false;
    state_ = kIdle;
    SetLastError(lastError_);
    uint32_t error = lastError_;
    Notify([error](IConnectorSink* l) { l->OnConnectFailed(error); });
  }

  void HostLookupFailed() {
    log_.Trace("OnHostLookupFail");
    lastError_ = kConnectErrorSameAddress;
    if (running_) SetStateAndProcess(kLookupFailed);
  }

  void CreateTransport() {
    uint32_t id = TransportIdFor(proxyType_);
    if (id == 0) return;
    transport_ = CreateComponentAs<ITransport>(id);
    if (transport_ == nullptr) return;
    if (transport_->Create(settings_, this) == 0) {
      ReleaseTransport(false);
      return;
    }
    TransportOptions options{0, 0, 0};
    if (speedLimit_ != 0) {
      options.flags |= kTransportSpeedLimitOn;
      options.speedLimit = speedLimit_;
    }
    if (aggregationUnits_ != 0) {
      options.flags |= kTransportAggregationOn;
      options.aggregationUnits = aggregationUnits_;
    }
    if (options.flags != 0) transport_->SetOptions(&options);
    if (keepSocketOpen_) transport_->KeepSocketOpen();
  }

  void ReleaseTransport(bool disconnect) {
    ITransport* transport = transport_;
    transport_ = nullptr;
    if (transport == nullptr) return;
    if (disconnect) transport->Disconnect();
    transport->Destroy(1);
  }

  void StartTimer() {
    if (timer_ != nullptr) {
      timer_->ClearTimeout();
      timer_->Destroy(1);
    }
    timer_ = CreateComponentAs<ITimeout>(kTimeoutId);
    if (timer_ != nullptr) timer_->SetTimeout(g_connectTimeoutMs.load(), this, 0, this);
  }

  // Framing: every whole packet at the buffer's start, in order.
  void DispatchBufferedPackets() {
    for (;;) {
      int32_t length = 0;
      PacketFramer::Next next = framer_.Peek(&length);
      if (next == PacketFramer::Next::kInvalid) {
        log_.Error("error: not valid package length");
        return;
      }
      if (next == PacketFramer::Next::kNeedMore) return;
      uint32_t generation = framer_.Generation();
      DispatchPacket(framer_.Data(), length, syncDispatch_);
      // A listener that disconnected ended this stream, packet and all; what
      // is buffered now belongs to whatever connection it made since.
      if (framer_.Generation() == generation && !framer_.Consume(length)) return;
    }
  }

  void DispatchPacket(const char* bytes, int32_t length, bool direct) {
    if (bytes == nullptr || length < 1) return;
    if (direct) {
      bool marks = syncDispatch_;
      if (marks) inDispatch_ = true;
      if (Tracing()) {
        log_.Trace("Receive One Packet, Length(%d), asy dispatch!time : 【 %d 】", length,
                   static_cast<int32_t>(GetTickCount()));
      }
      Notify([bytes, length](IConnectorSink* l) { l->OnPacket(bytes, length); });
      if (marks) inDispatch_ = false;
      return;
    }
    char* block = static_cast<char*>(malloc(static_cast<size_t>(length)));
    if (block == nullptr || !EnsureTransferWindow()) {
      free(block);
      log_.Error("Alloc Memory For Back Up Packet Fail!");
      return;
    }
    memcpy(block, bytes, static_cast<size_t>(length));
    if (!PostMessageA(window_, kWmConnectorData, reinterpret_cast<WPARAM>(block), length)) {
      free(block);
      log_.Error("Alloc Memory For Back Up Packet Fail!");
      return;
    }
    if (Tracing()) {
      log_.Trace("Receive One Packet, Length(%d), syn dispatch!time : 【 %d 】", length,
                 static_cast<int32_t>(GetTickCount()));
    }
  }

  void HandleClose(int32_t reason, bool direct) {
    if (inDispatch_) {
      closePending_ = true;
      pendingReason_ = reason;
      return;
    }
    if (direct || !EnsureTransferWindow()) {
      state_ = kIdle;
      running_ = false;
      // What is left of the stream is a packet cut off by the close.
      framer_.Reset();
      ReleaseTransport(false);
      Notify([reason](IConnectorSink* l) { l->OnClose(reason); });
      return;
    }
    PostMessageA(window_, kWmConnectorClose, static_cast<WPARAM>(reason), 0);
  }

  // Nothing more is cut from this connection: what is buffered goes (a
  // packet being handed out stays whole), the transport is let go so no
  // further bytes arrive, and the close follows any packet already cut,
  // after the framing loop further up the stack when there is one.
  void EndBrokenStream(uint32_t error) {
    Fail(error);
    framer_.Reset();
    ReleaseTransport(true);
    HandleClose(static_cast<int32_t>(error), syncDispatch_);
  }

  // The in-dispatch flag is left to the dispatch that set it: a listener
  // that disconnects inside OnPacket is still inside it, and a receive
  // meanwhile must not start a second framing loop.
  void ResetBuffers() {
    closePending_ = false;
    pendingReason_ = 0;
    framer_.Reset();
    if (window_ == nullptr) return;
    MSG msg;
    while (PeekMessageA(&msg, window_, kWmConnectorData, kWmConnectorClose, PM_REMOVE)) {
      if (msg.message == kWmConnectorData) free(reinterpret_cast<char*>(msg.wParam));
    }
  }

  bool EnsureTransferWindow() {
    if (window_ != nullptr) return true;
    window_ = CreateWindowExA(0, "static", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (window_ != nullptr) {
      SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      replacedProc_ = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TransferWindowWinProc)));
    }
    log_.Trace("Result(%d) : CConnector::CreateTransferWindow()", window_ != nullptr ? 1 : 0);
    return window_ != nullptr;
  }

  // Calls every listener registered now that is still registered when its
  // turn comes.
  // The copy lives on the stack for the usual handful of listeners: a
  // packet costs no allocation.
  template <class Event>
  void Notify(Event event) {
    constexpr size_t kInline = 8;
    IConnectorSink* inlineCopy[kInline];
    std::vector<IConnectorSink*> heapCopy;
    IConnectorSink** copy = inlineCopy;
    if (listeners_.size() > kInline) {
      heapCopy.resize(listeners_.size());
      copy = heapCopy.data();
    }
    size_t count = 0;
    for (const auto& entry : listeners_) copy[count++] = entry.first;
    for (size_t i = 0; i < count; ++i) {
      if (listeners_.count(copy[i]) != 0) event(copy[i]);
    }
  }

  LogSink log_;
  MemoryClient memory_;
  PacketFramer framer_;
  std::map<IConnectorSink*, uint32_t> listeners_;
  int32_t state_ = kIdle;
  bool running_ = false;
  bool machineReady_ = false;
  uint32_t lastError_ = 0;
  ServerEntry entry_{};
  int32_t proxyType_ = kProxyTypeTcp;
  ProxySettings* settings_ = nullptr;
  ITransport* transport_ = nullptr;
  IHostLookup* lookup_ = nullptr;
  ITimeout* timer_ = nullptr;
  uint32_t connectEvents_ = 0;
  bool framing_ = true;
  bool syncDispatch_ = false;
  bool inDispatch_ = false;
  bool closePending_ = false;
  int32_t pendingReason_ = 0;
  uint32_t speedLimit_ = 0;
  uint8_t aggregationUnits_ = 0;
  bool keepSocketOpen_ = false;
  int64_t totalReceived_ = 0;  // a long session passes 2 GiB
  HWND window_ = nullptr;
  WNDPROC replacedProc_ = nullptr;
};

LRESULT TransferWindowWinProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* connector = reinterpret_cast<CConnector*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (connector != nullptr) return connector->OnTransferMessage(hwnd, msg, wParam, lParam);
  if (msg == kWmConnectorData) free(reinterpret_cast<char*>(wParam));
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

ConnectorTimings GetConnectorTimings() {
  ConnectorTimings timings;
  timings.connectTimeoutMs = g_connectTimeoutMs.load();
  return timings;
}

void SetConnectorTimings(const ConnectorTimings& timings) {
  g_connectTimeoutMs = timings.connectTimeoutMs;
}

ConnectorLimits GetConnectorLimits() {
  ConnectorLimits limits;
  limits.backupBytes = g_backupLimitBytes.load();
  return limits;
}

void SetConnectorLimits(const ConnectorLimits& limits) { g_backupLimitBytes = limits.backupBytes; }

IComponent* NewConnector() { return new (std::nothrow) CConnector; }

}  // namespace gavio
