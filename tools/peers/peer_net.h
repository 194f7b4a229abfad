// peer_net: what the socket peers share. A peer listens on 127.0.0.1 at an
// ephemeral port, watches its standard input beside its sockets and ends
// when that input ends (the program that started it went away) or after
// kLifetimeSeconds at most, so a peer whose test crashed does not linger.
//
// ClientLoop serves a listener and every client it accepts from one
// edge-triggered epoll loop, so a thousand clients cost no threads; a peer
// supplies what a client's bytes mean and what it sends back.
#pragma once

#include <stdint.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <unordered_map>

namespace peer {

constexpr time_t kLifetimeSeconds = 600;

// Lets one peer hold as many clients as the system allows it: the soft
// descriptor limit rises to the hard one.
void RaiseDescriptorLimit();

// A TCP listener on 127.0.0.1 at an ephemeral port. On failure prints
// "NAME: listen" with the reason and exits with status 1.
int ListenOnLoopback(const char* name, int backlog, uint16_t* port);

// Accepts a waiting client (accept4 flags) with Nagle off, so that small
// answers leave at once; -1 when none waits.
int AcceptClient(int listener, int flags);

// Consumes what standard input holds; true once it has reached its end.
bool StandardInputEnded();

// Reads all that has arrived, appended to into unless that is null; false
// when the client closed or the read failed.
bool ReadAvailable(int fd, std::string* into);

// An epoll set watching listener (made non-blocking) and standard input.
int WatchListener(int listener);
// Watches a client for reading, writing and its closing, edge-triggered.
void WatchClient(int epoll, int fd);
// Stops watching a client and closes it.
void DropClient(int epoll, int fd);

template <class Connection>
class ClientLoop {
 public:
  explicit ClientLoop(int listener) : listener_(listener), epoll_(WatchListener(listener)) {}
  virtual ~ClientLoop() = default;

  // Serves until standard input ends or the lifetime has passed; 0.
  int Run() {
    const time_t end = time(nullptr) + kLifetimeSeconds;
    epoll_event events[kMaxEvents];
    while (time(nullptr) < end) {
      const int ready = epoll_wait(epoll_, events, kMaxEvents, 1000);
      for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == STDIN_FILENO) {
          if (StandardInputEnded()) return 0;
        } else if (fd == listener_) {
          AcceptAll();
        } else {
          Serve(fd, events[i].events);
        }
      }
    }
    return 0;
  }

 protected:
  // A new client, already watched; false ends it.
  virtual bool Accepted(int fd, Connection& c) { return true; }
  // Bytes arrived; false ends the client.
  virtual bool Read(int fd, Connection& c) = 0;
  // Sends what it can; false ends the client.
  virtual bool Flush(int fd, Connection& c) = 0;

 private:
  static constexpr int kMaxEvents = 256;

  void AcceptAll() {
    int client;
    while ((client = AcceptClient(listener_, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
      Connection& c = connections_[client] = Connection{};
      WatchClient(epoll_, client);
      if (!Accepted(client, c)) Drop(client);
    }
  }

  void Serve(int fd, uint32_t events) {
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    Connection& c = found->second;
    bool alive = (events & EPOLLIN) == 0 || Read(fd, c);
    if ((events & (EPOLLERR | EPOLLHUP)) != 0) alive = false;
    if (alive) alive = Flush(fd, c);
    if (!alive) Drop(fd);
  }

  void Drop(int fd) {
    DropClient(epoll_, fd);
    connections_.erase(fd);
  }

  const int listener_;
  const int epoll_;
  std::unordered_map<int, Connection> connections_;
};

}  // namespace peer
