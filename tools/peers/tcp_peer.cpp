// tcp_peer: the TCP server of the socket tests and benchmarks.
//
//   tcp_peer echo     answers every connection by sending back what it got
//   tcp_peer stream   sends a steady stream of bytes (0, 1, 2, ... 255, 0 ...)
//                     to every connection until it goes away
//
// It listens on 127.0.0.1 on an ephemeral port and writes the port number
// and a line end to standard output once it accepts. One epoll loop serves
// every connection, so a thousand clients cost no threads. It raises its
// descriptor limit to the hard limit, ends when standard input reaches its
// end (the test that started it went away) and after 10 minutes at most.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <string>

#include "peer_net.h"

namespace {

struct Connection {
  std::string pending;  // echo: bytes not yet sent back
  uint8_t next = 0;     // stream: the next byte value
};

class TcpPeer final : public peer::ClientLoop<Connection> {
 public:
  TcpPeer(int listener, bool stream) : ClientLoop(listener), stream_(stream) {}

 private:
  // A stream client's bytes are read and dropped.
  bool Read(int fd, Connection& c) override {
    return peer::ReadAvailable(fd, stream_ ? nullptr : &c.pending);
  }

  // Sends what is pending (echo) or more of the stream; false when the
  // connection is gone.
  bool Flush(int fd, Connection& c) override {
    if (stream_) {
      char chunk[16384];
      for (;;) {
        for (size_t i = 0; i < sizeof chunk; ++i) chunk[i] = static_cast<char>(c.next + i);
        ssize_t n = send(fd, chunk, sizeof chunk, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        c.next = static_cast<uint8_t>(c.next + n);
      }
    }
    while (!c.pending.empty()) {
      ssize_t n = send(fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      c.pending.erase(0, static_cast<size_t>(n));
    }
    return true;
  }

  const bool stream_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || (strcmp(argv[1], "echo") != 0 && strcmp(argv[1], "stream") != 0)) {
    fprintf(stderr, "usage: tcp_peer echo|stream\n");
    return 2;
  }
  bool stream = strcmp(argv[1], "stream") == 0;
  signal(SIGPIPE, SIG_IGN);
  peer::RaiseDescriptorLimit();
  uint16_t port = 0;
  TcpPeer server(peer::ListenOnLoopback("tcp_peer", 4096, &port), stream);
  printf("%u\n", port);
  fflush(stdout);
  return server.Run();
}
