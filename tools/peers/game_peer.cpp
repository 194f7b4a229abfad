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
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kMaxEvents = 256;
constexpr time_t kLifetimeSeconds = 600;
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

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
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
bool Flush(const Options& o, int fd, Connection& c) {
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

int OpenListener(int backlog, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    perror("game_peer: listen");
    exit(1);
  }
  *port = ntohs(address.sin_port);
  return fd;
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
  char ignored[64];
  time_t end = time(nullptr) + kLifetimeSeconds;
  while (time(nullptr) < end) {
    fd_set in;
    FD_ZERO(&in);
    FD_SET(STDIN_FILENO, &in);
    timeval tick{1, 0};
    if (select(STDIN_FILENO + 1, &in, nullptr, nullptr, &tick) > 0 &&
        read(STDIN_FILENO, ignored, sizeof ignored) <= 0) {
      return 0;
    }
  }
  return 0;
}

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
  RaiseDescriptorLimit();
  uint16_t port = 0;
  int listener = OpenListener(options.hang ? 0 : 4096, &port);
  std::vector<int> fillers;
  if (options.refuse) close(listener);
  if (options.hang) FillBacklog(port, &fillers);
  printf("%u\n", port);
  fflush(stdout);
  if (options.refuse || options.hang) return WaitForEnd();

  SetNonBlocking(listener);
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
  event.data.fd = STDIN_FILENO;
  epoll_ctl(epoll, EPOLL_CTL_ADD, STDIN_FILENO, &event);

  std::unordered_map<int, Connection> connections;
  auto drop = [&](int fd) {
    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    connections.erase(fd);
  };
  time_t end = time(nullptr) + kLifetimeSeconds;
  epoll_event events[kMaxEvents];
  while (time(nullptr) < end) {
    int ready = epoll_wait(epoll, events, kMaxEvents, 1000);
    for (int i = 0; i < ready; ++i) {
      int fd = events[i].data.fd;
      if (fd == STDIN_FILENO) {
        char ignored[64];
        if (read(STDIN_FILENO, ignored, sizeof ignored) <= 0) return 0;
        continue;
      }
      if (fd == listener) {
        for (;;) {
          int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (client < 0) break;
          int one = 1;
          setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          Connection& c = connections[client];
          AppendBurst(options, &c.pending);
          epoll_event add{};
          add.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
          add.data.fd = client;
          epoll_ctl(epoll, EPOLL_CTL_ADD, client, &add);
          if (!Flush(options, client, c)) drop(client);
        }
        continue;
      }
      auto found = connections.find(fd);
      if (found == connections.end()) continue;
      Connection& c = found->second;
      bool alive = true;
      if ((events[i].events & EPOLLIN) != 0) {
        char buffer[65536];
        for (;;) {
          ssize_t n = recv(fd, buffer, sizeof buffer, 0);
          if (n > 0) {
            c.received.append(buffer, static_cast<size_t>(n));
            continue;
          }
          if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) alive = false;
          break;
        }
        if (!EchoPackets(options, c)) alive = false;
      }
      if ((events[i].events & (EPOLLERR | EPOLLHUP)) != 0) alive = false;
      if (alive) alive = Flush(options, fd, c);
      if (!alive) drop(fd);
    }
  }
  return 0;
}
