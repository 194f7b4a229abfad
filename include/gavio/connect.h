// Server connection management: the connector (322) that frames one game
// server connection into packets, its two front-ends (323, 324) that walk a
// list of servers of their own, the net speed detector (39) that ranks
// servers by UDP probe, and the connector manager (1131) that turns a
// server-list file into a connection.
//
// Thread safety: every component here is used on the thread that created
// it, and every event arrives on that thread (the thread must pump
// messages). Operations and events hold the component, so a listener may
// disconnect or Destroy it from inside any event.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gavio/component.h"
#include "gavio/net.h"
#include "gavio/sink.h"

namespace gavio {

// Error numbers of the connector and the manager (also the thread's last
// error). ERROR_INVALID_PARAMETER (87) covers a null SocketParam and a
// Connect with neither address nor host name.
enum ConnectError : uint32_t {
  kConnectErrorFailed = 0x2C000001,         // second connect failed; time-out
  kConnectErrorNotConnected = 0x2C000008,   // Send while not connected
  kConnectErrorSameAddress = 0x2C00000E,    // lookup failed or gave the tried address
  kConnectErrorNoServerLeft = 0x2C00016A,   // manager: no usable server or port remains
};

// Proxy type of SocketParam: which transport the connector creates.
enum ConnectorProxyType : int32_t {
  kProxyTypeTcp = 0,     // CTCPClient (53)
  kProxyTypeUdp = 1,     // CUDPClient (54)
  kProxyTypeSocks5 = 2,  // CSock5Proxy (56)
  kProxyTypeHttp = 4,    // CHttpProxy (55)
};

struct SocketParam {
  int32_t proxyType;               // ConnectorProxyType
  const ProxySettings* settings;   // copied by the connector; may be null
};

// One server, given to IConnector::Connect and copied whole.
struct ServerEntry {
  uint32_t serverId;
  char address[16];   // dotted IPv4 text, NUL-terminated; empty = use the host name
  uint16_t port;
  char hostName[34];  // NUL-terminated
};
static_assert(sizeof(ServerEntry) == 56, "server entry is 56 bytes");
static_assert(offsetof(ServerEntry, address) == 4);
static_assert(offsetof(ServerEntry, port) == 20);
static_assert(offsetof(ServerEntry, hostName) == 22);

// The connector's message to its transfer window: a heap copy of one
// packet (wParam) and its length (lParam); and a deferred close (wParam =
// reason).
constexpr uint32_t kWmConnectorData = 0x5D4;
constexpr uint32_t kWmConnectorClose = 0x5D5;

// Events of the connector and of the connector manager.
class IConnectorSink : public ISink {
 public:
  virtual void OnConnected() = 0;                              // 1
  virtual void OnConnectFailed(uint32_t error) = 0;            // 2
  virtual void OnClose(int32_t reason) = 0;                    // 3
  // 4: bytes are valid only during the call.
  virtual void OnPacket(const char* bytes, int32_t length) = 0;
};

// Component 322. Listeners register through IEventSource (the second base).
class IConnector : public IComponent {
 public:
  // 5: null gives 0 and last error 87. Copies the proxy settings.
  virtual int32_t SetSocketParam(const SocketParam* param) = 0;
  virtual void SetFraming(int32_t on) = 0;  // 6
  // 7: accepted when maximum > 0 and width >= 0 (signed 16-bit).
  virtual int32_t SetPacketParam(int32_t maximum, int16_t width, int32_t offset) = 0;
  // 8: ignored unless entry is set and the connector is idle. The result
  // arrives as OnConnected or OnConnectFailed.
  virtual void Connect(const ServerEntry* entry) = 0;
  virtual void Disconnect() = 0;                                // 9
  virtual void Send(const char* bytes, int32_t length) = 0;     // 10
  virtual void SetSpeedLimit(uint32_t kilobytesPerSecond) = 0;  // 11
  virtual void SetAggregation(uint8_t units) = 0;               // 12
  virtual void SetLengthAdjust(int32_t adjust) = 0;             // 13
  // 14: 1 = packets delivered on the receiving call; 0 = through the
  // transfer window.
  virtual void SetSyncDispatch(int32_t on) = 0;
  virtual uintptr_t GetSocket() = 0;          // 15: kTransportInvalidSocket without a transport
  virtual void KeepSocketOpen() = 0;          // 16
  virtual void ComponentFinalize() = 0;       // 17
};

// The front-ends' server list (1796 bytes, copied whole).
constexpr int kFrontEndMaxServers = 32;
struct FrontEndServerList {
  uint32_t count;
  ServerEntry servers[kFrontEndMaxServers];
};
static_assert(sizeof(FrontEndServerList) == 1796, "front-end server list is 1796 bytes");

class IConnectorFrontEndSink : public ISink {
 public:
  virtual void OnConnectFailed(int32_t error) = 0;             // 1 (-1: every server failed)
  virtual void OnData(const char* bytes, int32_t length) = 0;  // 2
  virtual void OnClose(int32_t reason) = 0;                    // 3
};

// Components 323 and 324 (same behaviour). Listeners through IEventSource.
class IConnectorFrontEnd : public IComponent {
 public:
  virtual int32_t SetServerListInfo(const FrontEndServerList* list) = 0;  // 5
  virtual void SetSocketParam(const SocketParam* param) = 0;              // 6
  virtual void SetPacketParam(int32_t maximum, int16_t width) = 0;        // 7
  // 8: sends when connected; otherwise queues a copy and starts connecting.
  virtual void Send(const char* bytes, int32_t length) = 0;
  virtual void Disconnect() = 0;                               // 9
  virtual int32_t GetCurrentServer(ServerEntry* out) = 0;      // 10
  virtual void ComponentFinalize() = 0;                        // 11
};

// Detect request entry (72 bytes): given to INetSpeedDetector::Detect and
// to IConnectorManager::AddServers after a 16-bit count.
struct DetectRequestEntry {
  char host[68];  // NUL-terminated text
  uint16_t port;
  uint16_t reserved;
};
static_assert(sizeof(DetectRequestEntry) == 72, "detect request entry is 72 bytes");
static_assert(offsetof(DetectRequestEntry, port) == 68);

// One entry of GetSortedIPArray's result, after a 32-bit count.
struct SortedProbeEntry {
  char address[16];
  uint32_t unused;
  uint32_t timeMs;
  uint32_t weight;
};
static_assert(sizeof(SortedProbeEntry) == 28, "sorted probe entry is 28 bytes");

class INetSpeedDetectorSink : public ISink {
 public:
  virtual void OnDetectReply(const char* address, uint16_t port, uint32_t timeMs) = 0;  // 1
  virtual void OnDetectTimeout() = 0;                                                   // 2
};

// Component 39.
class INetSpeedDetector : public IComponent {
 public:
  virtual int32_t Initialize(INetSpeedDetectorSink* sink) = 0;  // 5
  virtual int32_t Finalize() = 0;                               // 6
  // 7: a 32-bit count and 16-byte address texts; every probe to port 8000.
  virtual int32_t DetectAddresses(const void* addresses, uint32_t timeoutMs) = 0;
  // 8: a 16-bit count followed by DetectRequestEntry records.
  virtual int32_t Detect(const void* request, uint32_t timeoutMs) = 0;
  // 9: a 32-bit count followed by SortedProbeEntry records (room for as
  // many entries as were requested).
  virtual int32_t GetSortedIPArray(void* out) = 0;
  virtual void ComponentFinalize() = 0;  // 10
};

// Component 1131. Listeners (IConnectorSink) through IEventSource.
class IConnectorManager : public IComponent {
 public:
  virtual int32_t LoadServers(const char* path, const char* listName) = 0;  // 5
  virtual void SetCatalogID(int32_t id) = 0;                                // 6
  virtual void SetPriorityList(int32_t count, const int32_t* ids) = 0;      // 7
  virtual void SetExcludeList(int32_t count, const int32_t* ids) = 0;       // 8
  // 9: a 16-bit count followed by DetectRequestEntry records.
  virtual void AddServers(const void* list) = 0;
  virtual void SetProxy(const ProxySettings* block) = 0;                    // 10
  virtual void SetSpeedTest(int32_t on) = 0;                                // 11
  virtual void SetFraming(int32_t on) = 0;                                  // 12
  virtual void SetPacketParam(int32_t maximum, int16_t width, int32_t offset) = 0;  // 13
  virtual int32_t Shuffle() = 0;                                            // 14
  virtual int32_t StartConnect() = 0;                                       // 15
  virtual void Stop() = 0;                                                  // 16
  virtual int32_t ConnectNext() = 0;                                        // 17
  virtual void Send(const char* bytes, int32_t length) = 0;                 // 18
  virtual uintptr_t GetSocket() = 0;                                        // 19
  virtual void SetLengthAdjust(int32_t adjust) = 0;                         // 20
  virtual void KeepSocketOpen() = 0;                                        // 21
  virtual void ComponentFinalize() = 0;                                     // 22
};

}  // namespace gavio
