// CUDPClient (component 54): one non-blocking datagram socket whose
// readiness arrives as window messages (WSAAsyncSelect) on the creating
// thread. "Connecting" only records the peer; sending splits a buffer into
// datagrams no larger than the socket's send buffer.
//
// Single-threaded: every operation and event runs on the thread that owns
// the hidden window; host names are resolved with a blocking call there.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <new>

#include "gavio/ids.h"
#include "gavio/net.h"
#include "host/factories.h"
#include "net/wsa_membership.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"
#include "runtime/memory_client.h"

namespace gavio {
namespace {

constexpr UINT kSocketMessage = 13124;
constexpr LONG kSelectedEvents = FD_READ | FD_CONNECT | FD_CLOSE;  // 49
constexpr char kWindowClass[] = "LUMOGAME_SOCKET_BASE_CLASS_NAME";
constexpr int32_t kDefaultBufferSize = 1024;
constexpr DWORD kSocketTimeoutMs = 2000;
constexpr int kMaxZeroSends = 5;
// The largest payload one IPv4 datagram can carry. A send buffer is often
// larger than that here, and a datagram cut to it would never leave.
constexpr int32_t kMaxDatagram = 65507;

enum State : int32_t {
  kNotCreated = 0,
  kCreated = 1,
  kConnected = 3,
  kDisconnected = 4,
};

// The three socket events, in the order the window procedure knows them.
class ISocketEventHandler {
 public:
  virtual void OnRead(SOCKET s, int32_t error) = 0;
  virtual void OnClose(SOCKET s, int32_t error) = 0;
  virtual void OnConnect(SOCKET s, int32_t error) = 0;
};

LRESULT SocketWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kSocketMessage) {
    auto* handler = reinterpret_cast<ISocketEventHandler*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (handler != nullptr) {
      SOCKET s = static_cast<SOCKET>(wParam);
      int32_t error = WSAGETSELECTERROR(lParam);
      switch (WSAGETSELECTEVENT(lParam)) {
        case FD_READ: handler->OnRead(s, error); break;
        case FD_CONNECT: handler->OnConnect(s, error); break;
        case FD_CLOSE: handler->OnClose(s, error); break;
        default: break;
      }
    }
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class CUDPClient final : public Component<kUdpClientId, ITransport> {
 public:
  CUDPClient() : log_(nullptr, kUdpClientId), memory_(kUdpClientId), events_(this) {}

  int32_t Create(const ProxySettings*, ITransportSink* sink) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (state_ != kNotCreated) {
      lastError_ = kTransportErrorBadState;
      log_.Error("please don't create twice!");
      SetLastError(lastError_);
      return 0;
    }
    if (sink == nullptr) log_.Trace("create with null eventhandler");
    sink_ = sink;
    if (!CreateWindow()) {
      lastError_ = kTransportErrorNoAddress;
      SetLastError(lastError_);
      return 0;
    }
    if (!SetUpSocket()) {
      SetLastError(lastError_);
      return 0;
    }
    state_ = kCreated;
    return 1;
  }

  int32_t ConnectIP(uint32_t ip, uint16_t port) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (ip == 0 || port == 0) {
      lastError_ = ERROR_INVALID_PARAMETER;
      return 0;
    }
    char text[33];
    snprintf(text, sizeof text, "%s", winsock::inet_ntoa(in_addr{ip}));
    return Connect(text, port);
  }

