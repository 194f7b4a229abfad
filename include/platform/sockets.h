// Windows Sockets on POSIX sockets: start-up reference counting, the calls
// the transports make, and readiness notifications posted to a window
// (WSAAsyncSelect).
//
// A SOCKET is the POSIX descriptor widened to UINT_PTR; INVALID_SOCKET is
// ~0. Address records (sockaddr_in, hostent) are the POSIX ones, whose
// IPv4 layout is the Winsock layout. Every call reports failure as Winsock
// does: SOCKET_ERROR / INVALID_SOCKET / null, with a WSAE* code as the
// thread's last error (WSAGetLastError reads the same slot as GetLastError).
//
// Calls whose Winsock names are also POSIX names (socket, connect, select,
// send, recv, ...) live in namespace winsock, so this library never
// replaces the C library's functions for the rest of the process. The
// Winsock-only names (WSAStartup, closesocket, ioctlsocket, ...) are plain C
// exports. Every call but WSAStartup fails with WSANOTINITIALISED while no
// WSAStartup is outstanding.
//
// Notifications (WSAAsyncSelect): the socket becomes non-blocking and the
// chosen events are posted to the window as (msg, wParam = socket, lParam =
// WSAMAKESELECTREPLY(event, error)). The readiness of the socket is part of
// the owner thread's one wait, so the window's thread must pump messages.
//   FD_READ    posted when data (or an error) waits; not again until a
//              receive call on the socket (recv, recvfrom) re-enables it.
//   FD_CONNECT posted once when a connect started on the socket completes,
//              with the connect's error.
//   FD_CLOSE   posted once when the peer closed (error 0) or reset
//              (WSAECONNRESET) the connection; data may still be readable.
// WSAAsyncSelect must be called on the thread that owns the window; events
// 0 cancels. closesocket cancels too, from any thread.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/types.h"

typedef UINT_PTR SOCKET;

#define INVALID_SOCKET (~(SOCKET)0)
#define SOCKET_ERROR (-1)

typedef struct WSAData {
  WORD wVersion;
  WORD wHighVersion;
  uint16_t iMaxSockets;
  uint16_t iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[257];
  char szSystemStatus[129];
} WSADATA;

#define MAKEWORD(low, high) ((WORD)(((BYTE)(low)) | ((WORD)((BYTE)(high))) << 8))

// WSAAsyncSelect events and the reply word.
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#define WSAMAKESELECTREPLY(event, error) ((LPARAM)(((uint32_t)(error) << 16) | ((event)&0xFFFF)))
#define WSAGETSELECTEVENT(lParam) ((WORD)((lParam)&0xFFFF))
#define WSAGETSELECTERROR(lParam) ((WORD)(((lParam) >> 16) & 0xFFFF))

// ioctlsocket commands.
#define FIONBIO_WS 0x8004667Eu
#define FIONREAD_WS 0x4004667Fu

// Socket option names the transports use are the POSIX ones (SOL_SOCKET,
// SO_RCVBUF, SO_SNDBUF, SO_LINGER, SO_ERROR); SO_RCVTIMEO and SO_SNDTIMEO
// take a DWORD of milliseconds, as on Windows.

// Winsock error codes.
#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEPROTONOSUPPORT 10043
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

// Versions 1.1 to 2.2 are accepted; each success must be matched by one
// WSACleanup. Returns 0 or the error (WSAVERNOTSUPPORTED, WSAEFAULT).
GAVIO_PLATFORM_API int32_t WSAStartup(WORD versionRequested, WSADATA* data);
// Returns 0, or SOCKET_ERROR with WSANOTINITIALISED when none is outstanding.
GAVIO_PLATFORM_API int32_t WSACleanup(void);
GAVIO_PLATFORM_API int32_t WSAGetLastError(void);
GAVIO_PLATFORM_API void WSASetLastError(int32_t error);
GAVIO_PLATFORM_API int32_t closesocket(SOCKET s);
// FIONBIO_WS (*argp non-zero = non-blocking) and FIONREAD_WS (*argp = bytes
// waiting; for a datagram socket, the size of the next datagram).
GAVIO_PLATFORM_API int32_t ioctlsocket(SOCKET s, uint32_t command, uint32_t* argp);
GAVIO_PLATFORM_API int32_t WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG events);

