// The transport interface shared by the socket components and the proxy
// tunnels: CTCPClient (53), CUDPClient (54), CHttpProxy (55) and
// CSock5Proxy (56). The connector drives whichever one the proxy type picks
// only through ITransport and hears from it only through ITransportSink.
//
// Thread safety: a transport is used on the thread that created it, and
// every ITransportSink event arrives on that thread (through a hidden
// window, so the thread must pump messages). CTCPClient's Send may also be
// called while its worker receives. Every operation and event handler holds
// the component, so a sink may Destroy the transport from inside an event.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gavio/component.h"
#include "gavio/sink.h"

namespace gavio {

// Error numbers of the transports (set as the thread's last error and as
// the object's last error). ERROR_INVALID_PARAMETER (87) covers bad
// arguments: null host or bytes, zero address or port, over-long host.
enum TransportError : uint32_t {
  kTransportErrorProxyReply = 0x2C000003,        // malformed or refusing SOCKS5 reply
  kTransportErrorCreateTwice = 0x2C000007,       // also: HTTP tunnel with no method left to try
  kTransportErrorBadState = 0x2C000008,          // operation not allowed in the current state
  kTransportErrorNoSocket = 0x2C00000A,          // Send with no socket
  kTransportErrorClosing = 0x2C00000B,           // Send while the worker is closing
  kTransportErrorSecurityMissing = 0x2C00000C,   // security library or interface missing
  kTransportErrorProxyRefused = 0x2C00000D,      // HTTP reply other than 200, or NTLM failure
  kTransportErrorNoAddress = 0x2C00000E,         // lookup gave no address; UDP window/peer text
};

// OnConnectFail values that are not last-error numbers.
constexpr int32_t kConnectFailRefused = -1;          // CTCPClient: refused or failed connect
constexpr int32_t kConnectFailProxyUnreachable = 5;  // tunnels: the proxy could not be reached

// The socket value GetSocket returns when there is none (the platform's
// INVALID_SOCKET; SOCKET is an unsigned pointer-sized handle).
constexpr uintptr_t kTransportInvalidSocket = ~static_cast<uintptr_t>(0);

// Proxy settings block (828 bytes, copied whole by Create). Read by the
// tunnels only; CTCPClient and CUDPClient ignore it. Text fields are
// NUL-terminated narrow text.
struct ProxySettings {
  int32_t proxyKind;     // 0 none, 1 SOCKS5, 3 HTTP (read by the connector manager only)
  char host[32];         // proxy host address
  uint16_t port;         // proxy port, host byte order
  char userName[260];
  char password[260];
  char domain[260];      // NTLM only
  uint8_t reserved[10];  // not read by the tunnels
};
static_assert(sizeof(ProxySettings) == 828, "proxy settings block is 828 bytes");
static_assert(offsetof(ProxySettings, host) == 4);
static_assert(offsetof(ProxySettings, port) == 36);
static_assert(offsetof(ProxySettings, userName) == 38);
static_assert(offsetof(ProxySettings, password) == 298);
static_assert(offsetof(ProxySettings, domain) == 558);
static_assert(offsetof(ProxySettings, reserved) == 818);

// TransportOptions.flags bits.
constexpr uint32_t kTransportAggregationOn = 0x1;
constexpr uint32_t kTransportSpeedLimitOn = 0x2;

// Receive tuning of CTCPClient (12 bytes, copied whole by SetOptions).
struct TransportOptions {
  uint32_t flags;             // kTransportAggregationOn | kTransportSpeedLimitOn
  uint32_t aggregationUnits;  // low byte: aggregate size in units of 1000 bytes;
                              // aggregation acts only when units * 1000 > 10240
  uint32_t speedLimit;        // kilobytes (1024 bytes) per second; 0 = no pause
};
static_assert(sizeof(TransportOptions) == 12, "transport options are 12 bytes");

class ITransportSink : public ISink {
 public:
  // 1: the connection (or tunnel) stands.
  virtual void OnConnectSuccess() = 0;
  // 2: the connect failed; the transport is back in its created state and
  // may connect again. error: kConnectFailRefused, the host lookup's error,
  // kConnectFailProxyUnreachable or a tunnel's code.
  virtual void OnConnectFail(int32_t error) = 0;
  // 3: bytes received. They belong to the transport and are valid only
  // during the call.
  virtual void OnReceived(const char* bytes, int32_t length) = 0;
  // 4: the peer closed the connection (reason 0 from CTCPClient). Not
  // raised after the caller's own Disconnect.
  virtual void OnClosed(int32_t reason) = 0;
};

class ITransport : public IComponent {
 public:
  // 5: binds the sink (not owned; null is accepted and then nothing is
  // reported). settings may be null for CTCPClient and CUDPClient; the
  // tunnels need it. Returns 1, or 0 with the last error set (a second
  // Create is refused).
  virtual int32_t Create(const ProxySettings* settings, ITransportSink* sink) = 0;
  // 6: connects to ip (IPv4, network byte order) on port (host order).
  // Returns 1 when the connect was started; the result arrives as
  // OnConnectSuccess or OnConnectFail.
  virtual int32_t ConnectIP(uint32_t ip, uint16_t port) = 0;
  // 7: host is a dotted IPv4 address or a host name (resolved
  // asynchronously, except by CUDPClient). Returns 1 when a connect or a
  // lookup was started.
  virtual int32_t Connect(const char* host, uint16_t port) = 0;
  // 8: drops the connection; no OnClosed follows. Returns 1 if a connection
  // was being made or was up.
  virtual int32_t Disconnect() = 0;
  // 9: sends length bytes; returns 1 only when all of them were sent.
  virtual int32_t Send(const char* bytes, int32_t length) = 0;
  // 10: kilobytes per second; acts only while kTransportSpeedLimitOn is set.
  virtual void SetSpeedLimit(uint32_t kilobytesPerSecond) = 0;
  // 11: units of 1000 bytes; acts only while kTransportAggregationOn is set.
  virtual void SetAggregation(uint8_t units) = 0;
  // 12: copies the 12-byte record (null is ignored).
  virtual void SetOptions(const TransportOptions* options) = 0;
  // 13: the socket, or kTransportInvalidSocket.
  virtual uintptr_t GetSocket() = 0;
  // 14: the socket outlives the connection: the transport will not close it.
  virtual void KeepSocketOpen() = 0;
  // 15: releases everything; called once, by Destroy. No event follows.
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio
