// CTCPClient (component 53): one TCP connection at a time. A worker thread
// per connection (ConnAndRecvThread) connects and receives; everything it
// learns travels to the creating thread as a heap record posted to a hidden
// window, whose procedure raises the sink's events there.
//
// Life of a record: allocated by the worker, owned by the message from the
// post on, freed by the window procedure whatever it finds. The procedure
// calls into the owner only while the owner is in the live client list,
// which it leaves at the start of ComponentFinalize; finalisation stops the
// worker first and then drains the window's queue, so no record outlives
// the window and none reaches a finalised client.
//
// Stopping never abandons a thread: a worker blocked in connect is freed by
// shutting its socket down, one waiting for data or pausing for the speed
// limit by its wake-up descriptor, so the stopper can always wait for it.
#include <arpa/inet.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <unordered_set>

#include "gavio/host.h"
#include "gavio/ids.h"
#include "gavio/net.h"
#include "host/factories.h"
#include "net/wsa_membership.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

constexpr UINT kRecordMessage = 1491;
constexpr int32_t kReceiveBufferSize = 10240;
constexpr uint32_t kAggregationFloor = 10240;  // aggregation acts above this size
constexpr DWORD kAggregateMaxAgeMs = 1000;
constexpr size_t kMaxHostLength = 260;
constexpr size_t kWorkerStackSize = 256 * 1024;

enum State : int32_t {
  kNotCreated = 0,
  kCreated = 1,
  kConnecting = 2,
  kConnected = 3,
  kClosed = 4,
};

class CTCPClient;

// Posted from the worker to the window as message 1491 (wParam).
struct EventRecord {
  CTCPClient* owner;
  int32_t connectResult;  // 1 success, 0 failure
  int32_t dataOrClose;    // 0: a connect result
  int32_t closeFlag;
  char* payload;          // malloc'ed by the worker
  int32_t length;
  uint32_t generation;    // the connection the record belongs to
};

// The live client list: a record is delivered only to a client in it.
std::mutex& LiveMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::unordered_set<CTCPClient*>& LiveClients() {
  static auto* clients = new std::unordered_set<CTCPClient*>;
  return *clients;
}

bool AggregationOn(uint32_t flags, uint32_t units) {
  return (flags & kTransportAggregationOn) != 0 && (units & 0xFF) * 1000u > kAggregationFloor;
}

// The worker's half of the client. Owned by the client and outliving every
// thread it starts (Stop waits for the thread).
class ConnectWorker {
 public:
  ConnectWorker() { wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~ConnectWorker() {
    Stop();
    OutputDebugStringA("ConnAndRecvThread CloseSocket 0");
    if (wakeFd_ >= 0) close(wakeFd_);
  }
  ConnectWorker(const ConnectWorker&) = delete;
  ConnectWorker& operator=(const ConnectWorker&) = delete;

  void Bind(CTCPClient* owner, HWND window) {
    owner_ = owner;
    window_ = window;
  }

  // Starts a connection; any earlier thread is stopped (and waited for)
  // first. Returns false when no thread could be started.
  bool Start(uint32_t ip, uint16_t port, uint32_t generation);
  // Sets the close flag, frees the thread from whatever it blocks on and
  // waits for it to end.
  void Stop();

  void SetOptions(const TransportOptions& options) {
    flags_ = options.flags;
    units_ = options.aggregationUnits;
    {
      std::lock_guard<std::mutex> lock(limitLock_);
      speedLimit_ = options.speedLimit;
    }
    Wake();
  }
  void SetAggregation(uint8_t units) {
    if ((flags_ & kTransportAggregationOn) == 0) return;
    units_ = (units_ & ~0xFFu) | units;
    Wake();
  }
  void SetSpeedLimit(uint32_t limit) {
    if ((flags_ & kTransportSpeedLimitOn) == 0) return;
    std::lock_guard<std::mutex> lock(limitLock_);
    speedLimit_ = limit;
  }
  void KeepSocketOpen() { keepSocketOpen_ = true; }
  SOCKET Socket() const { return socket_.load(); }
  bool Closing() const { return closeFlag_.load(); }

  // One blocking send of the whole buffer; the worker does not close the
  // socket while a send runs. Returns the count sent, or -1.
  int32_t Send(const char* bytes, int32_t length) {
    std::lock_guard<std::mutex> lock(socketLock_);
    SOCKET s = socket_.load();
    if (s == INVALID_SOCKET) return -1;
    return winsock::send(s, bytes, length, 0);
  }

 private:
  struct StartBlock {
    ConnectWorker* worker;
    CTCPClient* owner;
    HWND window;
    uint32_t ip;
    uint16_t port;
    bool keepSocketOpen;
    uint32_t generation;
  };

  static DWORD ConnAndRecvThread(void* parameter);
  void Run(const StartBlock& start);
  void Wake() {
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd_, &one, sizeof one);
    (void)ignored;
  }
  void DrainWake() {
    uint64_t count;
    while (read(wakeFd_, &count, sizeof count) > 0) {
    }
  }
  // Waits until the socket is readable, the wake-up descriptor fires or
  // the time passes (-1 = no limit). Returns the select result.
  int32_t WaitReadable(SOCKET s, int32_t timeoutMs, bool* readable);
  // The throttle pause: sleeps (interruptibly) so that the average rate
  // stays at or below the limit.
  void Throttle(uint64_t total, DWORD startTick);
  static void Post(const StartBlock& start, EventRecord* record);
  static EventRecord* NewRecord(const StartBlock& start, int32_t connectResult,
                                int32_t dataOrClose, int32_t closeFlag, char* payload,
                                int32_t length);
  void CloseConnection(const StartBlock& start, SOCKET s);