// The errno of a failed socket call as a WSAE* code: the one conversion.
GAVIO_PLATFORM_API int32_t WSAErrorFromErrno(int err);

// Counts for leak checks in tests: sockets with notifications selected.
GAVIO_PLATFORM_API DWORD GavioLiveAsyncSelectCount(void);

#ifdef __cplusplus
namespace winsock {

// Winsock's fd_set is a counted array, not a bitmap, so any descriptor
// number fits.
constexpr uint32_t kFdSetSize = 64;
struct fd_set {
  uint32_t fd_count;
  SOCKET fd_array[kFdSetSize];
};
struct timeval {
  long tv_sec;
  long tv_usec;
};
inline void FdZero(fd_set* set) { set->fd_count = 0; }
inline void FdSet(SOCKET s, fd_set* set) {
  for (uint32_t i = 0; i < set->fd_count; ++i) {
    if (set->fd_array[i] == s) return;
  }
  if (set->fd_count < kFdSetSize) set->fd_array[set->fd_count++] = s;
}
inline bool FdIsSet(SOCKET s, const fd_set* set) {
  for (uint32_t i = 0; i < set->fd_count; ++i) {
    if (set->fd_array[i] == s) return true;
  }
  return false;
}

__attribute__((visibility("default"))) SOCKET socket(int32_t af, int32_t type, int32_t protocol);
__attribute__((visibility("default"))) int32_t connect(SOCKET s, const sockaddr* name,
                                                       int32_t length);
__attribute__((visibility("default"))) int32_t send(SOCKET s, const char* buffer, int32_t length,
                                                    int32_t flags);
__attribute__((visibility("default"))) int32_t recv(SOCKET s, char* buffer, int32_t length,
                                                    int32_t flags);
__attribute__((visibility("default"))) int32_t sendto(SOCKET s, const char* buffer,
                                                      int32_t length, int32_t flags,
                                                      const sockaddr* to, int32_t toLength);
__attribute__((visibility("default"))) int32_t recvfrom(SOCKET s, char* buffer, int32_t length,
                                                        int32_t flags, sockaddr* from,
                                                        int32_t* fromLength);
__attribute__((visibility("default"))) int32_t shutdown(SOCKET s, int32_t how);
// nfds is ignored. The sets are rewritten to the ready sockets; a null
// timeout waits without limit. Returns the number of ready sockets, 0 on
// time-out, SOCKET_ERROR on failure.
__attribute__((visibility("default"))) int32_t select(int32_t nfds, fd_set* readSet,
                                                      fd_set* writeSet, fd_set* exceptSet,
                                                      const timeval* timeout);
__attribute__((visibility("default"))) int32_t getsockopt(SOCKET s, int32_t level,
                                                          int32_t name, char* value,
                                                          int32_t* length);
__attribute__((visibility("default"))) int32_t setsockopt(SOCKET s, int32_t level,
                                                          int32_t name, const char* value,
                                                          int32_t length);
// IPv4 addresses only, in per-thread storage valid until the thread's next
// call. Null with WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY or
// WSANO_DATA.
__attribute__((visibility("default"))) hostent* gethostbyname(const char* name);
// Dotted text to a network-order address; INADDR_NONE for anything else
// (exactly four decimal parts, each 0..255).
__attribute__((visibility("default"))) uint32_t inet_addr(const char* text);
// Network-order address to dotted text, in per-thread storage.
__attribute__((visibility("default"))) const char* inet_ntoa(in_addr address);

}  // namespace winsock
#endif
