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
#include "connect/connector_limits.h"
#include "connect/connector_timings.h"
#include "connect_test_env.h"
#include "gavio/connect.h"
#include "platform/errors.h"
#include "platform/messages.h"
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
    int before = listener.Count(RecordingListener::kConnected);
    Connect(Entry("127.0.0.1", port));
    return listener.WaitFor(RecordingListener::kConnected, before + 1);
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

// Packets of 5000 bytes against a maximum of 4096: nothing is delivered and
// the connection stays; with a larger maximum the next connection carries
// them.
TEST(ConnectorTest, LengthAboveTheMaximumStopsDeliveryUntilTheNextConnection) {
  GamePeer peer({"--burst", "2", "5000"});
  Client client;
  client.connector->SetSyncDispatch(1);
  ASSERT_TRUE(client.ConnectTo(peer.port()));
  std::string small = Packet(20);
  client.connector->Send(small.data(), 20);
  gavio_test::PumpFor(200);
  EXPECT_EQ(client.listener.Count(RecordingListener::kPacket), 0);
  EXPECT_EQ(client.listener.Count(RecordingListener::kClose), 0);
  client.connector->Disconnect();
  ASSERT_EQ(client.connector->SetPacketParam(8192, 2, 0), 1);
  ASSERT_TRUE(client.ConnectTo(peer.port()));
  ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kPacket, 2));
  EXPECT_EQ(client.listener.packets[1], Packet(5000, 2, 0, 1));
  EXPECT_EQ(client.connector->SetPacketParam(100, 2, -1), 0);  // would read before the buffer
}

// With synchronous dispatch a listener may raise the maximum from inside
// OnPacket (after a greeting, say) or pump messages there: a receive and
// the close that arrive meanwhile wait for the packet loop, and everything
// still comes whole and in order, the close last.
TEST(ConnectorTest, ListenerInsideOnPacketMayRaiseTheMaximumOrPumpMessages) {
  GamePeer peer({"--close-after", "17100"});
  Client client;
  client.connector->SetSyncDispatch(1);
  bool first = true;
  client.listener.hook = [&](RecordingListener::Kind kind) {
    if (kind != RecordingListener::kPacket || !first) return;
    first = false;
    EXPECT_EQ(client.connector->SetPacketParam(8192, 2, 0), 1);
    gavio_test::PumpFor(300);  // the rest of the echo and the close arrive meanwhile
  };
  ASSERT_TRUE(client.ConnectTo(peer.port()));
  std::vector<std::string> sent = {Packet(100), Packet(6000, 2, 0, 1), Packet(5000, 2, 0, 2),
                                   Packet(6000, 2, 0, 3)};
  std::string stream;
  for (const std::string& packet : sent) stream += packet;
  client.connector->Send(stream.data(), static_cast<int32_t>(stream.size()));
  ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kClose));
  EXPECT_EQ(client.listener.packets, sent);
  EXPECT_EQ(client.listener.events.back().kind, RecordingListener::kClose);
  EXPECT_EQ(client.listener.Count(RecordingListener::kClose), 1);
}

TEST(ConnectorTest, SendWhileNotConnectedIsRefused) {
  Client client;
  SetLastError(0);
  client.connector->Send("abc", 3);
  EXPECT_EQ(GetLastError(), gavio::kConnectErrorNotConnected);
}

