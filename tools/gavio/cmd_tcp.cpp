// gavio tcp HOST PORT: connects through the TCP client (53), or through the
// HTTP (55) or SOCKS5 (56) tunnel, sends standard input line by line and
// prints what arrives. A person can try a proxy from the command line:
//
//   echo hello | gavio tcp --http-proxy 127.0.0.1:3128 --user bob --password pw game.example 7000
//
// Standard input is read on a thread of its own and handed to the main
// thread as thread messages, so every transport call and event stays on the
// thread that created the transport. After the end of input the command
// waits for the peer until nothing has arrived for --wait milliseconds.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>

#include "commands.h"
#include "input_lines.h"
#include "gavio/ids.h"
#include "gavio/net.h"
#include "platform/errors.h"
#include "platform/messages.h"

namespace gavio_tool {
namespace {

constexpr uint32_t kConnectLimitMs = 35000;
constexpr uint32_t kDefaultWaitMs = 1000;

const char kUsage[] =
    "usage: gavio tcp [OPTIONS] HOST PORT\n"
    "Connects to HOST:PORT, sends standard input line by line and prints what arrives.\n"
    "  --http-proxy HOST:PORT    through an HTTP proxy (CONNECT; none, Basic or NTLM)\n"
    "  --socks5-proxy HOST:PORT  through a SOCKS5 proxy\n"
    "  --user NAME, --password TEXT, --domain NAME   proxy credentials (domain: NTLM)\n"
    "  --wait MS                 after the end of input, wait this long for quiet (1000)\n"
    "  -q, --quiet               no progress lines on standard error\n"
    "  --help                    this text\n";

struct Options {
  uint32_t transport = gavio::kTcpClientId;
  gavio::ProxySettings proxy{};
  const char* host = nullptr;
  uint16_t port = 0;
  uint32_t waitMs = kDefaultWaitMs;
  bool quiet = false;
};

bool ParsePort(const char* text, uint16_t* port) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ParseProxy(const char* text, gavio::ProxySettings* proxy) {
  const char* colon = strrchr(text, ':');
  if (colon == nullptr || colon == text ||
      static_cast<size_t>(colon - text) >= sizeof proxy->host ||
      !ParsePort(colon + 1, &proxy->port)) {
    return false;
  }
  memcpy(proxy->host, text, colon - text);
  proxy->host[colon - text] = '\0';
  return true;
}

bool CopyField(const char* text, char* field, size_t size) {
  if (strlen(text) >= size) return false;
  strcpy(field, text);
  return true;
}

// 0 to go on, else the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
  enum { kHttp = 1000, kSocks, kUser, kPassword, kDomain, kWait, kHelp };
  static const option kLongOptions[] = {
      {"http-proxy", required_argument, nullptr, kHttp},
      {"socks5-proxy", required_argument, nullptr, kSocks},
      {"user", required_argument, nullptr, kUser},
      {"password", required_argument, nullptr, kPassword},
      {"domain", required_argument, nullptr, kDomain},
      {"wait", required_argument, nullptr, kWait},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "q", kLongOptions, nullptr)) != -1) {
    bool ok = true;
    switch (c) {
      case kHttp:
      case kSocks:
        options->transport = c == kHttp ? gavio::kHttpProxyId : gavio::kSocks5ProxyId;
        ok = ParseProxy(optarg, &options->proxy);
        break;
      case kUser:
        ok = CopyField(optarg, options->proxy.userName, sizeof options->proxy.userName);
        break;
      case kPassword:
        ok = CopyField(optarg, options->proxy.password, sizeof options->proxy.password);
        break;
      case kDomain:
        ok = CopyField(optarg, options->proxy.domain, sizeof options->proxy.domain);
        break;
      case kWait:
        options->waitMs = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
        break;
      case 'q':
        options->quiet = true;
        break;
      case kHelp:
        fputs(kUsage, stdout);
        return fflush(stdout) == 0 && !ferror(stdout) ? -1 : 1;
      default:
        fputs(kUsage, stderr);
        return 2;
    }
    if (!ok) {
      fprintf(stderr, "gavio tcp: bad value for --%s: '%s'\n", kLongOptions[c - kHttp].name,
              optarg);
      return 2;
    }
  }
  if (argc - optind != 2 || !ParsePort(argv[optind + 1], &options->port)) {
    fputs(kUsage, stderr);
    return 2;
  }
  options->host = argv[optind];
  return 0;
}

