// Runtime services against baselines in the same run:
//   - MD5 of a 64 MiB file: the digest component against OpenSSL's MD5,
//     both reading the file the same way;
//   - TEA encrypt and decrypt throughput (the block function alone has no
//     outside counterpart; MB/s are reported);
//   - round trips per second to a second process: the IPC channel (message
//     and synchronous echo), one platform WM_COPYDATA send, and a bare Unix
//     socket ping-pong between two processes as the floor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/ipc.h"
#include "gavio/runtime.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "platform/paths.h"
#include "platform/processes.h"
#include "platform/sync.h"

namespace {

constexpr size_t kFileSize = 64u << 20;
constexpr size_t kCipherBlock = 1u << 20;
const uint8_t kKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

std::string Folder() {
  char folder[4096];
  GavioGetExecutableFolder(folder, sizeof folder);
  return folder;
}

// A 64 MiB file of random bytes, made once and removed at exit.
const std::string& BigFile() {
  static struct File {
    std::string path = "/tmp/gavio-bench-md5-" + std::to_string(getpid());
    File() {
      std::vector<char> chunk(1u << 20);
      std::mt19937 random(65);
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      for (size_t done = 0; done < kFileSize; done += chunk.size()) {
        for (char& c : chunk) c = static_cast<char>(random());
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) break;
      }
      close(fd);
    }
    ~File() { unlink(path.c_str()); }
  } file;
  return file.path;
}

template <class T>
T* Create(uint32_t id) {
  return static_cast<T*>(gavio::HostCreateComponent(id, 0));
}

void BM_Md5File_Gavio(benchmark::State& state) {
  auto* digest = Create<gavio::IDigest>(gavio::kDigestId);
  const std::string& path = BigFile();
  uint8_t out[16];
  for (auto _ : state) {
    if (digest->DigestFile(out, path.c_str()) != 1) state.SkipWithError("digest failed");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
  digest->Destroy(0);
}
BENCHMARK(BM_Md5File_Gavio)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Md5File_OpenSsl(benchmark::State& state) {
  const std::string& path = BigFile();
  std::vector<unsigned char> chunk(64 * 1024);
  unsigned char out[EVP_MAX_MD_SIZE];
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDONLY);
    EVP_DigestInit_ex(context, EVP_md5(), nullptr);
    ssize_t got;
    while ((got = read(fd, chunk.data(), chunk.size())) > 0) {
      EVP_DigestUpdate(context, chunk.data(), static_cast<size_t>(got));
    }
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, out, &length);
    close(fd);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(context);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_Md5File_OpenSsl)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TeaEncrypt(benchmark::State& state) {
  auto* cipher = Create<gavio::IBlockCipher>(gavio::kBlockCipherId);
  std::vector<uint8_t> plain(kCipherBlock, 0x5A);
  std::vector<uint8_t> sealed(cipher->EncryptedLength(kCipherBlock));
  uint32_t length = 0;
  for (auto _ : state) {
    cipher->Encrypt(plain.data(), kCipherBlock, kKey, sealed.data(), &length);
    benchmark::DoNotOptimize(sealed.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCipherBlock));
  cipher->Destroy(0);
}
BENCHMARK(BM_TeaEncrypt)->Unit(benchmark::kMillisecond);

