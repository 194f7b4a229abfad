// game_peer: a game server for the connector's tests and the demo. It
// speaks the framed packet stream: each packet carries its whole length
// (header included) in a big-endian field of 2 or 4 bytes at an offset from
// the packet's start, and every packet that arrives whole is sent back.
//
//   game_peer [options]
//     --width 2|4        length-field width (default 2)
//     --offset N         length-field offset (default 0)
//     --burst COUNT SIZE on each new connection, first send COUNT packets of
//                        SIZE bytes in one write (packet k, byte j after the
//                        header: (k + j) & 0xFF)
//     --close-after N    close a connection once N bytes were sent to it
//     --stop-after N     send at most N bytes to a connection, then keep it
//                        open and silent
//     --refuse           nobody listens on the port printed
//     --hang             listen, never accept, and keep the backlog full so
//                        that further connects hang
//
// It listens on 127.0.0.1 on an ephemeral port and writes the port number
// and a line end to standard output. One epoll loop serves every
// connection. A packet whose length field cannot be a packet closes its
// connection. It ends when standard input reaches its end (the program that
// started it went away) and after 10 minutes at most.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "peer_net.h"

namespace {

constexpr uint64_t kMaxPacket = 16u << 20;
constexpr int kHangFillers = 8;

struct Options {
  int width = 2;
  uint32_t offset = 0;
  uint32_t burstCount = 0;
  uint32_t burstSize = 0;
  uint64_t closeAfter = 0;  // 0: never
  uint64_t stopAfter = 0;   // 0: never
  bool refuse = false;
  bool hang = false;
};

struct Connection {
  std::string received;  // bytes of a packet not yet whole
  std::string pending;   // bytes not yet sent
  uint64_t sent = 0;
};

bool ParseNumber(const char* text, uint64_t* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    uint64_t a = 0, b = 0;
    auto next = [&](uint64_t* out) { return i + 1 < argc && ParseNumber(argv[++i], out); };
    if (name == "--width" && next(&a) && (a == 2 || a == 4)) {
      options->width = static_cast<int>(a);
    } else if (name == "--offset" && next(&a) && a < 1024) {
      options->offset = static_cast<uint32_t>(a);
    } else if (name == "--burst" && next(&a) && next(&b) && a <= 1000000 && b <= kMaxPacket) {
      options->burstCount = static_cast<uint32_t>(a);
      options->burstSize = static_cast<uint32_t>(b);
    } else if (name == "--close-after" && next(&a) && a > 0) {
      options->closeAfter = a;
    } else if (name == "--stop-after" && next(&a) && a > 0) {
      options->stopAfter = a;
    } else if (name == "--refuse") {
      options->refuse = true;
    } else if (name == "--hang") {
      options->hang = true;
    } else {
      return false;
    }
  }
  uint32_t header = options->offset + static_cast<uint32_t>(options->width);
  return options->burstCount == 0 ||
         (options->burstSize > header && (options->width == 4 || options->burstSize <= 0xFFFF));
}

uint64_t ReadLength(const Options& o, const std::string& bytes) {
  const auto* field = reinterpret_cast<const unsigned char*>(bytes.data()) + o.offset;
  uint64_t value = 0;
  for (int i = 0; i < o.width; ++i) value = (value << 8) | field[i];
  return value;
}

void AppendBurst(const Options& o, std::string* out) {
  for (uint32_t k = 0; k < o.burstCount; ++k) {
    std::string packet(o.burstSize, '\0');
    for (int i = 0; i < o.width; ++i) {
      packet[o.offset + i] = static_cast<char>(o.burstSize >> (8 * (o.width - 1 - i)));
    }
    uint32_t header = o.offset + static_cast<uint32_t>(o.width);
    for (uint32_t j = header; j < o.burstSize; ++j) {
      packet[j] = static_cast<char>((k + j - header) & 0xFF);
    }
    out->append(packet);
  }
}

// Moves every whole packet of c.received to c.pending; false when a length
// field cannot be a packet.
bool EchoPackets(const Options& o, Connection& c) {
  size_t header = o.offset + static_cast<size_t>(o.width);
  while (c.received.size() >= header) {
    uint64_t length = ReadLength(o, c.received);
    if (length < header || length > kMaxPacket) return false;
    if (c.received.size() < length) break;
    c.pending.append(c.received, 0, length);
    c.received.erase(0, length);
  }
  return true;
}

// Sends what is pending within the limits; false when the connection is to
// end (gone, or closed after its byte count).
bool SendPending(const Options& o, int fd, Connection& c) {
  while (!c.pending.empty()) {
    uint64_t allowed = c.pending.size();
    uint64_t limit = o.closeAfter != 0 ? o.closeAfter : o.stopAfter;
    if (limit != 0) {
      if (c.sent >= limit) return o.closeAfter == 0;
      if (limit - c.sent < allowed) allowed = limit - c.sent;
    }
    ssize_t n = send(fd, c.pending.data(), allowed, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    c.pending.erase(0, static_cast<size_t>(n));
    c.sent += static_cast<uint64_t>(n);
  }
  return o.closeAfter == 0 || c.sent < o.closeAfter;
}

// Connects to our own never-accepting listener until the kernel stops
// completing handshakes for it.
void FillBacklog(uint16_t port, std::vector<int>* fillers) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  for (int i = 0; i < kHangFillers; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers->push_back(fd);
  }
}

// Waits for the end of standard input (or the lifetime) with nothing to serve.
int WaitForEnd() {
  time_t end = time(nullptr) + peer::kLifetimeSeconds;
  while (time(nullptr) < end) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 1000) > 0 && peer::StandardInputEnded()) return 0;
  }
  return 0;
}

// Echoes whole packets and sends the burst to each new client.
class GamePeer final : public peer::ClientLoop<Connection> {
 public:
  GamePeer(int listener, const Options& options) : ClientLoop(listener), options_(options) {}

 private:
  bool Accepted(int fd, Connection& c) override {
    AppendBurst(options_, &c.pending);
    return Flush(fd, c);
  }

  bool Read(int fd, Connection& c) override {
    return peer::ReadAvailable(fd, &c.received) && EchoPackets(options_, c);
  }

  bool Flush(int fd, Connection& c) override { return SendPending(options_, fd, c); }

  const Options options_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fprintf(stderr,
            "usage: game_peer [--width 2|4] [--offset N] [--burst COUNT SIZE]\n"
            "                 [--close-after N] [--stop-after N] [--refuse | --hang]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  peer::RaiseDescriptorLimit();
  uint16_t port = 0;
  int listener = peer::ListenOnLoopback("game_peer", options.hang ? 0 : 4096, &port);
  std::vector<int> fillers;
  if (options.refuse) close(listener);
  if (options.hang) FillBacklog(port, &fillers);
  printf("%u\n", port);
  fflush(stdout);
  if (options.refuse || options.hang) return WaitForEnd();
  return GamePeer(listener, options).Run();
}