  std::atomic<SOCKET> socket_{INVALID_SOCKET};
  std::atomic<bool> closeFlag_{false};
  std::atomic<bool> inConnect_{false};
  std::atomic<bool> keepSocketOpen_{false};
  std::atomic<bool> sleeping_{false};
  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  CTCPClient* owner_ = nullptr;
  HWND window_ = nullptr;
  std::atomic<uint32_t> flags_{0};
  std::atomic<uint32_t> units_{0};
  std::mutex limitLock_;
  uint32_t speedLimit_ = 0;  // guarded by limitLock_
  int wakeFd_ = -1;
  // The socket of a connect in progress, so Stop can shut it down; cleared
  // (under the lock) before the worker closes it.
  std::mutex connectLock_;
  SOCKET connectingSocket_ = INVALID_SOCKET;
  std::mutex socketLock_;  // a send and the close of the socket exclude each other
};

class CTCPClient final : public Component<kTcpClientId, ITransport> {
 public:
  CTCPClient() : log_(nullptr, kTcpClientId), lookupSink_(this) {
    {
      std::lock_guard<std::mutex> lock(LiveMutex());
      LiveClients().insert(this);
    }
    window_ = CreateWindowExA(0, "static", "TCPModuleWindow", 0, 0, 0, 0, 0, nullptr, nullptr,
                              nullptr, nullptr);
    if (window_ == nullptr) {
      log_.Error("createwindow fail!\n");
    } else {
      SetLastError(0);
      if (SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc)) == 0 &&
          GetLastError() != 0) {
        log_.Error("setwindowlong fail!\n");
      }
      SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    // Bound now as well, so records of a ConnectIP made before Create
    // still come home (to no sink).
    worker_.Bind(this, window_);
    srand(static_cast<unsigned>(time(nullptr)));
  }

  int32_t Create(const ProxySettings*, ITransportSink* sink) override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("create is invoked\n");
    if (state_ != kNotCreated) {
      Fail(kTransportErrorCreateTwice);
      log_.Error("please don't create twice!\n");
      return 0;
    }
    if (sink == nullptr) log_.Trace("create with null eventhandler\n");
    sink_ = sink;
    worker_.Bind(this, window_);
    state_ = kCreated;
    return 1;
  }

  int32_t ConnectIP(uint32_t ip, uint16_t port) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (ip == 0) {
      Fail(ERROR_INVALID_PARAMETER);
      return 0;
    }
    ip_ = ip;
    port_ = port;
    state_ = kConnecting;
    if (!worker_.Start(ip, port, ++generation_)) {
      // No thread (descriptors or threads exhausted): report it as the
      // failed connect it is rather than stay "connecting" forever.
      state_ = kCreated;
      lastError_ = GetLastError();
      return 0;
    }
    return 1;
  }

  int32_t Connect(const char* host, uint16_t port) override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("connect with string host %s:%u\n", host != nullptr ? host : "(null)", port);
    if (host == nullptr || strnlen(host, kMaxHostLength) >= kMaxHostLength) {
      // A name cut to fit would name another host.
      Fail(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (state_ != kCreated) {
      Fail(kTransportErrorBadState);
      log_.Error("status error to connect %d\n", state_);
      return 0;
    }
    uint32_t ip = winsock::inet_addr(host);
    if (ip != INADDR_NONE) return ConnectIP(ip, port);
    lookupPort_ = port;
    if (lookup_ == nullptr) {
      lookup_ = CreateComponentAs<IHostLookup>(kHostLookupId);
      if (lookup_ != nullptr) EventSourceOf(lookup_)->AddListener(&lookupSink_, 0);
    }
    int32_t started = lookup_ != nullptr ? lookup_->Resolve(host) : 0;
    if (started == 0) Fail(lookup_ != nullptr ? GetLastError() : ERROR_NOT_FOUND);
    SetLastError(lastError_);
    return started != 0 ? 1 : 0;
  }

  int32_t Disconnect() override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("disconnect is invoked\n");
    sink_ = nullptr;
    if (state_ != kConnecting && state_ != kConnected) {
      Fail(kTransportErrorBadState);
      log_.Error("status error to disconnect : %d", state_);
      return 0;
    }
    state_ = kClosed;
    worker_.Stop();
    OutputDebugStringA("ConnAndRecvThread CloseSocket 4");
    return 1;
  }

  int32_t Send(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (length < 0 || (bytes == nullptr && length > 0)) {
      Fail(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (worker_.Socket() == INVALID_SOCKET) {
      Fail(kTransportErrorNoSocket);
      return 0;
    }
    if (worker_.Closing()) {
      Fail(kTransportErrorClosing);
      return 0;
    }
    int32_t sent = worker_.Send(bytes, length);
    if (sent < 0 && worker_.Socket() == INVALID_SOCKET) Fail(kTransportErrorNoSocket);
    return sent == length ? 1 : 0;
  }

  void SetSpeedLimit(uint32_t kilobytesPerSecond) override {
    worker_.SetSpeedLimit(kilobytesPerSecond);
  }
  void SetAggregation(uint8_t units) override { worker_.SetAggregation(units); }
  void SetOptions(const TransportOptions* options) override {
    if (options != nullptr) worker_.SetOptions(*options);
  }
  uintptr_t GetSocket() override { return worker_.Socket(); }
  void KeepSocketOpen() override { worker_.KeepSocketOpen(); }

  void ComponentFinalize() override {
    {
      std::lock_guard<std::mutex> lock(LiveMutex());
      LiveClients().erase(this);
    }
    log_.Trace("cleanup is invoked\n");
    if (state_ == kConnecting || state_ == kConnected) {
      this->Disconnect();
      log_.Error("connection is alive when clan up!");
    }
    worker_.Stop();
    state_ = kNotCreated;
    if (lookup_ != nullptr) {
      EventSourceOf(lookup_)->RemoveListener(&lookupSink_);
      lookup_->Destroy(0);
      lookup_ = nullptr;
    }
    if (window_ != nullptr && IsWindow(window_)) {
      // Records still queued are freed by the procedure, which no longer
      // finds this client in the list.
      MSG msg;
      while (PeekMessageA(&msg, window_, kRecordMessage, kRecordMessage, PM_REMOVE)) {
        DispatchMessageA(&msg);
      }
      DestroyWindow(window_);
    } else {
      log_.Error("窗口句柄没有了，可能会造成内存泄漏!");
    }
    window_ = nullptr;
    sink_ = nullptr;
  }

 private:
  class LookupSink final : public IHostLookupSink {
   public:
    explicit LookupSink(CTCPClient* owner) : owner_(owner) {}
    void OnHostLookupSuccess(const uint32_t* addresses, uint32_t count) override {
      owner_->OnHostLookupSuccess(addresses, count);
    }
    void OnHostLookupFail(uint32_t error) override { owner_->OnHostLookupFail(error); }

   private:
    CTCPClient* owner_;
  };

  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kRecordMessage) return DefWindowProcA(hwnd, msg, wParam, lParam);
    auto* record = reinterpret_cast<EventRecord*>(wParam);
    if (record == nullptr) return 0;
    bool live;
    {
      std::lock_guard<std::mutex> lock(LiveMutex());
      live = LiveClients().count(record->owner) != 0;
    }
    if (live) record->owner->Deliver(*record);
    free(record->payload);
    delete record;
    return 0;
  }

  void Deliver(const EventRecord& record) {
    GAVIO_HOLD_OR_RETURN();
    // A record of a connection this client has since replaced is stale.
    if (record.generation != generation_) return;
    if (record.dataOrClose == 0) {
      OnConnect(record.connectResult == 0);
    } else if (record.closeFlag != 0) {
      OnClose();
    } else {
      OnRead(record.payload, record.length);
    }
  }

  void OnConnect(bool failed) {
    log_.Trace("OnConnect %d\n", failed ? 0 : 1);
    if (state_ != kConnecting) log_.Error("status error to onconnect : %d", state_);
    if (failed) {
      state_ = kCreated;
      log_.Trace("FireOnConnectFail\n");
      if (sink_ != nullptr) sink_->OnConnectFail(kConnectFailRefused);
      return;
    }
    state_ = kConnected;
    if (sink_ != nullptr) {
      in_addr address{ip_};
      log_.Trace("CTCPClient::OnConnect OnConnect %s success!\n", winsock::inet_ntoa(address));
      sink_->OnConnectSuccess();
    }
  }

  void OnRead(const char* bytes, int32_t length) {
    log_.Trace("OnRead %d\n", length);
    if (state_ != kConnected && state_ != kClosed) {
      Fail(kTransportErrorBadState);
      log_.Error("status error to onread : %d\n", state_);
    }
    if (sink_ != nullptr) sink_->OnReceived(bytes, length);
  }

  void OnClose() {
    log_.Trace("onclose is invoked\n");
    if (state_ != kConnecting && state_ != kConnected) {
      Fail(kTransportErrorBadState);
      log_.Error("status error to disconnect : %d", state_);
      return;
    }
    state_ = kClosed;
    log_.Trace("CloseSocket is invoked\n");
    worker_.Stop();
    log_.Trace("FireOnDisconnect\n");
    if (sink_ != nullptr) sink_->OnClosed(0);
  }

  void OnHostLookupSuccess(const uint32_t* addresses, uint32_t count) {
    GAVIO_HOLD_OR_RETURN();
    if (count < 1 || addresses == nullptr) {
      log_.Error("OnHostLookupSuccess nIPNum=%d\n", static_cast<int32_t>(count));
      return;
    }
    uint32_t ip = addresses[static_cast<uint32_t>(rand()) % count];
    log_.Trace("OnHostLookupSuccess ulIP=[%u]\n", ip);
    static_cast<ITransport*>(this)->ConnectIP(ip, lookupPort_);
  }

  void OnHostLookupFail(uint32_t error) {
    GAVIO_HOLD_OR_RETURN();
    if (sink_ != nullptr) sink_->OnConnectFail(static_cast<int32_t>(error));
  }

  void Fail(uint32_t error) {
    lastError_ = error;
    SetLastError(error);
  }

  LogSink log_;
  WsaMembership wsa_;
  ConnectWorker worker_;
  int32_t state_ = kNotCreated;
  ITransportSink* sink_ = nullptr;
  uint32_t ip_ = 0;
  uint16_t port_ = 0;
  uint16_t lookupPort_ = 0;
  uint32_t lastError_ = 0;
  uint32_t generation_ = 0;
  HWND window_ = nullptr;
  IHostLookup* lookup_ = nullptr;
  LookupSink lookupSink_;
};

