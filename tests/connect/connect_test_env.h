// What the connector tests share: connectors created through the host
// frame, a recording listener, the game_peer child process and framed
// packets built the way the peer expects them.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "gavio/connect.h"
#include "manager_test_env.h"

namespace connect_test {

// A registered component of the connect layer (322, 323, 324), created
// through the host frame with the factory library loaded.
gavio::IComponent* Create(uint32_t componentId);
gavio::IConnector* CreateConnector(int32_t maximum = 4096, int16_t width = 2, int32_t offset = 0);

gavio::ServerEntry Entry(const char* address, uint16_t port, const char* hostName = "");

// A packet of `size` bytes whose length field (width bytes at offset) holds
// size; the payload after the header is (seed + j) & 0xFF, as game_peer's
// bursts are.
std::string Packet(uint32_t size, int width = 2, uint32_t offset = 0, uint32_t seed = 0);

// Records every connector event; an optional hook runs inside each one.
class RecordingListener : public gavio::IConnectorSink {
 public:
  enum Kind { kConnected, kConnectFailed, kClose, kPacket };
  struct Event {
    Kind kind;
    int64_t value;  // error, reason or length
  };

  void OnConnected() override { Note(kConnected, 0); }
  void OnConnectFailed(uint32_t error) override { Note(kConnectFailed, error); }
  void OnClose(int32_t reason) override { Note(kClose, reason); }
  void OnPacket(const char* bytes, int32_t length) override {
    packets.emplace_back(bytes, static_cast<size_t>(length));
    Note(kPacket, length);
  }

  int Count(Kind kind) const;
  // Pumps messages until count events of kind arrived.
  bool WaitFor(Kind kind, int count = 1, uint32_t limitMs = 10000) const;

  std::vector<Event> events;
  std::vector<std::string> packets;
  std::function<void(Kind)> hook;

 private:
  void Note(Kind kind, int64_t value) {
    events.push_back(Event{kind, value});
    if (hook) hook(kind);
  }
};

// game_peer as a child process, given its options.
class GamePeer : public PeerProcess {
 public:
  explicit GamePeer(const std::vector<std::string>& options = {})
      : PeerProcess("game_peer", options) {}
};

}  // namespace connect_test