void BM_TeaDecrypt(benchmark::State& state) {
  auto* cipher = Create<gavio::IBlockCipher>(gavio::kBlockCipherId);
  std::vector<uint8_t> plain(kCipherBlock, 0x5A);
  std::vector<uint8_t> sealed(cipher->EncryptedLength(kCipherBlock));
  uint32_t sealedLength = 0;
  cipher->Encrypt(plain.data(), kCipherBlock, kKey, sealed.data(), &sealedLength);
  for (auto _ : state) {
    int32_t length = static_cast<int32_t>(plain.size());
    if (cipher->Decrypt(sealed.data(), static_cast<int32_t>(sealedLength), kKey, plain.data(),
                        &length) != 1) {
      state.SkipWithError("decrypt failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCipherBlock));
  cipher->Destroy(0);
}
BENCHMARK(BM_TeaDecrypt)->Unit(benchmark::kMillisecond);

// ---- round trips to a second process ------------------------------------------

// The peer program beside this one, killed at scope end.
class PeerProcess {
 public:
  explicit PeerProcess(std::vector<std::string> arguments) {
    std::string program = Folder() + "/ipc_peer";
    arguments.insert(arguments.begin(), program);
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    process_ = GavioCreateProcess(program.c_str(), argv.data(), nullptr);
  }
  ~PeerProcess() {
    if (process_ == nullptr) return;
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
  }

 private:
  HANDLE process_ = nullptr;
};

HWND WaitForWindow(const std::string& title) {
  for (int i = 0; i < 1000; ++i) {
    if (HWND found = FindWindowExA(nullptr, nullptr, "static", title.c_str())) return found;
    WaitMessageTimeout(10);
  }
  return nullptr;
}

class CountingListener : public gavio::IIpcListener {
 public:
  void OnReceive(const void*, uint32_t) override { ++count; }
  int64_t count = 0;
};

void BM_IpcChannelEchoRoundTrip(benchmark::State& state) {
  // The channel asks the factory library for its memory manager, as a
  // client's channel would.
  LoadLibraryA((Folder() + "/GavFact.dll").c_str());
  std::string ours = "gavio-bench-" + std::to_string(getpid()), theirs = ours + "-peer";
  auto* channel = Create<gavio::IIpcChannel>(gavio::kIpcChannelId);
  gavio::IpcKeys keys{};
  snprintf(keys.ownKey, sizeof keys.ownKey, "%s", ours.c_str());
  snprintf(keys.peerKey, sizeof keys.peerKey, "%s", theirs.c_str());
  CountingListener listener;
  gavio::EventSourceOf(channel)->AddListener(&listener, 0);
  channel->Init(&keys);
  {
    PeerProcess peer({"echo", theirs, ours});
    if (WaitForWindow(theirs) == nullptr) state.SkipWithError("no peer window");
    const char kPing[] = "ping";
    for (auto _ : state) channel->Send(kPing, sizeof kPing - 1, 1);
    if (listener.count != state.iterations()) state.SkipWithError("echoes went missing");
    channel->Send("quit", 4, 1);
  }
  channel->Destroy(0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IpcChannelEchoRoundTrip)->UseRealTime();

void BM_PlatformCopyDataSend(benchmark::State& state) {
  std::string key = "gavio-bench-raw-" + std::to_string(getpid());
  PeerProcess peer({"raw", key});
  HWND remote = WaitForWindow(key);
  if (remote == nullptr) state.SkipWithError("no peer window");
  char bytes[4] = {'p', 'i', 'n', 'g'};
  COPYDATASTRUCT record{1, sizeof bytes, bytes};
  for (auto _ : state) {
    if (SendMessageA(remote, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)) != 4001) {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlatformCopyDataSend)->UseRealTime();

// The floor: four bytes there and back over a connected Unix socket pair
// between two processes, nothing else.
void BM_UnixSocketPingPongBaseline(benchmark::State& state) {
  int pair[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
  pid_t child = fork();
  if (child == 0) {
    close(pair[0]);
    char bytes[4];
    while (read(pair[1], bytes, sizeof bytes) == sizeof bytes) {
      if (write(pair[1], bytes, sizeof bytes) != sizeof bytes) break;
    }
    _exit(0);
  }
  close(pair[1]);
  char bytes[4] = {'p', 'i', 'n', 'g'};
  for (auto _ : state) {
    if (write(pair[0], bytes, sizeof bytes) != sizeof bytes ||
        read(pair[0], bytes, sizeof bytes) != sizeof bytes) {
      state.SkipWithError("socket failed");
      break;
    }
  }
  close(pair[0]);
  waitpid(child, nullptr, 0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnixSocketPingPongBaseline)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
