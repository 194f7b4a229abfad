// Socket transports against baselines in the same run:
//   - receive throughput of CTCPClient (events delivered to a sink on the
//     owner thread), aggregation off and on, against a plain blocking recv
//     loop, all reading the same tcp_peer stream on loopback;
//   - 64-byte messages per second through CTCPClient to the echo peer,
//     against a plain blocking socket doing the same;
//   - notices per second (WSAAsyncSelect) for one busy socket beside 10 and
//     beside 1000 idle watched sockets: the cost of one event should not
//     grow with the idle count.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/net.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "platform/paths.h"
#include "platform/sockets.h"

extern char** environ;

namespace {

constexpr uint32_t kLoopback = 0x0100007F;
constexpr size_t kStreamChunk = 8u << 20;  // bytes per timed iteration
constexpr int kMessagesPerIteration = 1000;

std::string Folder() {
  char folder[4096];
  GavioGetExecutableFolder(folder, sizeof folder);
  return folder;
}

// tcp_peer as a child process; ends when its standard input closes.
class Peer {
 public:
  explicit Peer(const char* mode) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string program = Folder() + "/tcp_peer";
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(mode), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    char line[16] = {};
    pollfd p{out[0], POLLIN, 0};
    for (size_t used = 0; pid_ > 0 && used < sizeof line - 1 && poll(&p, 1, 10000) > 0; ++used) {
      if (read(out[0], line + used, 1) <= 0 || line[used] == '\n') break;
    }
    close(out[0]);
    port_ = static_cast<uint16_t>(atoi(line));
  }
  ~Peer() {
    close(input_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  uint16_t port_ = 0;
};

int ConnectPlain(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopback;
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

gavio::ITransport* NewTcpClient() {
  static bool loaded = [] {
    gavio::HostSetFactoryHandle(LoadLibraryA((Folder() + "/GavFact.dll").c_str()));
    return true;
  }();
  (void)loaded;
  return static_cast<gavio::ITransport*>(gavio::HostCreateComponent(gavio::kTcpClientId, 0));
}

struct CountingSink : gavio::ITransportSink {
  void OnConnectSuccess() override { connected = true; }
  void OnConnectFail(int32_t) override { failed = true; }
  void OnReceived(const char*, int32_t length) override {
    bytes += static_cast<size_t>(length);
    ++events;
  }
  void OnClosed(int32_t) override { failed = true; }
  bool connected = false;
  bool failed = false;
  size_t bytes = 0;
  size_t events = 0;
};

// Pumps the thread's messages until done() or failure.
template <class Done>
bool Pump(const CountingSink& sink, Done done) {
  MSG msg;
  while (!done()) {
    if (sink.failed) return false;
    if (GetMessageA(&msg, nullptr, 0, 0) <= 0) return false;
    DispatchMessageA(&msg);
  }
  return true;
}

// ---- receive throughput -------------------------------------------------------

void BM_TcpReceive_PlainRecvLoop(benchmark::State& state) {
  Peer peer("stream");
  int fd = ConnectPlain(peer.port());
  if (fd < 0) return state.SkipWithError("no peer");
  std::vector<char> buffer(10240);
  for (auto _ : state) {
    size_t got = 0;
    while (got < kStreamChunk) {
      ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) return state.SkipWithError("stream ended");
      got += static_cast<size_t>(n);
    }
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamChunk));
}
BENCHMARK(BM_TcpReceive_PlainRecvLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

// Argument: aggregation units (0 = off).
void BM_TcpReceive_TcpClient(benchmark::State& state) {
  Peer peer("stream");
  gavio::ITransport* client = NewTcpClient();
  CountingSink sink;
  client->Create(nullptr, &sink);
  uint32_t units = static_cast<uint32_t>(state.range(0));
  gavio::TransportOptions options{units != 0 ? gavio::kTransportAggregationOn : 0u, units, 0};
  client->SetOptions(&options);
  client->ConnectIP(kLoopback, peer.port());
  if (!Pump(sink, [&] { return sink.connected; })) state.SkipWithError("no connection");
  for (auto _ : state) {
    size_t target = sink.bytes + kStreamChunk;
    if (!Pump(sink, [&] { return sink.bytes >= target; })) {
      state.SkipWithError("stream ended");
      break;
    }
  }
  state.counters["events"] = benchmark::Counter(static_cast<double>(sink.events),
                                                benchmark::Counter::kIsRate);
  client->Destroy(0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamChunk));
}
BENCHMARK(BM_TcpReceive_TcpClient)->Arg(0)->Arg(60)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- small messages -----------------------------------------------------------

void BM_SmallMessages_PlainSocket(benchmark::State& state) {
  Peer peer("echo");
  int fd = ConnectPlain(peer.port());
  if (fd < 0) return state.SkipWithError("no peer");
  char message[64] = "message";
  std::vector<char> buffer(65536);
  for (auto _ : state) {
    for (int i = 0; i < kMessagesPerIteration; ++i) send(fd, message, sizeof message, 0);
    size_t got = 0;
    while (got < kMessagesPerIteration * sizeof message) {
      ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) return state.SkipWithError("echo ended");
      got += static_cast<size_t>(n);
    }
  }
  close(fd);
  state.SetItemsProcessed(state.iterations() * kMessagesPerIteration);
}
BENCHMARK(BM_SmallMessages_PlainSocket)->UseRealTime();