  int32_t Connect(const char* host, uint16_t port) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (host == nullptr || port == 0) {
      lastError_ = ERROR_INVALID_PARAMETER;
      return FailConnect(static_cast<int32_t>(lastError_));
    }
    char dotted[16];
    uint32_t ip = winsock::inet_addr(host);
    if (ip == INADDR_NONE) {
      hostent* entry = winsock::gethostbyname(host);
      if (entry == nullptr || entry->h_addr_list[0] == nullptr) {
        lastError_ = static_cast<uint32_t>(WSAGetLastError());
        log_.Error("gethostbyname fail!");
        return FailConnect(static_cast<int32_t>(lastError_));
      }
      int count = 0;
      while (entry->h_addr_list[count] != nullptr) ++count;
      int chosen = 0;
      if (count >= 2) {
        srand(static_cast<unsigned>(time(nullptr)));
        chosen = rand() % count;
      }
      memcpy(&ip, entry->h_addr_list[chosen], sizeof ip);
    }
    int written = snprintf(dotted, sizeof dotted, "%s", winsock::inet_ntoa(in_addr{ip}));
    if (written < 0 || static_cast<size_t>(written) >= sizeof peerAddress_) {
      lastError_ = kTransportErrorNoAddress;
      return FailConnect(static_cast<int32_t>(lastError_));
    }
    memcpy(peerAddress_, dotted, static_cast<size_t>(written) + 1);
    peerPort_ = port;
    state_ = kConnected;
    if (sink_ != nullptr) sink_->OnConnectSuccess();
    return 1;
  }

  int32_t Disconnect() override {
    GAVIO_HOLD_OR_RETURN(0);
    peerAddress_[0] = '\0';
    peerPort_ = 0;
    state_ = kDisconnected;
    return 1;
  }

  int32_t Send(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (bytes == nullptr || length < 1 || state_ != kConnected) {
      lastError_ = (bytes == nullptr || length < 1) ? ERROR_INVALID_PARAMETER
                                                    : kTransportErrorBadState;
      log_.Error("CUDPClient::Send() error");
      SetLastError(lastError_);
      return 0;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(peerPort_);
    to.sin_addr.s_addr = winsock::inet_addr(peerAddress_);
    int32_t chunk = sendBufferSize_ < kMaxDatagram ? sendBufferSize_ : kMaxDatagram;
    if (chunk < 1) chunk = kDefaultBufferSize;
    int32_t sent = 0;
    int zeroCount = 0;
    while (sent < length) {
      int32_t part = length - sent < chunk ? length - sent : chunk;
      int32_t n = winsock::sendto(socket_, bytes + sent, part, 0,
                                  reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (n == SOCKET_ERROR) {
        log_.Error("send function fail");
        break;
      }
      if (n == 0) {
        if (++zeroCount > kMaxZeroSends) {
          log_.Error("send return 0 more than %d times", kMaxZeroSends);
          break;
        }
        continue;
      }
      sent += n;
      zeroCount = 0;
    }
    if (sent == length) return 1;
    lastError_ = static_cast<uint32_t>(WSAGetLastError());
    return 0;
  }

  void SetSpeedLimit(uint32_t) override {}
  void SetAggregation(uint8_t) override {}
  void SetOptions(const TransportOptions*) override {}
  uintptr_t GetSocket() override { return socket_; }
  void KeepSocketOpen() override {}

  void ComponentFinalize() override {
    if (state_ == 2 || state_ == kConnected) {
      Disconnect();
      log_.Error("connection is alive when clan up!");
    }
    if (socket_ != INVALID_SOCKET) {
      if (closesocket(socket_) == SOCKET_ERROR) log_.Error("closesocket function fail!");
      socket_ = INVALID_SOCKET;
    }
    memory_.Release(receiveBuffer_);
    receiveBuffer_ = nullptr;
    memory_.Close();
    state_ = kNotCreated;
    if (window_ != nullptr) {
      DestroyWindow(window_);
      window_ = nullptr;
    }
    // Refused (and harmless) while other clients' windows of the class live.
    UnregisterClassA(kWindowClass, nullptr);
    sink_ = nullptr;
  }

 private:
  class EventHandler final : public ISocketEventHandler {
   public:
    explicit EventHandler(CUDPClient* owner) : owner_(owner) {}
    void OnRead(SOCKET s, int32_t error) override { owner_->OnRead(s, error); }
    void OnClose(SOCKET s, int32_t error) override {
      owner_->log_.Error(
          "CUDPClient::OnClose() never be invoked, it`s error,socket:%d,error code=%d",
          static_cast<int32_t>(s), error);
    }
    void OnConnect(SOCKET s, int32_t error) override {
      owner_->log_.Error(
          "CUDPClient::OnConnect() never be invoked, it`s error,socket:%d,error code=%d",
          static_cast<int32_t>(s), error);
    }

   private:
    CUDPClient* owner_;
  };

  int32_t FailConnect(int32_t error) {
    state_ = kCreated;
    SetLastError(lastError_);
    if (sink_ != nullptr) sink_->OnConnectFail(error);
    return 0;
  }

  bool CreateWindow() {
    UnregisterClassA(kWindowClass, nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = SocketWindowProc;
    wc.lpszClassName = kWindowClass;
    if (RegisterClassA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    window_ = CreateWindowExA(0, kWindowClass, kWindowClass, 0, 0, 0, 0, 0, nullptr, nullptr,
                              nullptr, nullptr);
    if (window_ == nullptr) return false;
    SetWindowLongPtrA(window_, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(static_cast<ISocketEventHandler*>(&events_)));
    return true;
  }

  int32_t ReadBufferSize(int32_t option, const char* failure) {
    int32_t size = 0;
    int32_t length = sizeof size;
    if (winsock::getsockopt(socket_, SOL_SOCKET, option, reinterpret_cast<char*>(&size),
                            &length) == SOCKET_ERROR ||
        size < 1) {
      log_.Error("%s", failure);
      return kDefaultBufferSize;
    }
    return size;
  }

  bool SetUpSocket() {
    if (socket_ != INVALID_SOCKET) {
      log_.Error("create socket when socket already exist");
      lastError_ = kTransportErrorCreateTwice;
      return false;
    }
    socket_ = winsock::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket_ == INVALID_SOCKET) {
      lastError_ = static_cast<uint32_t>(WSAGetLastError());
      log_.Error("socket function error");
      return false;
    }
    uint32_t nonBlocking = 1;
    if (ioctlsocket(socket_, FIONBIO_WS, &nonBlocking) == SOCKET_ERROR) {
      lastError_ = static_cast<uint32_t>(WSAGetLastError());
      log_.Error("ioctlsocket fail!%d", WSAGetLastError());
      return false;
    }
    receiveBufferSize_ = ReadBufferSize(SO_RCVBUF, "getsockopt to get receive buf len fail!");
    log_.Trace("getsockopt SO_RCVBUF:%d", receiveBufferSize_);
    receiveBuffer_ =
        static_cast<char*>(memory_.AllocateZeroed(static_cast<uint32_t>(receiveBufferSize_)));
    if (receiveBuffer_ == nullptr) {
      lastError_ = ERROR_NOT_ENOUGH_MEMORY;
      log_.Error("Alloc receive buffer fail");
      return false;
    }
    sendBufferSize_ = ReadBufferSize(SO_SNDBUF, "getsockopt to get send buf len fail!");
    log_.Trace("getsockopt receive buffer len : %d\n", sendBufferSize_);
    DWORD timeout = kSocketTimeoutMs;
    winsock::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                        sizeof timeout);
    winsock::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                        sizeof timeout);
    if (WSAAsyncSelect(socket_, window_, kSocketMessage, kSelectedEvents) == SOCKET_ERROR) {
      lastError_ = static_cast<uint32_t>(WSAGetLastError());
      log_.Error("WSAAsyncSelect function fail!");
      return false;
    }
    return true;
  }

  void OnRead(SOCKET s, int32_t error) {
    GAVIO_HOLD_OR_RETURN();
    if (state_ != kConnected && state_ != kDisconnected) {
      lastError_ = kTransportErrorBadState;
      log_.Error("error to onread : %d", state_);
    }
    if (error != 0 || s != socket_ || receiveBuffer_ == nullptr) return;
    uint32_t pending = 0;
    if (ioctlsocket(s, FIONREAD_WS, &pending) == SOCKET_ERROR) {
      log_.Error("ioctlsocket FIONREAD fail!");
    }
    log_.Trace("GetPendingDataLen:%d", static_cast<int32_t>(pending));
    int32_t want = pending < static_cast<uint32_t>(receiveBufferSize_)
                       ? static_cast<int32_t>(pending)
                       : receiveBufferSize_;
    // A datagram longer than the buffer is cut to it; one of length 0 is
    // still taken off the queue.
    sockaddr_in from{};
    int32_t fromLength = sizeof from;
    int32_t got = winsock::recvfrom(s, receiveBuffer_, want, 0,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got == SOCKET_ERROR) {
      lastError_ = static_cast<uint32_t>(WSAGetLastError());
      log_.Error("recv function fail");
      return;
    }
    if (got >= 1 && sink_ != nullptr) sink_->OnReceived(receiveBuffer_, got);
  }

  LogSink log_;
  WsaMembership wsa_;
  MemoryClient memory_;
  EventHandler events_;
  int32_t state_ = kNotCreated;
  ITransportSink* sink_ = nullptr;
  uint32_t lastError_ = 0;
  SOCKET socket_ = INVALID_SOCKET;
  HWND window_ = nullptr;
  int32_t receiveBufferSize_ = kDefaultBufferSize;
  int32_t sendBufferSize_ = kDefaultBufferSize;
  char* receiveBuffer_ = nullptr;
  char peerAddress_[16] = {};
  uint16_t peerPort_ = 0;
};

}  // namespace

IComponent* NewUdpClient() { return new (std::nothrow) CUDPClient; }

}  // namespace gavio
