// The connector's framing against baselines in the same run:
//   - packets per second and bytes per second through CConnector (TCP
//     client, framing, listener delivery; synchronous dispatch and the
//     transfer window) on loopback, for 64-byte and 4 KiB packets, against
//     a plain blocking recv loop that frames the same stream;
//   - the framer alone fed the same stream from memory in receive-sized
//     chunks, against the same plain framing loop over memory.
// A sender thread of this process writes the stream, one batch of packets
// per timed iteration, through a real socket.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/packet_framer.h"
#include "frame/instances.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "host/registration_table.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "platform/paths.h"

namespace {

constexpr size_t kBatchBytes = 4u << 20;  // stream bytes per timed iteration
constexpr int32_t kMaximum = 8192;
constexpr size_t kReceiveChunk = 10240;   // what CTCPClient reads at once

std::string Folder() {
  char folder[4096];
  GavioGetExecutableFolder(folder, sizeof folder);
  return folder;
}

// Whole packets of `size` bytes (width 2, offset 0) making up about one batch.
std::string Batch(uint32_t size) {
  std::string stream;
  stream.reserve(kBatchBytes + size);
  std::string packet(size, 'p');
  packet[0] = static_cast<char>(size >> 8);
  packet[1] = static_cast<char>(size);
  while (stream.size() + size <= kBatchBytes) stream += packet;
  return stream;
}

// Accepts one connection on 127.0.0.1 and writes the batch to it each time
// Send() is called, from a thread of its own.
class Sender {
 public:
  explicit Sender(std::string batch) : batch_(std::move(batch)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Sender() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  void Send() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requested_;
    wake_.notify_one();
  }

 private:
  void Run() {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || requested_ > 0; });
        if (stop_) break;
        --requested_;
      }
      size_t sent = 0;
      while (fd >= 0 && sent < batch_.size()) {
        ssize_t n = send(fd, batch_.data() + sent, batch_.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    }
    if (fd >= 0) close(fd);
  }

  std::string batch_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int requested_ = 0;
  bool stop_ = false;
};

// The plain framing loop: a buffer that receives behind what is left of the
// last packet, packets handed out in place.
class PlainFramer {
 public:
  PlainFramer() : buffer_(kReceiveChunk + kMaximum) {}
  char* Space() { return buffer_.data() + fill_; }
  // Takes n new bytes; returns the packets completed.
  size_t Take(size_t n) {
    fill_ += n;
    size_t at = 0, packets = 0;
    while (fill_ - at > 2) {
      const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + at);
      size_t length = (static_cast<size_t>(p[0]) << 8) | p[1];
      if (length < 1 || length > fill_ - at) break;
      benchmark::DoNotOptimize(p);
      at += length;
      ++packets;
    }
    memmove(buffer_.data(), buffer_.data() + at, fill_ - at);
    fill_ -= at;
    return packets;
  }

 private:
  std::vector<char> buffer_;
  size_t fill_ = 0;
};

int ConnectPlain(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void Report(benchmark::State& state, size_t packetsPerBatch, size_t bytesPerBatch) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packetsPerBatch));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytesPerBatch));
}

// ---- over a socket --------------------------------------------------------------

// Argument: packet size.
void BM_Stream_PlainRecvLoop(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  std::string batch = Batch(size);
  size_t perBatch = batch.size() / size;
  Sender sender(batch);
  int fd = ConnectPlain(sender.port());
  if (fd < 0) return state.SkipWithError("no connection");
  PlainFramer framer;
  for (auto _ : state) {
    sender.Send();
    size_t packets = 0;
    while (packets < perBatch) {
      ssize_t n = recv(fd, framer.Space(), kReceiveChunk, 0);
      if (n <= 0) return state.SkipWithError("stream ended");
      packets += framer.Take(static_cast<size_t>(n));
    }
  }
  close(fd);
  Report(state, perBatch, batch.size());
}
BENCHMARK(BM_Stream_PlainRecvLoop)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