// ---- The worker --------------------------------------------------------------

bool ConnectWorker::Start(uint32_t ip, uint16_t port, uint32_t generation) {
  Stop();
  if (wakeFd_ < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);  // a worker that cannot be woken cannot be stopped
    return false;
  }
  closeFlag_ = false;
  DrainWake();
  auto* start = new (std::nothrow)
      StartBlock{this, owner_, window_, ip, port, keepSocketOpen_.load(), generation};
  if (start == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  thread_ = CreateThread(nullptr, kWorkerStackSize, ConnAndRecvThread, start, 0, &threadId_);
  if (thread_ == nullptr) {
    delete start;
    return false;
  }
  return true;
}

void ConnectWorker::Stop() {
  closeFlag_ = true;
  Wake();
  {
    std::lock_guard<std::mutex> lock(connectLock_);
    if (connectingSocket_ != INVALID_SOCKET) winsock::shutdown(connectingSocket_, SHUT_RDWR);
  }
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
    threadId_ = 0;
  }
}

DWORD ConnectWorker::ConnAndRecvThread(void* parameter) {
  auto* start = static_cast<StartBlock*>(parameter);
  start->worker->Run(*start);
  delete start;
  return 0;
}

EventRecord* ConnectWorker::NewRecord(const StartBlock& start, int32_t connectResult,
                                      int32_t dataOrClose, int32_t closeFlag, char* payload,
                                      int32_t length) {
  auto* record = new (std::nothrow)
      EventRecord{nullptr, connectResult, dataOrClose, closeFlag, payload, length, start.generation};
  if (record == nullptr) free(payload);
  return record;
}

