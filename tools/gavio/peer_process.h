// A peer program (game_peer, verify_peer) started as a child process by
// the demo. A peer runs while its standard input is open and prints the
// port it listens on as its first line.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace gavio_tool {

class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess() { Stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts program with arguments; false when it cannot be started or
  // prints no port within 10 s.
  bool Start(const std::string& program, const std::vector<std::string>& arguments);
  // Closes its input and waits for it to end; one still running after 5 s
  // is killed.
  void Stop();
  uint16_t port() const { return port_; }

 private:
  bool ReadPort();

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  uint16_t port_ = 0;
};

}  // namespace gavio_tool
