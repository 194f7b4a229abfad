// What the connector manager and speed detector tests share: components
// created through the host frame with logging on, peer programs of the
// build folder run as child processes, a recording listener and server-list
// files written from a short description.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "gavio/connect.h"
#include "support/test_support.h"

namespace connect_test {

// The factory library loaded (host lookup, memory manager, log settings),
// an INI of the given text and a private data folder.
struct FactoryEnvironment {
  explicit FactoryEnvironment(const std::string& iniText);
  gavio_test::TempDir dir;
  std::string ini;
};

// Creates a registered component through the host frame.
gavio::IComponent* CreateConnectComponent(uint32_t componentId);

template <class T>
T* Create(uint32_t componentId) {
  return static_cast<T*>(CreateConnectComponent(componentId));
}

// A peer program of the build folder; its first output line is its port,
// and port() is 0 when it did not start.
class PeerProcess {
 public:
  PeerProcess(const std::string& program, const std::vector<std::string>& args);
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  uint16_t port() const { return port_; }
  void Kill();  // SIGKILL, and reaped

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  uint16_t port_ = 0;
};

// The manager's listener: every event in order, with an optional hook run
// inside each one.
class ManagerEvents : public gavio::IConnectorSink {
 public:
  void OnConnected() override { Note("connected"); }
  void OnConnectFailed(uint32_t error) override {
    failure = error;
    Note("failed");
  }
  void OnClose(int32_t reason) override { Note("closed"); }
  void OnPacket(const char* bytes, int32_t length) override {
    packets.emplace_back(bytes, static_cast<size_t>(length));
    Note("packet");
  }
  bool Has(const std::string& kind) const;

  std::vector<std::string> events;
  std::vector<std::string> packets;
  uint32_t failure = 0;
  std::function<void(const std::string&)> hook;

 private:
  void Note(const std::string& kind) {
    events.push_back(kind);
    if (hook) hook(kind);
  }
};

struct ListServer {
  std::string host;
  int catalog = 0;
};

// A server-list file with one list; ports empty = no portlist element.
// extra goes into the list element's attributes as it is.
std::string ServerListXml(const std::string& listName, const std::vector<ListServer>& servers,
                          const std::vector<int>& ports, const std::string& extra = "");

// A port on 127.0.0.1 with nobody listening (bound, then released).
uint16_t ClosedPort();

// "host:port" of every "Connect Server -> host : port" line, in order.
std::vector<std::string> Attempts(const std::string& log);

}  // namespace connect_test
