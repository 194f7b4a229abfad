// CNetSpeedDetector (component 39): ranks servers by the time a small UDP
// probe takes to come back. One non-blocking datagram socket serves every
// probe; replies arrive as window messages on a hidden window of the
// detector, and a window timer ends the waiting.
//
// The probe (16 bytes, little-endian): command 2, a 16-bit sequence number,
// 2 zero bytes, the sender's tick count, a fill word of 1. A reply echoes it;
// one of at least 20 bytes adds a weight (network order) at offset 16.
//
// Single-threaded: every operation and event runs on the thread that owns
// the hidden window.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <list>
#include <new>
#include <random>
#include <vector>

#include "frame/component_base.h"
#include "frame/log_sink.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "runtime/memory_client.h"

namespace gavio {
namespace {

constexpr UINT kSocketMessage = 13098;  // 0x332A
constexpr UINT_PTR kTimeoutTimer = 1;
constexpr char kWindowClass[] = "NetSpeedDetectorModuleWindow";
constexpr int32_t kDefaultBufferSize = 1024;
constexpr DWORD kSocketTimeoutMs = 1000;
constexpr uint32_t kUnansweredTimeMs = 5000;
constexpr uint32_t kDefaultWeight = 100;
constexpr uint32_t kReplyWindowMs = 5000;
constexpr uint16_t kDefaultProbePort = 8000;
constexpr uint32_t kProbeCommand = 2;
constexpr size_t kProbeSize = 16;
constexpr size_t kWeightedReplySize = 20;
constexpr size_t kAddressTextSize = 16;

struct ProbePdu {
  uint32_t command;
  uint16_t sequence;
  uint16_t zero;
  uint32_t tick;
  uint32_t fill;
};
static_assert(sizeof(ProbePdu) == kProbeSize, "a probe is 16 bytes");

struct ProbeEntry {
  char address[kAddressTextSize];
  uint16_t port;
  uint32_t timeMs;
  uint32_t weight;
};

// a before b: the product of time and weight decides; when one factor is 0
// on both sides the other one does.
bool Faster(const ProbeEntry& a, const ProbeEntry& b) {
  if (a.timeMs == 0 && b.timeMs == 0) return a.weight < b.weight;
  if (a.weight == 0 && b.weight == 0) return a.timeMs < b.timeMs;
  // In 64 bits: a weight from the network times a time wraps in 32.
  return static_cast<uint64_t>(a.timeMs) * a.weight < static_cast<uint64_t>(b.timeMs) * b.weight;
}

class IDetectorWindowEvents {
 public:
  virtual void OnSocketEvent(SOCKET s, LPARAM event) = 0;
  virtual void OnTimeoutTimer() = 0;
};

LRESULT DetectorWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* events = reinterpret_cast<IDetectorWindowEvents*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (events != nullptr && msg == kSocketMessage) {
    events->OnSocketEvent(static_cast<SOCKET>(wParam), lParam);
    return 0;
  }
  if (events != nullptr && msg == WM_TIMER && wParam == kTimeoutTimer) {
    events->OnTimeoutTimer();
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class WsaUser {
 public:
  WsaUser() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WsaUser() {
    if (started_) WSACleanup();
  }
  WsaUser(const WsaUser&) = delete;
  WsaUser& operator=(const WsaUser&) = delete;

 private:
  bool started_;
};

class CNetSpeedDetector final : public Component<kNetSpeedDetectorId, INetSpeedDetector>,
                                public IDetectorWindowEvents {
 public:
  CNetSpeedDetector()
      : log_(nullptr, kNetSpeedDetectorId), memory_(kNetSpeedDetectorId),
        random_(std::random_device{}()) {}

  int32_t Initialize(INetSpeedDetectorSink* sink) override {
    GAVIO_HOLD_OR_RETURN(0);
    static const char kName[] = "CNetSpeedDetector::Initialize()";
    if (window_ != nullptr || socket_ != INVALID_SOCKET) return ExitFail(kName);
    sink_ = sink;
    if (!CreateNSDWindow() || !CreateSocket()) {
      Finalize();
      return ExitFail(kName);
    }
    return ExitSuccess(kName);
  }

  int32_t Finalize() override {
    GAVIO_HOLD_OR_RETURN(0);
    if (socket_ != INVALID_SOCKET) {
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
    DestoryNSDWindow();
    memory_.Release(buffer_);
    buffer_ = nullptr;
    detecting_ = false;
    return ExitSuccess("CNetSpeedDetector::Finalize()");
  }

  int32_t DetectAddresses(const void* addresses, uint32_t timeoutMs) override {
    GAVIO_HOLD_OR_RETURN(0);
    static const char kName[] = "CNetSpeedDetector::Detect(addresses)";
    if (addresses == nullptr) return ExitFail(kName);
    uint32_t count;
    memcpy(&count, addresses, sizeof count);
    if (count == 0 || count > UINT16_MAX) return ExitFail(kName);
    const char* text = static_cast<const char*>(addresses) + sizeof count;
    uint16_t requestCount = static_cast<uint16_t>(count);
    std::vector<char> request(sizeof requestCount + count * sizeof(DetectRequestEntry));
    memcpy(request.data(), &requestCount, sizeof requestCount);
    for (uint32_t i = 0; i < count; ++i) {
      DetectRequestEntry entry{};
      memcpy(entry.host, text + i * kAddressTextSize, kAddressTextSize);
      entry.host[kAddressTextSize - 1] = '\0';
      entry.port = kDefaultProbePort;
      memcpy(request.data() + sizeof requestCount + i * sizeof entry, &entry, sizeof entry);
    }
    return Detect(request.data(), timeoutMs) == 1 ? ExitSuccess(kName) : ExitFail(kName);
  }

  int32_t Detect(const void* request, uint32_t timeoutMs) override {
    GAVIO_HOLD_OR_RETURN(0);
    static const char kName[] = "CNetSpeedDetector::Detect()";
    uint16_t count = 0;
    if (request != nullptr) memcpy(&count, request, sizeof count);
    if (count == 0 || socket_ == INVALID_SOCKET || buffer_ == nullptr || Running()) {
      return ExitFail(kName);
    }
    FillProbeList(static_cast<const char*>(request) + sizeof count, count);
    log_.Trace("Detected iparray size is [%d],list infomation is:", static_cast<int>(probes_.size()));
    int index = 0;
    for (const ProbeEntry& entry : probes_) {
      log_.Trace("ip[%d]=[%s],timeout=[%u]", index++, entry.address, entry.timeMs);
    }
    detecting_ = true;
    timedOut_ = false;
    startTick_ = GetTickCount();
    for (const ProbeEntry& entry : probes_) SendRequest(entry);
    if (timeoutMs > 0) {
      timedOut_ = false;
      SetTimer(window_, kTimeoutTimer, timeoutMs, nullptr);
    }
    return ExitSuccess(kName);
  }

  int32_t GetSortedIPArray(void* out) override {
    GAVIO_HOLD_OR_RETURN(0);
    static const char kName[] = "CNetSpeedDetector::GetSortedIPArray()";
    if (out == nullptr || !started_) return ExitFail(kName);
    std::vector<ProbeEntry> sorted(probes_.begin(), probes_.end());
    std::stable_sort(sorted.begin(), sorted.end(), Faster);
    uint32_t count = static_cast<uint32_t>(sorted.size());
    char* to = static_cast<char*>(out);
    memcpy(to, &count, sizeof count);
    to += sizeof count;
    for (const ProbeEntry& entry : sorted) {
      log_.Trace("sorted ip=[%s],time=[%u],weight=[%u]", entry.address, entry.timeMs,
                 entry.weight);
      // The 4 bytes after the address are not the detector's to fill.
      memcpy(to + offsetof(SortedProbeEntry, address), entry.address, sizeof entry.address);
      memcpy(to + offsetof(SortedProbeEntry, timeMs), &entry.timeMs, sizeof entry.timeMs);
      memcpy(to + offsetof(SortedProbeEntry, weight), &entry.weight, sizeof entry.weight);
      to += sizeof(SortedProbeEntry);
    }
    return ExitSuccess(kName);
  }

  void ComponentFinalize() override {
    Finalize();
    sink_ = nullptr;
    memory_.Close();
  }

  // --- the window ---------------------------------------------------------------

  void OnSocketEvent(SOCKET s, LPARAM event) override {
    GAVIO_HOLD_OR_RETURN();
    if (WSAGETSELECTEVENT(event) == FD_READ && s == socket_) OnRead();
  }

  void OnTimeoutTimer() override {
    GAVIO_HOLD_OR_RETURN();
    KillTimer(window_, kTimeoutTimer);
    timedOut_ = true;
    detecting_ = false;
    if (sink_ != nullptr) sink_->OnDetectTimeout();
  }

 private:
  int32_t ExitSuccess(const char* name) {
    log_.Trace("%s exit success", name);
    return 1;
  }
  int32_t ExitFail(const char* name) {
    log_.Trace("%s exit fail", name);
    return 0;
  }

  // A detection is running from Detect until its time-out fired, or, with
  // no time-out, for as long as replies are still reported.
  bool Running() const {
    return detecting_ && !timedOut_ && GetTickCount() - startTick_ <= kReplyWindowMs;
  }

  // Each entry goes to a random place, and the list is reversed now and
  // then, so that no server is always probed (and so answered) first.
  void FillProbeList(const char* entries, uint16_t count) {
    probes_.clear();
    for (uint16_t i = 0; i < count; ++i) {
      DetectRequestEntry request;
      memcpy(&request, entries + i * sizeof request, sizeof request);
      ProbeEntry entry{};
      memcpy(entry.address, request.host, kAddressTextSize - 1);
      entry.address[kAddressTextSize - 1] = '\0';
      entry.port = request.port;
      entry.timeMs = kUnansweredTimeMs;
      entry.weight = kDefaultWeight;
      auto place = probes_.begin();
      if (!probes_.empty()) std::advance(place, random_() % probes_.size());
      probes_.insert(place, entry);
      if ((random_() & 1) != 0) probes_.reverse();
    }
    started_ = true;
  }

  void SendRequest(const ProbeEntry& entry) {
    ProbePdu pdu{kProbeCommand, ++sequence_, 0, GetTickCount(), 1};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(entry.port);
    to.sin_addr.s_addr = winsock::inet_addr(entry.address);
    int32_t sent = -1;
    int32_t error = 0;
    if (to.sin_addr.s_addr == INADDR_NONE) {
      error = WSAHOST_NOT_FOUND;
    } else {
      sent = winsock::sendto(socket_, reinterpret_cast<const char*>(&pdu), sizeof pdu, 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
      if (sent == SOCKET_ERROR) error = WSAGetLastError();
    }
    log_.Trace(
        "sent [%d] bytes to [%s:%d] [%s], pdu:{dwCmd=%u,dwTick=%u,ushSeq=%u,dwFillData=%u},"
        "errorcode=[%u]",
        sent, entry.address, entry.port, sent == static_cast<int32_t>(sizeof pdu) ? "ok" : "fail",
        pdu.command, pdu.tick, pdu.sequence, pdu.fill, static_cast<uint32_t>(error));
  }

  void OnRead() {
    if (timedOut_ || buffer_ == nullptr) return;
    sockaddr_in from{};
    int32_t fromLength = sizeof from;
    int32_t got = winsock::recvfrom(socket_, buffer_, bufferSize_, 0,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got == SOCKET_ERROR) return;
    char address[kAddressTextSize];
    snprintf(address, sizeof address, "%s", winsock::inet_ntoa(from.sin_addr));
    uint16_t port = ntohs(from.sin_port);
    log_.Trace("from [%s:%d] recv udp [%d]bytes", address, port, got);
    if (got < static_cast<int32_t>(kProbeSize)) {
      log_.Error("pdu size error,not support");
      return;
    }
    ProbePdu reply;
    memcpy(&reply, buffer_, sizeof reply);
    if (reply.command != kProbeCommand || reply.tick == 0) return;
    uint32_t timeMs = GetTickCount() - reply.tick;
    bool weighted = got >= static_cast<int32_t>(kWeightedReplySize);
    uint32_t weight = 0;
    if (weighted) {
      memcpy(&weight, buffer_ + kProbeSize, sizeof weight);
      weight = ntohl(weight);
      if (weight == 0) weight = 1;
    }
    int matched = 0;
    for (ProbeEntry& entry : probes_) {
      if (strcmp(entry.address, address) != 0) continue;
      if (weighted && entry.port != port) continue;
      entry.timeMs = timeMs;
      if (weighted) entry.weight = weight;
      ++matched;
    }
    // A datagram from a machine that was never probed is no answer.
    if (matched == 0) return;
    if (sink_ != nullptr && GetTickCount() - startTick_ <= kReplyWindowMs) {
      sink_->OnDetectReply(address, port, timeMs);
    }
  }

  bool CreateNSDWindow() {
    UnregisterClassA(kWindowClass, nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = DetectorWindowProc;
    wc.lpszClassName = kWindowClass;
    if (RegisterClassA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    window_ = CreateWindowExA(0, kWindowClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                              nullptr);
    if (window_ == nullptr) {
      log_.Error("CNetSpeedDetector::CreateNSDWindow() fail");
      return false;
    }
    SetWindowLongPtrA(window_, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(static_cast<IDetectorWindowEvents*>(this)));
    return true;
  }

  void DestoryNSDWindow() {
    if (window_ == nullptr) return;
    KillTimer(window_, kTimeoutTimer);
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    window_ = nullptr;
    UnregisterClassA(kWindowClass, nullptr);
  }

  bool CreateSocket() {
    socket_ = winsock::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket_ == INVALID_SOCKET) {
      log_.Error("CNetSpeedDetector::CreateSocket(), socket fail %d", WSAGetLastError());
      return false;
    }
    uint32_t nonBlocking = 1;
    ioctlsocket(socket_, FIONBIO_WS, &nonBlocking);
    int32_t size = 0;
    int32_t length = sizeof size;
    if (winsock::getsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size),
                            &length) == SOCKET_ERROR ||
        size < 1) {
      size = kDefaultBufferSize;
    }
    bufferSize_ = size;
    buffer_ = static_cast<char*>(memory_.AllocateZeroed(static_cast<uint32_t>(size)));
    if (buffer_ == nullptr) {
      log_.Error("CNetSpeedDetector::CreateSocket(), no receive buffer");
      return false;
    }
    SetSocketTimeout();
    if (WSAAsyncSelect(socket_, window_, kSocketMessage, FD_READ) == SOCKET_ERROR) {
      log_.Error("CNetSpeedDetector::CreateSocket(), WSAAsyncSelect fail %d", WSAGetLastError());
      return false;
    }
    return true;
  }

  void SetSocketTimeout() {
    DWORD timeout = kSocketTimeoutMs;
    winsock::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                        sizeof timeout);
    winsock::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                        sizeof timeout);
  }

  LogSink log_;
  WsaUser wsa_;
  MemoryClient memory_;
  std::minstd_rand random_;
  INetSpeedDetectorSink* sink_ = nullptr;
  SOCKET socket_ = INVALID_SOCKET;
  HWND window_ = nullptr;
  char* buffer_ = nullptr;
  int32_t bufferSize_ = kDefaultBufferSize;
  uint16_t sequence_ = 0;
  std::list<ProbeEntry> probes_;
  bool started_ = false;
  bool detecting_ = false;
  bool timedOut_ = false;
  DWORD startTick_ = 0;
};

}  // namespace

IComponent* NewNetSpeedDetector() { return new (std::nothrow) CNetSpeedDetector; }

}  // namespace gavio
