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
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <unordered_map>

namespace {

constexpr int kMaxEvents = 256;
constexpr time_t kLifetimeSeconds = 600;

struct Connection {
  std::string pending;  // echo: bytes not yet sent back
  uint8_t next = 0;     // stream: the next byte value
};

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Sends what is pending (echo) or more of the stream; false when the
// connection is gone.
bool Flush(int fd, Connection& c, bool stream) {
  if (stream) {
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || (strcmp(argv[1], "echo") != 0 && strcmp(argv[1], "stream") != 0)) {
    fprintf(stderr, "usage: tcp_peer echo|stream\n");
    return 2;
  }
  bool stream = strcmp(argv[1], "stream") == 0;
  signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4096) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    perror("tcp_peer: listen");
    return 1;
  }
  SetNonBlocking(listener);
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
  event.data.fd = STDIN_FILENO;
  epoll_ctl(epoll, EPOLL_CTL_ADD, STDIN_FILENO, &event);
  printf("%u\n", ntohs(address.sin_port));
  fflush(stdout);

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
          connections[client] = Connection{};
          epoll_event add{};
          add.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
          add.data.fd = client;
          epoll_ctl(epoll, EPOLL_CTL_ADD, client, &add);
        }
        continue;
      }
      Connection& c = connections[fd];
      bool alive = true;
      if ((events[i].events & EPOLLIN) != 0) {
        char buffer[65536];
        for (;;) {
          ssize_t n = recv(fd, buffer, sizeof buffer, 0);
          if (n > 0) {
            if (!stream) c.pending.append(buffer, static_cast<size_t>(n));
            continue;
          }
          if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) alive = false;
          break;
        }
      }
      if ((events[i].events & (EPOLLERR | EPOLLHUP)) != 0) alive = false;
      if (alive) alive = Flush(fd, c, stream);
      if (!alive) drop(fd);
    }
  }
  return 0;
}
