// CUDPClient against a plain datagram socket on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string.h>

#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/net.h"
#include "net_test_env.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "support/test_support.h"

using gavio::ITransport;
using gavio_test::PumpUntil;
using net_test::RecordingSink;

namespace {

struct UdpPeer {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  UdpPeer() {
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  }
  ~UdpPeer() { close(fd); }
  uint16_t port() const { return ntohs(address.sin_port); }
  // Next datagram, or an empty string after a generous wait.
  std::string Receive(sockaddr_in* from = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return {};
    std::string buffer(70000, '\0');
    socklen_t length = sizeof(sockaddr_in);
    ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(from),
                         from != nullptr ? &length : nullptr);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }
};

struct UdpClient {
  ITransport* transport = net_test::CreateTransport(gavio::kUdpClientId);
  RecordingSink sink;
  UdpClient() { EXPECT_EQ(transport->Create(nullptr, &sink), 1); }
  ~UdpClient() { transport->Destroy(0); }
};

TEST(UdpClientTest, ConnectReportsAtOnceAndDatagramsTravelBothWays) {
  UdpPeer peer;
  UdpClient client;
  ASSERT_EQ(client.transport->Connect("127.0.0.1", peer.port()), 1);
  ASSERT_EQ(client.sink.Count(RecordingSink::kConnected), 1);  // before Connect returned
  ASSERT_EQ(client.transport->Send("hello", 5), 1);
  sockaddr_in from{};
  EXPECT_EQ(peer.Receive(&from), "hello");
  for (const char* reply : {"first", "second"}) {
    sendto(peer.fd, reply, strlen(reply), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }
  ASSERT_TRUE(PumpUntil([&] { return client.sink.Count(RecordingSink::kReceived) == 2; }));
  EXPECT_EQ(client.sink.data, "firstsecond");
  EXPECT_TRUE(client.sink.AllOnThread(GetCurrentThreadId()));
}

TEST(UdpClientTest, ALargeSendIsSplitIntoDatagramsThatFit) {
  UdpPeer peer;
  UdpClient client;
  ASSERT_EQ(client.transport->ConnectIP(htonl(INADDR_LOOPBACK), peer.port()), 1);
  std::string message(100000, '\0');
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i % 251);
  ASSERT_EQ(client.transport->Send(message.data(), static_cast<int32_t>(message.size())), 1);
  std::string joined;
  std::vector<size_t> sizes;
  while (joined.size() < message.size()) {
    std::string part = peer.Receive();
    if (part.empty()) break;
    sizes.push_back(part.size());
    joined += part;
  }
  EXPECT_EQ(joined, message);
  ASSERT_GE(sizes.size(), 2u);
  for (size_t size : sizes) EXPECT_LE(size, 65507u);
}

TEST(UdpClientTest, RefusedCallsSetTheirErrorCodes) {
  UdpPeer peer;
  UdpClient client;
  SetLastError(0);
  EXPECT_EQ(client.transport->Send("x", 1), 0);
  EXPECT_EQ(GetLastError(), gavio::kTransportErrorBadState);
  EXPECT_EQ(client.transport->Create(nullptr, &client.sink), 0);
  EXPECT_EQ(GetLastError(), gavio::kTransportErrorBadState);
  EXPECT_EQ(client.transport->Connect(nullptr, 80), 0);
  EXPECT_EQ(client.transport->Connect("127.0.0.1", 0), 0);
  EXPECT_EQ(client.transport->ConnectIP(0, 80), 0);
  ASSERT_EQ(client.sink.Count(RecordingSink::kConnectFailed), 2);
  EXPECT_EQ(client.sink.events[0].value, static_cast<int32_t>(ERROR_INVALID_PARAMETER));
  ASSERT_EQ(client.transport->Connect("127.0.0.1", peer.port()), 1);
  EXPECT_EQ(client.transport->Send(nullptr, 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(client.transport->Disconnect(), 1);
  EXPECT_EQ(client.transport->Send("x", 1), 0);
  EXPECT_EQ(GetLastError(), gavio::kTransportErrorBadState);
  EXPECT_EQ(client.sink.Count(RecordingSink::kClosed), 0);
}

TEST(UdpClientTest, DestroyLeavesNoWindowOrSelection) {
  UdpPeer peer;
  {
    UdpClient client;
    ASSERT_EQ(client.transport->Connect("127.0.0.1", peer.port()), 1);
    ASSERT_EQ(client.transport->Send("ping", 4), 1);
    std::string got = peer.Receive();
    EXPECT_EQ(got, "ping");
  }
  EXPECT_EQ(GavioLiveWindowCount(), 0u);
  EXPECT_EQ(GavioLiveAsyncSelectCount(), 0u);
}

}  // namespace