void ConnectWorker::Post(const StartBlock& start, EventRecord* record) {
  record->owner = start.owner;
  if (start.window == nullptr || !IsWindow(start.window) ||
      !PostMessageA(start.window, kRecordMessage, reinterpret_cast<WPARAM>(record), 0)) {
    free(record->payload);
    delete record;
  }
}

int32_t ConnectWorker::WaitReadable(SOCKET s, int32_t timeoutMs, bool* readable) {
  winsock::fd_set readSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(s, &readSet);
  winsock::FdSet(static_cast<SOCKET>(wakeFd_), &readSet);
  winsock::timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int32_t rc = winsock::select(0, &readSet, nullptr, nullptr, timeoutMs < 0 ? nullptr : &timeout);
  *readable = rc > 0 && winsock::FdIsSet(s, &readSet);
  if (rc > 0 && winsock::FdIsSet(static_cast<SOCKET>(wakeFd_), &readSet)) DrainWake();
  return rc;
}

void ConnectWorker::Throttle(uint64_t total, DWORD startTick) {
  uint32_t limit;
  {
    std::lock_guard<std::mutex> lock(limitLock_);
    limit = speedLimit_;
  }
  if (limit == 0) return;
  double expected = static_cast<double>(total) / (static_cast<double>(limit) * 1.024);
  double elapsed = static_cast<double>(GetTickCount() - startTick);
  if (expected <= elapsed) return;
  DWORD pause = static_cast<DWORD>(ceil(expected - elapsed));
  sleeping_ = true;
  DWORD until = GetTickCount() + pause;
  // Interruptible: a stop or new options end the pause early.
  while (!closeFlag_.load()) {
    int32_t left = static_cast<int32_t>(until - GetTickCount());
    if (left <= 0) break;
    winsock::fd_set readSet;
    winsock::FdZero(&readSet);
    winsock::FdSet(static_cast<SOCKET>(wakeFd_), &readSet);
    winsock::timeval timeout{left / 1000, (left % 1000) * 1000};
    if (winsock::select(0, &readSet, nullptr, nullptr, &timeout) > 0) DrainWake();
  }
  sleeping_ = false;
}