// The connect sequence: by address, then through the host lookup; each
// way it can end, with its error.
TEST(ConnectorTest, ConnectSequenceEndsAsTheLookupDecides) {
  GamePeer refusing({"--refuse"});
  GamePeer serving;
  struct Case {
    const char* name;
    gavio::ServerEntry entry;
    bool connects;
    uint32_t error;
  } cases[] = {
      // Refused, and the lookup gives the same address.
      {"same", Entry("127.0.0.1", refusing.port(), "localhost"), false,
       gavio::kConnectErrorSameAddress},
      // Refused, and there is no name to look up.
      {"no name", Entry("127.0.0.1", refusing.port()), false, gavio::kConnectErrorSameAddress},
      // Refused; the lookup gives another address, which refuses too.
      {"second", Entry("127.0.0.2", refusing.port(), "localhost"), false,
       gavio::kConnectErrorFailed},
      // Refused; the lookup gives another address, which serves.
      {"new", Entry("127.0.0.2", serving.port(), "localhost"), true, 0},
      // No address: the name alone.
      {"name only", Entry("", serving.port(), "localhost"), true, 0},
      {"nothing", Entry("", serving.port()), false, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client client;
    client.Connect(c.entry);
    ASSERT_TRUE(gavio_test::PumpUntil([&] { return !client.listener.events.empty(); }));
    const RecordingListener::Event& first = client.listener.events.front();
    if (c.connects) {
      EXPECT_EQ(first.kind, RecordingListener::kConnected);
      std::string packet = Packet(50);
      client.connector->Send(packet.data(), 50);
      ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kPacket));
    } else {
      EXPECT_EQ(first.kind, RecordingListener::kConnectFailed);
      EXPECT_EQ(first.value, c.error);
      // Failed connectors may connect again.
      client.Connect(Entry("127.0.0.1", serving.port()));
      EXPECT_TRUE(client.listener.WaitFor(RecordingListener::kConnected));
    }
  }
}

// The lookup of a connect given up decides nothing about the next one.
TEST(ConnectorTest, LookupOfAnAbandonedConnectIsIgnored) {
  GamePeer hanging({"--hang"});
  Client client;
  client.Connect(Entry("", hanging.port(), "localhost"));
  client.connector->Disconnect();
  client.Connect(Entry("127.0.0.1", hanging.port()));
  gavio_test::PumpFor(300);
  EXPECT_TRUE(client.listener.events.empty());
}

// The lines of a refused connect that the lookup cannot rescue, in order.
TEST(ConnectorTest, LogLinesFollowTheConnectSequence) {
  GamePeer refusing({"--refuse"});
  gavio_test::DebugCapture debug;
  Client client;
  client.Connect(Entry("127.0.0.1", refusing.port(), "localhost"));
  ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kConnectFailed));
  std::string port = std::to_string(refusing.port());
  const std::string lines[] = {
      "[M322][Trace]SetSocketParam initialize Connector\n",
      "[M322][Trace]Prepare Connector Finite State Machine\n",
      "[M322][Trace]Initialize buffer successful!\n",
      "[M322][Trace]Result(1) : CConnector::CreateTransferWindow()\n",
      "[M322][Trace]Start Connect to Server, IP(127.0.0.1), Port(" + port + "), HostName(localhost)\n",
      "[M322][Trace]Connect to Server(127.0.0.1 : " + port + ")\n",
      "[M322][Trace]Connect Server Fail, First Time\n",
      "[M322][Trace]Start Parse DNS, HostName(localhost)\n",
      "[M322][Trace]OnHostLookupSuccess\n",
      "[M322][Trace]DNS 探测后, IP 不变\n",
      "[M322][Core]Connect Fail\n",
  };
  std::string text = debug.Text();
  size_t at = 0;
  for (const std::string& line : lines) {
    size_t found = text.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "in\n" << text;
    at = found + line.size();
  }
}

// A connect by address that hangs is dropped at the time-out and retried
// through the lookup, which here gives the same address.
TEST(ConnectorTest, HangingConnectTimesOutIntoTheLookup) {
  GamePeer hanging({"--hang"});
  gavio::ConnectorTimings shortened;
  shortened.connectTimeoutMs = 300;
  gavio::SetConnectorTimings(shortened);
  Client client;
  DWORD start = GetTickCount();
  client.Connect(Entry("127.0.0.1", hanging.port(), "localhost"));
  ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kConnectFailed));
  gavio::SetConnectorTimings(gavio::ConnectorTimings{});
  EXPECT_GE(GetTickCount() - start, 250u);
  EXPECT_EQ(client.listener.events.front().value, gavio::kConnectErrorSameAddress);
  gavio_test::PumpFor(400);  // the stopped timer does not fire again
  EXPECT_EQ(client.listener.events.size(), 1u);
}

