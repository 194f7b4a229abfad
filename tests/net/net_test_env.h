// What the socket tests share: the factory library (for the host lookup
// and the memory manager), transports created through the host frame, a
// recording sink, the tcp_peer child process and the process's resource
// counts.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "gavio/net.h"

namespace net_test {

// Creates a registered transport through the host frame (53, 54, ...).
gavio::ITransport* CreateTransport(uint32_t componentId);

// Records every event with the thread it arrived on; an optional hook runs
// inside each event (to destroy the transport from there, for instance).
class RecordingSink : public gavio::ITransportSink {
 public:
  enum Kind { kConnected, kConnectFailed, kReceived, kClosed };
  struct Event {
    Kind kind;
    int32_t value;  // error, length or reason
    uint32_t thread;
  };

  void OnConnectSuccess() override { Note(kConnected, 0); }
  void OnConnectFail(int32_t error) override { Note(kConnectFailed, error); }
  void OnReceived(const char* bytes, int32_t length) override {
    data.append(bytes, static_cast<size_t>(length));
    Note(kReceived, length);
  }
  void OnClosed(int32_t reason) override { Note(kClosed, reason); }

  int Count(Kind kind) const;
  bool AllOnThread(uint32_t thread) const;

  std::vector<Event> events;
  std::string data;
  std::function<void(Kind)> hook;

 private:
  void Note(Kind kind, int32_t value);
};

// tcp_peer (echo or stream) as a child process on an ephemeral port.
class TcpPeer {
 public:
  explicit TcpPeer(const char* mode);
  ~TcpPeer();
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;
  uint16_t port() const { return port_; }
  void Kill();  // SIGKILL, and reaped

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  uint16_t port_ = 0;
};

// A listening socket on 127.0.0.1 that the test accepts from itself.
class Listener {
 public:
  explicit Listener(int backlog = 16);
  ~Listener();
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  int Accept(uint32_t limitMs = 10000);  // -1 when nothing came

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port on 127.0.0.1 with nobody listening (bound, then released).
uint16_t ClosedPort();

struct ProcessCounts {
  int descriptors;
  int threads;
  long residentKb;
};
ProcessCounts ReadProcessCounts();

// Raises the soft descriptor limit to at least want (up to the hard
// limit); returns the soft limit now in force.
uint64_t RaiseDescriptorLimit(uint64_t want);

}  // namespace net_test
