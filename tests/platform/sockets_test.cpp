// The Winsock layer: start-up counting, error codes, select beyond the
// POSIX fd_set range, names, and WSAAsyncSelect notices on real sockets.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/messages.h"

namespace {

constexpr UINT kNotice = WM_USER + 77;

struct Winsock {
  Winsock() {
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  ~Winsock() { WSACleanup(); }
};

int Listen(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(fd, 8);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Collects the notices posted to a window of this thread.
struct NoticeWindow {
  HWND hwnd = CreateWindowExA(0, "static", "notices", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                              nullptr);
  std::vector<LPARAM> notices;
  ~NoticeWindow() { DestroyWindow(hwnd); }

  // Takes notices until count have come or the wait ends.
  bool WaitFor(size_t count, DWORD limitMs = 5000) {
    DWORD start = GetTickCount();
    while (notices.size() < count) {
      MSG msg;
      while (PeekMessageA(&msg, hwnd, kNotice, kNotice, PM_REMOVE)) notices.push_back(msg.lParam);
      if (notices.size() >= count) break;
      DWORD elapsed = GetTickCount() - start;
      if (elapsed >= limitMs) return false;
      WaitMessageTimeout(limitMs - elapsed);
    }
    return true;
  }
  int Count(int event) const {
    int n = 0;
    for (LPARAM l : notices) n += WSAGETSELECTEVENT(l) == event ? 1 : 0;
    return n;
  }
};

TEST(SocketsTest, CallsNeedAStartupAndCleanupIsCounted) {
  EXPECT_EQ(winsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  {
    Winsock first;
    Winsock second;
    SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  }
  EXPECT_EQ(winsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
}

TEST(SocketsTest, DottedAddressesAndNames) {
  Winsock ws;
  struct {
    const char* text;
    uint32_t expected;
  } cases[] = {
      {"127.0.0.1", htonl(0x7F000001)}, {"10.1.2.3", htonl(0x0A010203)},
      {"256.1.1.1", INADDR_NONE},       {"1.2.3", INADDR_NONE},
      {"1.2.3.4.5", INADDR_NONE},       {"1.2.3.4 ", INADDR_NONE},
      {"localhost", INADDR_NONE},       {"", INADDR_NONE},
      {"0001.2.3.4", INADDR_NONE},
  };
  for (const auto& c : cases) EXPECT_EQ(winsock::inet_addr(c.text), c.expected) << c.text;
  EXPECT_STREQ(winsock::inet_ntoa(in_addr{htonl(0xC0A80102)}), "192.168.1.2");
  hostent* local = winsock::gethostbyname("localhost");
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->h_length, 4);
  EXPECT_NE(local->h_addr_list[0], nullptr);
  EXPECT_EQ(winsock::gethostbyname("no-such-host.invalid"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
}

TEST(SocketsTest, SelectTakesDescriptorsBeyondThePosixSetSize) {
  Winsock ws;
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 2100 && limit.rlim_max >= 2100) {
    limit.rlim_cur = 2100;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  ASSERT_GE(limit.rlim_cur, 2100u) << "descriptor limit too low";
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  int high = dup2(pair[0], 2000);
  ASSERT_EQ(high, 2000);
  winsock::fd_set set;
  winsock::FdZero(&set);
  winsock::FdSet(static_cast<SOCKET>(high), &set);
  winsock::timeval none{0, 0};
  EXPECT_EQ(winsock::select(0, &set, nullptr, nullptr, &none), 0);
  EXPECT_EQ(set.fd_count, 0u);
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  winsock::FdSet(static_cast<SOCKET>(high), &set);
  winsock::timeval wait{5, 0};
  EXPECT_EQ(winsock::select(0, &set, nullptr, nullptr, &wait), 1);
  EXPECT_TRUE(winsock::FdIsSet(static_cast<SOCKET>(high), &set));
  close(high);
  close(pair[0]);
  close(pair[1]);
}

// FD_CONNECT once, FD_READ once per receive call, FD_CLOSE once.
TEST(SocketsTest, AsyncSelectPostsConnectReadAndCloseNotices) {
  Winsock ws;
  uint16_t port;
  int listener = Listen(&port);
  NoticeWindow window;
  SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(WSAAsyncSelect(s, window.hwnd, kNotice, FD_READ | FD_CONNECT | FD_CLOSE), 0);
  sockaddr_in address = Loopback(port);
  int rc = winsock::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  EXPECT_TRUE(rc == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
  ASSERT_TRUE(window.WaitFor(1));
  EXPECT_EQ(WSAGETSELECTEVENT(window.notices[0]), FD_CONNECT);
  EXPECT_EQ(WSAGETSELECTERROR(window.notices[0]), 0);
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);

  ASSERT_EQ(write(peer, "abc", 3), 3);
  ASSERT_TRUE(window.WaitFor(2));
  ASSERT_EQ(write(peer, "def", 3), 3);
  EXPECT_FALSE(window.WaitFor(3, 200));  // not again before a receive
  char buffer[2];
  EXPECT_EQ(winsock::recv(s, buffer, 2, 0), 2);
  ASSERT_TRUE(window.WaitFor(3));  // data remains: a new notice
  EXPECT_EQ(window.Count(FD_READ), 2);
  char rest[16];
  EXPECT_EQ(winsock::recv(s, rest, sizeof rest, 0), 4);

  close(peer);
  ASSERT_TRUE(window.WaitFor(4));
  EXPECT_EQ(WSAGETSELECTEVENT(window.notices[3]), FD_CLOSE);
  EXPECT_EQ(WSAGETSELECTERROR(window.notices[3]), 0);
  EXPECT_FALSE(window.WaitFor(5, 200));
  EXPECT_EQ(closesocket(s), 0);
  EXPECT_EQ(GavioLiveAsyncSelectCount(), 0u);
  close(listener);
}

TEST(SocketsTest, AsyncSelectReportsARefusedConnectOnlyAsConnect) {
  Winsock ws;
  uint16_t port;
  close(Listen(&port));
  NoticeWindow window;
  SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(WSAAsyncSelect(s, window.hwnd, kNotice, FD_READ | FD_CONNECT | FD_CLOSE), 0);
  sockaddr_in address = Loopback(port);
  winsock::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ASSERT_TRUE(window.WaitFor(1));
  EXPECT_EQ(WSAGETSELECTEVENT(window.notices[0]), FD_CONNECT);
  EXPECT_EQ(WSAGETSELECTERROR(window.notices[0]), WSAECONNREFUSED);
  EXPECT_FALSE(window.WaitFor(2, 200));
  closesocket(s);
}

// A receive on another thread re-enables the notice on the window's thread.
TEST(SocketsTest, AReceiveOnAnotherThreadReenablesTheNotice) {
  Winsock ws;
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
  NoticeWindow window;
  SOCKET s = static_cast<SOCKET>(pair[0]);
  ASSERT_EQ(WSAAsyncSelect(s, window.hwnd, kNotice, FD_READ), 0);
  ASSERT_EQ(write(pair[1], "1", 1), 1);
  ASSERT_EQ(write(pair[1], "2", 1), 1);
  ASSERT_TRUE(window.WaitFor(1));
  std::thread reader([&] {
    char c;
    EXPECT_EQ(winsock::recv(s, &c, 1, 0), 1);
  });
  reader.join();
  ASSERT_TRUE(window.WaitFor(2));
  // Closed by another thread: the number stays taken (by a stand-in) until
  // the watching thread has dropped its watch.
  std::thread closer([&] { EXPECT_EQ(closesocket(s), 0); });
  closer.join();
  EXPECT_EQ(GavioLiveAsyncSelectCount(), 0u);
  window.WaitFor(3, 100);
  EXPECT_LT(fcntl(pair[0], F_GETFD), 0);
  EXPECT_EQ(window.notices.size(), 2u);
  close(pair[1]);
}

}  // namespace