// The peer goes away in the middle of the third packet: the two whole ones
// arrive, then one close, and nothing of the cut packet.
TEST(ConnectorTest, PeerGoneInTheMiddleOfAPacketGivesOneCloseAndNoPart) {
  for (bool kill : {false, true}) {
    for (bool sync : {true, false}) {
      SCOPED_TRACE(testing::Message() << "kill " << kill << " sync " << sync);
      auto peer = std::make_unique<GamePeer>(std::vector<std::string>{
          "--burst", "3", "1000", kill ? "--stop-after" : "--close-after", "2500"});
      Client client;
      client.connector->SetSyncDispatch(sync ? 1 : 0);
      ASSERT_TRUE(client.ConnectTo(peer->port()));
      ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kPacket, 2));
      if (kill) peer->Kill();
      ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kClose));
      gavio_test::PumpFor(100);
      EXPECT_EQ(client.listener.Count(RecordingListener::kClose), 1);
      EXPECT_EQ(client.listener.Count(RecordingListener::kPacket), 2);
      EXPECT_EQ(client.listener.events.back().kind, RecordingListener::kClose);
      // The next connection starts from a clean stream.
      GamePeer next;
      ASSERT_TRUE(client.ConnectTo(next.port()));
      std::string packet = Packet(700, 2, 0, 7);
      client.connector->Send(packet.data(), 700);
      ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kPacket, 3));
      EXPECT_EQ(client.listener.packets.back(), packet);
    }
  }
}

// Received bytes that cannot be kept (the back-up list refuses them, as it
// does when memory runs out) leave a hole in the stream: the packets cut
// before it arrive whole, then the connection ends with one close of
// ERROR_NOT_ENOUGH_MEMORY and nothing after it. With a listener that pumps
// inside OnPacket the refused bytes arrive under the framing loop, which
// stops there. The next connection starts from a clean stream.
TEST(ConnectorTest, BytesThatCannotBeKeptEndTheConnectionWithOneClose) {
  constexpr int kBurst = 40;
  GamePeer peer({"--burst", std::to_string(kBurst), "1000"});
  struct Case {
    bool sync;
    bool pumpInPacket;
    int64_t backupBytes;  // the first read must get through when pumping
  } cases[] = {{true, false, 0}, {false, false, 0}, {true, true, 8192}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "sync " << c.sync << " pump " << c.pumpInPacket);
    gavio::ConnectorLimits limits;
    limits.backupBytes = c.backupBytes;
    gavio::SetConnectorLimits(limits);
    Client client;
    client.connector->SetSyncDispatch(c.sync ? 1 : 0);
    client.listener.hook = [&](RecordingListener::Kind kind) {
      if (kind == RecordingListener::kPacket && c.pumpInPacket &&
          client.listener.Count(RecordingListener::kPacket) == 1) {
        gavio_test::PumpFor(300);
      }
    };
    ASSERT_TRUE(client.ConnectTo(peer.port()));
    ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kClose));
    gavio::SetConnectorLimits(gavio::ConnectorLimits{});
    gavio_test::PumpFor(100);
    EXPECT_EQ(client.listener.Count(RecordingListener::kClose), 1);
    EXPECT_EQ(client.listener.events.back().kind, RecordingListener::kClose);
    EXPECT_EQ(client.listener.events.back().value, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(client.connector->GetSocket(), gavio::kTransportInvalidSocket);
    size_t whole = client.listener.packets.size();
    EXPECT_LT(whole, static_cast<size_t>(kBurst));
    for (size_t k = 0; k < whole; ++k) {
      EXPECT_EQ(client.listener.packets[k], Packet(1000, 2, 0, static_cast<uint32_t>(k)));
    }
    client.listener.hook = nullptr;
    ASSERT_TRUE(client.ConnectTo(peer.port()));
    ASSERT_TRUE(
        client.listener.WaitFor(RecordingListener::kPacket, static_cast<int>(whole) + kBurst));
    EXPECT_EQ(client.listener.packets.back(), Packet(1000, 2, 0, kBurst - 1));
  }
}