// Collects the transport's events for the main loop.
class Session : public gavio::ITransportSink {
 public:
  void OnConnectSuccess() override { connected = true; }
  void OnConnectFail(int32_t error) override {
    failed = true;
    this->error = error;
  }
  void OnReceived(const char* bytes, int32_t length) override {
    lastReceived = GetTickCount();
    if (fwrite(bytes, 1, static_cast<size_t>(length), stdout) != static_cast<size_t>(length) ||
        fflush(stdout) != 0) {
      outputFailed = true;
    }
  }
  void OnClosed(int32_t reason) override { closed = true; }

  bool connected = false;
  bool failed = false;
  bool closed = false;
  bool outputFailed = false;
  int32_t error = 0;
  DWORD lastReceived = 0;
};

// Pumps one round of messages; lines from the reader go out here.
void PumpOnce(gavio::ITransport* transport, bool* endOfInput, bool* sendFailed) {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.hwnd == nullptr && msg.message == kInputLineMessage) {
      auto* text = reinterpret_cast<std::string*>(msg.lParam);
      if (transport->Send(text->data(), static_cast<int32_t>(text->size())) != 1) {
        *sendFailed = true;
      }
      delete text;
    } else if (msg.hwnd == nullptr && msg.message == kEndOfInputMessage) {
      *endOfInput = true;
    } else {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

int RunSession(const Options& options, gavio::ITransport* transport, Session* session) {
  if (transport->Create(&options.proxy, session) != 1) {
    fprintf(stderr, "gavio tcp: the transport refused its settings (error %u)\n", GetLastError());
    return 1;
  }
  if (transport->Connect(options.host, options.port) != 1) {
    fprintf(stderr, "gavio tcp: cannot connect to %s:%u (error %u)\n", options.host,
            options.port, GetLastError());
    return 1;
  }
  if (!PumpUntil([](void* s) {
        auto* session = static_cast<Session*>(s);
        return session->connected || session->failed;
      }, session, kConnectLimitMs)) {
    fprintf(stderr, "gavio tcp: no answer from %s:%u\n", options.host, options.port);
    return 1;
  }
  if (session->failed) {
    fprintf(stderr, "gavio tcp: connect to %s:%u failed (error %d)\n", options.host,
            options.port, session->error);
    return 1;
  }
  if (!options.quiet) fprintf(stderr, "gavio tcp: connected to %s:%u\n", options.host, options.port);

  std::thread reader(ReadInputLines, GetCurrentThreadId());
  reader.detach();  // it may stay blocked on a terminal after the peer closed
  bool endOfInput = false;
  bool sendFailed = false;
  DWORD endTime = 0;
  while (!session->closed && !session->outputFailed && !sendFailed) {
    PumpOnce(transport, &endOfInput, &sendFailed);
    if (endOfInput) {
      if (endTime == 0) endTime = GetTickCount();
      DWORD quietSince = session->lastReceived > endTime ? session->lastReceived : endTime;
      if (GetTickCount() - quietSince >= options.waitMs) break;
    }
    WaitMessageTimeout(20);
  }
  if (session->outputFailed) {
    fprintf(stderr, "gavio tcp: cannot write to standard output\n");
    return 1;
  }
  if (sendFailed) {
    fprintf(stderr, "gavio tcp: sending failed (error %u)\n", GetLastError());
    return 1;
  }
  if (!options.quiet) {
    fprintf(stderr, "gavio tcp: %s\n", session->closed ? "the peer closed the connection"
                                                       : "done");
  }
  if (!session->closed) transport->Disconnect();
  return 0;
}

}  // namespace

int RunTcp(int argc, char** argv) {
  Options options;
  int code = ParseOptions(argc, argv, &options);
  if (code != 0) return code < 0 ? 0 : code;
  if (options.transport != gavio::kTcpClientId &&
      (options.proxy.host[0] == '\0' || options.proxy.port == 0)) {
    fputs(kUsage, stderr);
    return 2;
  }
  auto* transport = CreateAs<gavio::ITransport>(options.transport);
  if (transport == nullptr) return 1;
  Session session;
  code = RunSession(options, transport, &session);
  transport->Destroy(0);
  return code;
}

}  // namespace gavio_tool

