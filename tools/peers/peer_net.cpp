#include "peer_net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

namespace peer {

void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int ListenOnLoopback(const char* name, int backlog, uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fprintf(stderr, "%s: listen: %s\n", name, strerror(errno));
    exit(1);
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int AcceptClient(int listener, int flags) {
  const int client = accept4(listener, nullptr, nullptr, flags);
  if (client < 0) return -1;
  int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return client;
}

bool StandardInputEnded() {
  char ignored[64];
  return read(STDIN_FILENO, ignored, sizeof ignored) <= 0;
}

bool ReadAvailable(int fd, std::string* into) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      if (into != nullptr) into->append(buffer, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

int WatchListener(int listener) {
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
  event.data.fd = STDIN_FILENO;
  epoll_ctl(epoll, EPOLL_CTL_ADD, STDIN_FILENO, &event);
  return epoll;
}

void WatchClient(int epoll, int fd) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
  event.data.fd = fd;
  epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

void DropClient(int epoll, int fd) {
  epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
}

}  // namespace peer