// A listener ends the connector (Disconnect or Destroy) from inside each
// kind of event; nothing more reaches it afterwards and nothing breaks.
TEST(ConnectorTest, ListenerMayEndTheConnectorInsideAnyEvent) {
  GamePeer bursting({"--burst", "20", "900", "--close-after", "18000"});
  GamePeer refusing({"--refuse"});
  for (auto kind : {RecordingListener::kConnected, RecordingListener::kPacket,
                    RecordingListener::kClose, RecordingListener::kConnectFailed}) {
    for (bool destroy : {false, true}) {
      for (bool sync : {true, false}) {
        SCOPED_TRACE(testing::Message() << "event " << kind << " destroy " << destroy << " sync "
                                        << sync);
        Client client;
        client.connector->SetSyncDispatch(sync ? 1 : 0);
        RecordingListener second;  // registered too: must not hear of a destroyed connector
        gavio::EventSourceOf(client.connector)
            ->AddListener(static_cast<gavio::IConnectorSink*>(&second), 0);
        bool ended = false;
        size_t secondHeard = 0, heard = 0;
        client.listener.hook = [&](RecordingListener::Kind k) {
          if (k != kind || ended) return;
          ended = true;
          secondHeard = second.events.size();
          heard = client.listener.events.size();
          if (destroy) {
            client.Destroy();
          } else {
            client.connector->Disconnect();
          }
        };
        uint16_t port = kind == RecordingListener::kConnectFailed ? refusing.port()
                                                                  : bursting.port();
        client.Connect(Entry("127.0.0.1", port));
        ASSERT_TRUE(gavio_test::PumpUntil([&] { return ended; }));
        gavio_test::PumpFor(100);
        EXPECT_EQ(client.listener.events.size(), heard);
        if (destroy) {
          EXPECT_EQ(second.events.size(), secondHeard);
        }
      }
    }
  }
}

// One cycle: a connector connects, exchanges a packet and disconnects.
void EchoCycle(uint16_t port, bool sync) {
  Client client;
  client.connector->SetSyncDispatch(sync ? 1 : 0);
  ASSERT_TRUE(client.ConnectTo(port));
  std::string packet = Packet(1000);
  client.connector->Send(packet.data(), 1000);
  ASSERT_TRUE(client.listener.WaitFor(RecordingListener::kPacket));
  client.connector->Disconnect();
}

TEST(ConnectorTest, ManyCyclesLeaveNoDescriptorsThreadsOrMemoryBehind) {
  GamePeer peer;
  for (int i = 0; i < 10; ++i) ASSERT_NO_FATAL_FAILURE(EchoCycle(peer.port(), i % 2 == 0));
  gavio_test::PumpFor(50);
  net_test::ProcessCounts early = net_test::ReadProcessCounts();
  DWORD windows = GavioLiveWindowCount();
  for (int i = 0; i < 1000; ++i) ASSERT_NO_FATAL_FAILURE(EchoCycle(peer.port(), i % 2 == 0));
  net_test::ProcessCounts late{};
  gavio_test::PumpAndPollUntil([&] {
    late = net_test::ReadProcessCounts();
    return late.threads <= early.threads && late.descriptors <= early.descriptors;
  });
  EXPECT_LE(late.descriptors, early.descriptors);
  EXPECT_LE(late.threads, early.threads);
  EXPECT_LE(GavioLiveWindowCount(), windows);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LE(late.residentKb, early.residentKb + 2048);
#endif
}

}  // namespace
