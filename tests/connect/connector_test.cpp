// CConnector against the game_peer process on loopback: framed echo in both
// dispatch modes, bursts past the buffer, the connect sequence through the
// host lookup and the time-out, closes and kills in the middle of a packet,
// listeners that end the connector from inside every event, and resource
// use over many cycles.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../net/net_test_env.h"
#include "connect/connector_timings.h"
#include "connect_test_env.h"
#include "gavio/connect.h"
#include "platform/errors.h"
#include "support/test_support.h"

using connect_test::Entry;
using connect_test::GamePeer;
using connect_test::Packet;
using connect_test::RecordingListener;
using gavio::IConnector;

namespace {

struct Client {
  IConnector* connector;
  RecordingListener listener;
  bool destroyed = false;

  explicit Client(int32_t maximum = 4096, int16_t width = 2, int32_t offset = 0)
      : connector(connect_test::CreateConnector(maximum, width, offset)) {
    gavio::EventSourceOf(connector)->AddListener(static_cast<gavio::IConnectorSink*>(&listener),
                                                 0);
  }
  ~Client() { Destroy(); }
  void Destroy() {
    if (!destroyed && connector != nullptr) connector->Destroy(1);
    destroyed = true;
  }
  void Connect(const gavio::ServerEntry& entry) { connector->Connect(&entry); }
  bool ConnectTo(uint16_t port) {
    Connect(Entry("127.0.0.1", port));
    return listener.WaitFor(RecordingListener::kConnected);
  }
};

struct FramingCase {
  int16_t width;
  int32_t offset;
  bool sync;
};

TEST(ConnectorTest, EchoedPacketsArriveWholeAndInOrder) {
  for (FramingCase c : {FramingCase{2, 0, true}, FramingCase{2, 0, false},
                        FramingCase{4, 3, true}, FramingCase{4, 3, false}}) {
    SCOPED_TRACE(testing::Message() << "width " << c.width << " offset " << c.offset
                                    << " sync " << c.sync);
    GamePeer peer({"--width", std::to_string(c.width), "--offset", std::to_string(c.offset)});
    Client client(4096, c.width, c.offset);
    client.connector->SetSyncDispatch(c.sync ? 1 : 0);
    ASSERT_TRUE(client.ConnectTo(peer.port()));
    EXPECT_NE(client.connector->GetSocket(), gavio::kTransportInvalidSocket);
    std::vector<std::string> sent;
    std::string stream;
    for (uint32_t size : {8u, 4096u, 100u, 1000u, 3000u, 9u}) {
      sent.push_back(Packet(size, c.width, static_cast<uint32_t>(c.offset), size));
      stream += sent.back();
    }
    client.connector->Send(stream.data(), static_cast<int32_t>(stream.size()));
    ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kPacket, static_cast<int>(sent.size())));
    EXPECT_EQ(client.listener.packets, sent);
    client.connector->Disconnect();
    gavio_test::PumpFor(50);
    EXPECT_EQ(client.listener.Count(RecordingListener::kClose), 0);
  }
}

TEST(ConnectorTest, BurstPastTheBufferComesThroughTheBackUpList) {
  GamePeer peer({"--burst", "200", "3000"});
  Client client;
  client.connector->SetSyncDispatch(1);
  ASSERT_TRUE(client.ConnectTo(peer.port()));
  ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kPacket, 200));
  for (uint32_t k = 0; k < 200; ++k) {
    ASSERT_EQ(client.listener.packets[k], Packet(3000, 2, 0, k)) << "packet " << k;
  }
}

TEST(ConnectorTest, SendWhileNotConnectedIsRefused) {
  Client client;
  SetLastError(0);
  client.connector->Send("abc", 3);
  EXPECT_EQ(GetLastError(), gavio::kConnectErrorNotConnected);
}

}  // namespace