void BM_SmallMessages_TcpClient(benchmark::State& state) {
  Peer peer("echo");
  gavio::ITransport* client = NewTcpClient();
  CountingSink sink;
  client->Create(nullptr, &sink);
  client->ConnectIP(kLoopback, peer.port());
  if (!Pump(sink, [&] { return sink.connected; })) state.SkipWithError("no connection");
  char message[64] = "message";
  for (auto _ : state) {
    size_t target = sink.bytes + kMessagesPerIteration * sizeof message;
    for (int i = 0; i < kMessagesPerIteration; ++i) client->Send(message, sizeof message);
    if (!Pump(sink, [&] { return sink.bytes >= target; })) {
      state.SkipWithError("echo ended");
      break;
    }
  }
  client->Destroy(0);
  state.SetItemsProcessed(state.iterations() * kMessagesPerIteration);
}
BENCHMARK(BM_SmallMessages_TcpClient)->UseRealTime();

// ---- notices beside idle sockets ------------------------------------------------

constexpr UINT kNotice = WM_USER + 5;

// Argument: idle sockets watched by the same thread.
void BM_AsyncSelectNotice_IdleSockets(benchmark::State& state) {
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  HWND window = CreateWindowExA(0, "static", "bench", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
  std::vector<SOCKET> idle;
  for (int64_t i = 0; i < state.range(0); ++i) {
    SOCKET s = winsock::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET || WSAAsyncSelect(s, window, kNotice, FD_READ) != 0) {
      state.SkipWithError("descriptor limit reached");
      break;
    }
    idle.push_back(s);
  }
  int pair[2];
  socketpair(AF_UNIX, SOCK_DGRAM, 0, pair);
  SOCKET busy = static_cast<SOCKET>(pair[0]);
  WSAAsyncSelect(busy, window, kNotice, FD_READ);
  char byte = 1;
  for (auto _ : state) {
    if (write(pair[1], &byte, 1) != 1) break;
    MSG msg;
    while (GetMessageA(&msg, window, kNotice, kNotice) > 0) {
      if (static_cast<SOCKET>(msg.wParam) == busy) break;
    }
    winsock::recv(busy, &byte, 1, 0);
  }
  state.SetItemsProcessed(state.iterations());
  for (SOCKET s : idle) closesocket(s);
  closesocket(busy);
  close(pair[1]);
  DestroyWindow(window);
  WSACleanup();
}
BENCHMARK(BM_AsyncSelectNotice_IdleSockets)->Arg(10)->Arg(1000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