struct CountingListener : gavio::IConnectorSink {
  void OnConnected() override { connected = true; }
  void OnConnectFailed(uint32_t) override { failed = true; }
  void OnClose(int32_t) override { failed = true; }
  void OnPacket(const char* bytes, int32_t length) override {
    benchmark::DoNotOptimize(bytes);
    ++packets;
    this->bytes += static_cast<size_t>(length);
  }
  bool connected = false;
  bool failed = false;
  size_t packets = 0;
  size_t bytes = 0;
};

template <class Done>
bool Pump(const CountingListener& listener, Done done) {
  MSG msg;
  while (!done()) {
    if (listener.failed) return false;
    if (GetMessageA(&msg, nullptr, 0, 0) <= 0) return false;
    DispatchMessageA(&msg);
  }
  return true;
}

gavio::IConnector* NewConnector() {
  static bool loaded = [] {
    gavio::HostSetFactoryHandle(LoadLibraryA((Folder() + "/GavFact.dll").c_str()));
    return true;
  }();
  (void)loaded;
  return static_cast<gavio::IConnector*>(gavio::HostCreateComponent(gavio::kConnectorId, 0));
}

// Arguments: packet size; 1 = synchronous dispatch, 0 = the transfer window.
void BM_Stream_Connector(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  std::string batch = Batch(size);
  size_t perBatch = batch.size() / size;
  Sender sender(batch);
  gavio::IConnector* connector = NewConnector();
  if (connector == nullptr) return state.SkipWithError("no connector");
  CountingListener listener;
  gavio::EventSourceOf(connector)->AddListener(static_cast<gavio::IConnectorSink*>(&listener), 0);
  gavio::SocketParam param{gavio::kProxyTypeTcp, nullptr};
  connector->SetSocketParam(&param);
  connector->SetPacketParam(kMaximum, 2, 0);
  connector->SetSyncDispatch(static_cast<int32_t>(state.range(1)));
  gavio::ServerEntry entry{};
  strcpy(entry.address, "127.0.0.1");
  entry.port = sender.port();
  connector->Connect(&entry);
  if (!Pump(listener, [&] { return listener.connected; })) {
    connector->Destroy(1);
    return state.SkipWithError("no connection");
  }
  for (auto _ : state) {
    size_t target = listener.packets + perBatch;
    sender.Send();
    if (!Pump(listener, [&] { return listener.packets >= target; })) {
      state.SkipWithError("stream ended");
      break;
    }
  }
  connector->Destroy(1);
  Report(state, perBatch, batch.size());
}
BENCHMARK(BM_Stream_Connector)
    ->Args({64, 1})
    ->Args({64, 0})
    ->Args({4096, 1})
    ->Args({4096, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- from memory ----------------------------------------------------------------

void BM_Memory_PlainFramingLoop(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  std::string batch = Batch(size);
  size_t perBatch = batch.size() / size;
  PlainFramer framer;
  for (auto _ : state) {
    size_t packets = 0;
    for (size_t at = 0; at < batch.size(); at += kReceiveChunk) {
      size_t n = std::min(kReceiveChunk, batch.size() - at);
      memcpy(framer.Space(), batch.data() + at, n);
      packets += framer.Take(n);
    }
    if (packets != perBatch) return state.SkipWithError("lost packets");
  }
  Report(state, perBatch, batch.size());
}
BENCHMARK(BM_Memory_PlainFramingLoop)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);

void BM_Memory_PacketFramer(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  std::string batch = Batch(size);
  size_t perBatch = batch.size() / size;
  gavio::PacketFramer framer;
  framer.SetParams(kMaximum, 2, 0);
  for (auto _ : state) {
    size_t packets = 0;
    for (size_t at = 0; at < batch.size(); at += kReceiveChunk) {
      size_t n = std::min(kReceiveChunk, batch.size() - at);
      framer.Append(batch.data() + at, static_cast<int32_t>(n));
      int32_t length = 0;
      while (framer.Peek(&length) == gavio::PacketFramer::Next::kPacket) {
        benchmark::DoNotOptimize(framer.Data());
        framer.Consume(length);
        ++packets;
      }
    }
    if (packets != perBatch) return state.SkipWithError("lost packets");
  }
  Report(state, perBatch, batch.size());
}
BENCHMARK(BM_Memory_PacketFramer)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
