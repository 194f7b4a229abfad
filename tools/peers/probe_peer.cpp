// probe_peer: the UDP responder of the speed-probe tests and the demo.
//
//   probe_peer [--port N] [--weight W] [--short] [ADDRESS[=DELAY_MS]]...
//
// It binds one datagram socket on each ADDRESS (default 127.0.0.1), all on
// the same port (--port, else an ephemeral one chosen for the first), and
// writes the port number and a line end to standard output. Every datagram
// of at least 16 bytes is answered after the address's delay (default 0)
// with its first 16 bytes: the probe echoed. With --weight the reply is 20
// bytes, the weight following in network byte order; with --short it is
// only the first 12 bytes (no valid reply at all). It ends when standard
// input reaches its end (the test that started it went away) and after 10
// minutes at most.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "peer_net.h"

namespace {

constexpr size_t kProbeSize = 16;
constexpr size_t kShortSize = 12;

struct Responder {
  int fd;
  int delayMs;
};

struct PendingReply {
  int64_t dueMs;
  int fd;
  sockaddr_in to;
  std::string bytes;
};

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ADDRESS[=DELAY_MS] bound on port (0 = ephemeral, which is then set).
bool Bind(const char* operand, uint16_t* port, Responder* out) {
  std::string text = operand;
  int delay = 0;
  size_t equals = text.find('=');
  if (equals != std::string::npos) {
    char* end = nullptr;
    long value = strtol(text.c_str() + equals + 1, &end, 10);
    if (*end != '\0' || value < 0 || value > 600000) return false;
    delay = static_cast<int>(value);
    text.erase(equals);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(*port);
  if (inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) return false;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    perror("probe_peer: bind");
    return false;
  }
  *port = ntohs(address.sin_port);
  *out = Responder{fd, delay};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  enum { kPort = 1000, kWeight, kShort, kHelp };
  const option kOptions[] = {{"port", required_argument, nullptr, kPort},
                             {"weight", required_argument, nullptr, kWeight},
                             {"short", no_argument, nullptr, kShort},
                             {"help", no_argument, nullptr, kHelp},
                             {nullptr, 0, nullptr, 0}};
  const char* usage = "usage: probe_peer [--port N] [--weight W] [--short] [ADDRESS[=DELAY_MS]]...\n";
  uint16_t port = 0;
  bool weighted = false;
  uint32_t weight = 0;
  bool shortReply = false;
  for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    switch (c) {
      case kPort: port = static_cast<uint16_t>(strtoul(optarg, nullptr, 10)); break;
      case kWeight:
        weighted = true;
        weight = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
        break;
      case kShort: shortReply = true; break;
      case kHelp: fputs(usage, stdout); return 0;
      default: fputs(usage, stderr); return 2;
    }
  }
  std::vector<const char*> operands(argv + optind, argv + argc);
  if (operands.empty()) operands.push_back("127.0.0.1");
  std::vector<Responder> responders;
  for (const char* operand : operands) {
    Responder responder;
    if (!Bind(operand, &port, &responder)) {
      fprintf(stderr, "probe_peer: cannot serve %s\n", operand);
      return 1;
    }
    responders.push_back(responder);
  }
  printf("%u\n", port);
  fflush(stdout);

  std::vector<PendingReply> pending;
  time_t end = time(nullptr) + peer::kLifetimeSeconds;
  while (time(nullptr) < end) {
    std::vector<pollfd> watched;
    watched.push_back(pollfd{STDIN_FILENO, POLLIN, 0});
    for (const Responder& r : responders) watched.push_back(pollfd{r.fd, POLLIN, 0});
    int waitMs = 1000;
    int64_t now = NowMs();
    for (const PendingReply& reply : pending) {
      waitMs = std::min<int64_t>(waitMs, std::max<int64_t>(0, reply.dueMs - now));
    }
    if (poll(watched.data(), watched.size(), waitMs) < 0) continue;
    if (watched[0].revents != 0 && peer::StandardInputEnded()) return 0;
    for (size_t i = 0; i < responders.size(); ++i) {
      if (watched[i + 1].revents == 0) continue;
      char datagram[2048];
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      ssize_t got = recvfrom(responders[i].fd, datagram, sizeof datagram, 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (got < static_cast<ssize_t>(kProbeSize)) continue;
      std::string reply(datagram, shortReply ? kShortSize : kProbeSize);
      if (weighted && !shortReply) {
        uint32_t network = htonl(weight);
        reply.append(reinterpret_cast<const char*>(&network), sizeof network);
      }
      pending.push_back(PendingReply{NowMs() + responders[i].delayMs, responders[i].fd, from, reply});
    }
    now = NowMs();
    for (size_t i = 0; i < pending.size();) {
      if (pending[i].dueMs > now) {
        ++i;
        continue;
      }
      sendto(pending[i].fd, pending[i].bytes.data(), pending[i].bytes.size(), 0,
             reinterpret_cast<const sockaddr*>(&pending[i].to), sizeof pending[i].to);
      pending.erase(pending.begin() + static_cast<long>(i));
    }
  }
  return 0;
}
