// Loopback peers for the proxy tunnel tests: scripted servers that answer
// what a real proxy will not do on request, an echo server to tunnel to,
// and real third-party proxies (squid, microsocks) started as child
// processes on ephemeral ports. Every read and wait is bounded.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace proxy_test {

// One accepted connection, driven by a script on its own thread.
class PeerConnection {
 public:
  PeerConnection(int fd, const std::atomic<bool>* stopping);
  ~PeerConnection();

  // Reads until what this call read contains end; false on close, error
  // or after limitMs.
  bool ReadUntil(const std::string& end, std::string* out, int limitMs = 10000);
  // Reads exactly count bytes.
  bool ReadBytes(size_t count, std::string* out, int limitMs = 10000);
  bool Write(const std::string& bytes);
  // Relays bytes back until the other side closes (an echo server).
  void EchoUntilClosed();
  void Close();

 private:
  // One read of what is there; 0 on close, -1 on error or time-out.
  ssize_t ReadSome(char* buffer, size_t size, int limitMs);

  int fd_;
  const std::atomic<bool>* stopping_;
};

// A listener on 127.0.0.1 (ephemeral port) that runs script for each
// connection it accepts, with the connection's index (0, 1, ...).
class ScriptedPeer {
 public:
  using Script = std::function<void(PeerConnection& connection, int index)>;
  explicit ScriptedPeer(Script script);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }
  int connections() const { return accepted_.load(); }

 private:
  void AcceptLoop();

  Script script_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex lock_;
  std::vector<std::thread> threads_;
  std::thread acceptThread_;
};

// An echo server: what a tunnel reaches.
std::unique_ptr<ScriptedPeer> StartEchoServer();

// A port on 127.0.0.1 that nothing listens on (bound, then closed).
uint16_t UnusedPort();

// A third-party server run as a child process; killed at destruction.
class ChildServer {
 public:
  ChildServer() = default;
  ~ChildServer();
  ChildServer(const ChildServer&) = delete;
  ChildServer& operator=(const ChildServer&) = delete;

  // Starts argv and waits (bounded) until port accepts connections.
  bool Start(const std::vector<std::string>& argv, uint16_t port, const std::string& logFile);
  void Stop();
  uint16_t port() const { return port_; }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// Runs a program with input on its standard input; its standard output
// goes to *output. Returns the exit code, or -1 when it could not run or
// did not end within limitMs (it is then killed).
int RunProgram(const std::vector<std::string>& argv, const std::string& input,
               std::string* output, int limitMs = 60000);

enum class SquidAuth { kNone, kBasic, kNtlm };

// squid as an HTTP proxy that allows CONNECT to any port, with no
// authentication, Basic (basic_ncsa_auth over a password file) or NTLM
// (the helper that accepts any well-formed NTLM exchange).
class SquidProxy {
 public:
  static bool Available();
  bool Start(SquidAuth auth, const std::string& user = "", const std::string& password = "");
  uint16_t port() const { return server_.port(); }
  std::string Log() const;

 private:
  gavio_test::TempDir dir_;
  ChildServer server_;
};

// microsocks as a SOCKS5 server, with or without a user and password.
class SocksServer {
 public:
  static bool Available();
  bool Start(const std::string& user = "", const std::string& password = "");
  uint16_t port() const { return server_.port(); }

 private:
  gavio_test::TempDir dir_;
  ChildServer server_;
};

}  // namespace proxy_test