// ---------------------------------------------------------------------------
// The proxy step of "gavio demo": when this machine has a SOCKS5 server
// (microsocks), start it on a free loopback port and send a line through
// the SOCKS5 tunnel to an echo server of our own.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

extern char** environ;

namespace gavio_tool {

std::vector<uint32_t> RegisteredIds();

namespace {

constexpr char kMicrosocks[] = "/usr/bin/microsocks";

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A listening loopback socket on an ephemeral port; -1 on failure.
int ListenOnLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(0);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Echoes one connection, each wait bounded, then ends.
void EchoOnce(int listener) {
  pollfd entry{listener, POLLIN, 0};
  if (poll(&entry, 1, 10000) != 1) return;
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  char buffer[4096];
  pollfd peer{fd, POLLIN, 0};
  while (poll(&peer, 1, 10000) == 1) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0 || send(fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) break;
  }
  close(fd);
}

bool AcceptsConnections(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(port);
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// microsocks on a free port, with its output discarded; -1 on failure.
pid_t StartSocksServer(uint16_t* port) {
  int probe = ListenOnLoopback(port);
  if (probe < 0) return -1;
  close(probe);
  std::string portText = std::to_string(*port);
  const char* argv[] = {kMicrosocks, "-i", "127.0.0.1", "-p", portText.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, kMicrosocks, &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  DWORD start = GetTickCount();
  while (GetTickCount() - start < 10000) {
    if (AcceptsConnections(*port)) return pid;
    if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
    poll(nullptr, 0, 20);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

class EchoCheck : public gavio::ITransportSink {
 public:
  void OnConnectSuccess() override { connected = true; }
  void OnConnectFail(int32_t error) override { failed = true; }
  void OnReceived(const char* bytes, int32_t length) override {
    received.append(bytes, static_cast<size_t>(length));
  }
  void OnClosed(int32_t) override { failed = true; }

  bool connected = false;
  bool failed = false;
  std::string received;
};

bool TunnelEcho(uint16_t socksPort, uint16_t echoPort) {
  auto* tunnel = CreateAs<gavio::ITransport>(gavio::kSocks5ProxyId);
  if (tunnel == nullptr) return false;
  gavio::ProxySettings settings{};
  strcpy(settings.host, "127.0.0.1");
  settings.port = socksPort;
  EchoCheck check;
  const std::string line = "hello through the SOCKS5 tunnel";
  bool ok = tunnel->Create(&settings, &check) == 1 &&
            tunnel->Connect("127.0.0.1", echoPort) == 1 &&
            PumpUntil([](void* c) {
              auto* check = static_cast<EchoCheck*>(c);
              return check->connected || check->failed;
            }, &check, 10000) &&
            check.connected && tunnel->Send(line.data(), static_cast<int32_t>(line.size())) == 1;
  ok = ok && PumpUntil([](void* c) {
         auto* check = static_cast<EchoCheck*>(c);
         return check->received.size() >= 31 || check->failed;
       }, &check, 10000) && check.received == line;
  printf("   %s: \"%s\"\n", ok ? "echoed" : "FAILED", check.received.c_str());
  tunnel->Destroy(0);
  return ok;
}

}  // namespace

bool DemoProxyTunnel() {
  std::vector<uint32_t> ids = RegisteredIds();
  if (std::find(ids.begin(), ids.end(), gavio::kTcpClientId) == ids.end()) {
    printf("== proxy: this build has no TCP client; step skipped\n");
    return true;
  }
  if (access(kMicrosocks, X_OK) != 0) {
    printf("== proxy: no SOCKS5 server (microsocks) on this machine; step skipped\n");
    return true;
  }
  uint16_t echoPort = 0;
  int listener = ListenOnLoopback(&echoPort);
  uint16_t socksPort = 0;
  pid_t socks = listener >= 0 ? StartSocksServer(&socksPort) : -1;
  printf("== proxy: a line through microsocks on 127.0.0.1:%u to an echo server on port %u\n",
         socksPort, echoPort);
  bool ok = false;
  if (socks > 0) {
    std::thread echo(EchoOnce, listener);
    ok = TunnelEcho(socksPort, echoPort);
    echo.join();
    kill(socks, SIGTERM);
    waitpid(socks, nullptr, 0);
  } else {
    printf("   FAILED: the SOCKS5 server did not start\n");
  }
  if (listener >= 0) close(listener);
  return ok;
}

}  // namespace gavio_tool