void ConnectWorker::CloseConnection(const StartBlock& start, SOCKET s) {
  std::lock_guard<std::mutex> lock(socketLock_);
  socket_ = INVALID_SOCKET;
  if (!start.keepSocketOpen) {
    OutputDebugStringA("ConnAndRecvThread CloseSocket Now");
    closesocket(s);
  }
  OutputDebugStringA("ConnAndRecvThread CloseSocket 3");
}

void ConnectWorker::Run(const StartBlock& start) {
  bool throttling = (flags_ & kTransportSpeedLimitOn) != 0;
  {
    std::lock_guard<std::mutex> lock(limitLock_);
    throttling = throttling && speedLimit_ > 0;
  }
  bool aggregation = AggregationOn(flags_, units_);

  SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    // Out of descriptors: the caller hears of it as a failed connect.
    if (EventRecord* record = NewRecord(start, 0, 0, 0, nullptr, 0)) Post(start, record);
    return;
  }
  if (closeFlag_) {
    closesocket(s);
    OutputDebugStringA("ConnAndRecvThread CloseSocket 1");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(connectLock_);
    connectingSocket_ = s;
  }
  inConnect_ = true;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(start.port);
  address.sin_addr.s_addr = start.ip;
  bool connected =
      winsock::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  inConnect_ = false;
  {
    std::lock_guard<std::mutex> lock(connectLock_);
    connectingSocket_ = INVALID_SOCKET;
  }
  if (connected) OutputDebugStringA("connect success");
  if (closeFlag_) {
    closesocket(s);
    OutputDebugStringA("ConnAndRecvThread CloseSocket 2");
    return;
  }
  if (!connected) {
    // The socket of a failed connect is of no further use: closed at once.
    closesocket(s);
    if (EventRecord* record = NewRecord(start, 0, 0, 0, nullptr, 0)) Post(start, record);
    return;
  }
  socket_ = s;
  EventRecord* connectRecord = NewRecord(start, 1, 0, 0, nullptr, 0);
  if (connectRecord == nullptr) return CloseConnection(start, s);
  Post(start, connectRecord);

  uint16_t linger[2] = {1, 1};
  winsock::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(linger),
                      sizeof linger);
  char buffer[kReceiveBufferSize];
  DWORD startTick = GetTickCount();
  DWORD lastDelivery = startTick;
  uint64_t total = 0;
  char* aggregate = nullptr;
  uint32_t aggregateSize = 0;  // the size it was made with; units may change meanwhile
  uint32_t pending = 0;

  auto deliver = [&](char* payload, uint32_t length) {
    EventRecord* record = NewRecord(start, 0, 1, 0, payload, static_cast<int32_t>(length));
    if (record == nullptr) return false;
    Post(start, record);
    return true;
  };

  for (;;) {
    // Waits without a time limit unless an aggregate must go out by its
    // deadline; stops and option changes arrive on the wake-up descriptor.
    int32_t timeoutMs = -1;
    if (aggregation && pending > 0) {
      DWORD age = GetTickCount() - lastDelivery;
      timeoutMs = age > kAggregateMaxAgeMs ? 0 : static_cast<int32_t>(kAggregateMaxAgeMs - age + 1);
    }
    bool readable = false;
    int32_t selected = WaitReadable(s, timeoutMs, &readable);

    uint32_t units = units_.load() & 0xFF;
    bool aggregationNow = AggregationOn(flags_, units);
    uint32_t capacity = units * 1000;
    if (aggregation && pending >= 1) {
      if (GetTickCount() - lastDelivery > kAggregateMaxAgeMs || pending >= capacity ||
          !aggregationNow) {
        bool posted = deliver(aggregate, pending);
        aggregate = nullptr;
        pending = 0;
        lastDelivery = GetTickCount();
        if (!posted) return CloseConnection(start, s);
      }
    }
    aggregation = aggregationNow;
    if (selected == SOCKET_ERROR) break;

    if (!readable) {
      if (closeFlag_) break;
      continue;
    }
    if (throttling) Throttle(total, startTick);
    int32_t got = winsock::recv(s, buffer, kReceiveBufferSize, 0);
    if (got > 0) total += static_cast<uint64_t>(got);
    if (got == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT) continue;
    if (got <= 0 || closeFlag_ || !IsWindow(start.window)) break;

    if (!aggregation) {
      char* copy = static_cast<char*>(malloc(static_cast<size_t>(got)));
      if (copy == nullptr) return CloseConnection(start, s);
      memcpy(copy, buffer, static_cast<size_t>(got));
      if (!deliver(copy, static_cast<uint32_t>(got))) return CloseConnection(start, s);
      continue;
    }
    uint32_t grown = pending + static_cast<uint32_t>(got);
    if (grown > capacity || (aggregate != nullptr && grown > aggregateSize)) {
      if (pending > 0 && !deliver(aggregate, pending)) return CloseConnection(start, s);
      aggregate = nullptr;
      pending = 0;
      lastDelivery = GetTickCount();
    }
    if (aggregate == nullptr) {
      aggregate = static_cast<char*>(calloc(1, capacity));
      if (aggregate == nullptr) return CloseConnection(start, s);
      aggregateSize = capacity;
    }
    memcpy(aggregate + pending, buffer, static_cast<size_t>(got));
    pending += static_cast<uint32_t>(got);
    if (pending >= capacity) {
      bool posted = deliver(aggregate, pending);
      aggregate = nullptr;
      pending = 0;
      lastDelivery = GetTickCount();
      if (!posted) return CloseConnection(start, s);
    }
  }
  if (pending > 0) {
    if (!deliver(aggregate, pending)) return CloseConnection(start, s);
    aggregate = nullptr;
  }
  free(aggregate);
  if (EventRecord* record = NewRecord(start, 0, 1, 1, nullptr, 0)) {
    Post(start, record);
  } else {
    return CloseConnection(start, s);
  }
  CloseConnection(start, s);
}

}  // namespace

IComponent* NewTcpClient() { return new (std::nothrow) CTCPClient; }

}  // namespace gavio
