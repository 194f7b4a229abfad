// gavio md5 | base64 | encrypt | decrypt | ipc: the runtime services as
// commands, through the digest (65), Base64 (7), cipher (64) and IPC
// channel (1068) components; and the runtime step of "gavio demo".
#include <ctype.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "gavio/ids.h"
#include "gavio/ipc.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "platform/ipc.h"
#include "platform/messages.h"
#include "platform/paths.h"
#include "platform/processes.h"
#include "platform/sync.h"

namespace gavio_tool {
namespace {

// Inputs of these commands are read whole; the components take 32-bit sizes.
constexpr size_t kMaxInput = 1u << 30;
// Base64 is encoded in slices of whole 3-byte groups.
constexpr size_t kEncodeSlice = 3 * 16 * 1024;

// Destroys a component at scope end.
template <class T>
class Owned {
 public:
  explicit Owned(uint32_t id) : component_(CreateAs<T>(id)) {}
  ~Owned() {
    if (component_ != nullptr) component_->Destroy(0);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* operator->() const { return component_; }
  T* get() const { return component_; }
  explicit operator bool() const { return component_ != nullptr; }

 private:
  T* component_;
};

bool ReadAll(FILE* in, std::string* out) {
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) {
    if (out->size() + got > kMaxInput) return false;
    out->append(chunk, got);
  }
  return !ferror(in);
}

bool ReadFileAll(const char* path, std::string* out) {
  FILE* in = fopen(path, "rb");
  if (in == nullptr) return false;
  bool ok = ReadAll(in, out);
  fclose(in);
  return ok;
}

// Writes beside path and renames over it, so a failed write leaves an
// existing file alone.
bool WriteFileAll(const char* path, const void* data, size_t size) {
  std::string part = std::string(path) + ".gavio-part";
  FILE* out = fopen(part.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = fwrite(data, 1, size, out) == size;
  ok = fclose(out) == 0 && ok;
  if (ok) ok = rename(part.c_str(), path) == 0;
  if (!ok) unlink(part.c_str());
  return ok;
}

std::string Hex(const uint8_t* bytes, size_t size) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < size; ++i) {
    snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

bool ParseKey(const char* hex, uint8_t key[gavio::kCipherKeySize]) {
  if (hex == nullptr || strlen(hex) != 2 * gavio::kCipherKeySize) return false;
  for (size_t i = 0; i < gavio::kCipherKeySize; ++i) {
    unsigned value = 0;
    if (sscanf(hex + 2 * i, "%2x", &value) != 1 || !isxdigit(hex[2 * i]) ||
        !isxdigit(hex[2 * i + 1])) {
      return false;
    }
    key[i] = static_cast<uint8_t>(value);
  }
  return true;
}

// ---- ipc ----------------------------------------------------------------------

volatile sig_atomic_t g_interrupted = 0;

class PrintingListener : public gavio::IIpcListener {
 public:
  void OnReceive(const void* data, uint32_t size) override {
    ++count;
    printf("received %u bytes from another process: %.*s\n", size, static_cast<int>(size),
           static_cast<const char*>(data));
    fflush(stdout);
  }
  int count = 0;
};

// A channel keyed own/peer, with listener attached; null on failure.
gavio::IIpcChannel* OpenChannel(const std::string& own, const std::string& peer,
                                gavio::IIpcListener* listener) {
  auto* channel = CreateAs<gavio::IIpcChannel>(gavio::kIpcChannelId);
  if (channel == nullptr) return nullptr;
  gavio::IpcKeys keys{};
  if (own.size() >= sizeof keys.ownKey || peer.size() >= sizeof keys.peerKey) {
    fprintf(stderr, "gavio ipc: keys hold at most 259 characters\n");
    channel->Destroy(0);
    return nullptr;
  }
  memcpy(keys.ownKey, own.c_str(), own.size() + 1);
  memcpy(keys.peerKey, peer.c_str(), peer.size() + 1);
  if (listener != nullptr) gavio::EventSourceOf(channel)->AddListener(listener, 0);
  if (channel->Init(&keys) != 1) {
    fprintf(stderr, "gavio ipc: the channel did not open\n");
    channel->Destroy(0);
    return nullptr;
  }
  return channel;
}

int IpcListen(const char* key, int count) {
  PrintingListener listener;
  gavio::IIpcChannel* channel = OpenChannel(key, "", &listener);
  if (channel == nullptr) return 1;
  // Other processes reach the window only once it is published.
  if (!GavioIsWindowPublished(FindWindowExA(nullptr, nullptr, "static", key))) {
    if (GetLastError() == ERROR_ACCESS_DENIED) {
      fprintf(stderr, "gavio ipc: other processes cannot reach \"%s\": the per-user folder "
              "for cross-process windows was refused (not a private folder of this user)\n", key);
    } else {
      fprintf(stderr, "gavio ipc: other processes cannot reach \"%s\"\n", key);
    }
    channel->Destroy(0);
    return 1;
  }
  signal(SIGINT, [](int) { g_interrupted = 1; });
  signal(SIGTERM, [](int) { g_interrupted = 1; });
  printf("listening as \"%s\" (pid %u); Ctrl-C ends\n", key, GetCurrentProcessId());
  fflush(stdout);
  struct Done {
    PrintingListener* listener;
    int count;
  } done{&listener, count};
  while (!g_interrupted &&
         !PumpUntil(
             [](void* p) {
               auto* d = static_cast<Done*>(p);
               return g_interrupted != 0 || (d->count > 0 && d->listener->count >= d->count);
             },
             &done, 1000)) {
  }
  channel->Destroy(0);
  return 0;
}

const char* SendFailure(DWORD error) {
  switch (error) {
    case ERROR_TIMEOUT: return "no answer within the time limit (the receiver is stopped or busy)";
    case ERROR_BROKEN_PIPE: return "the receiver closed the connection without answering";
    case ERROR_INVALID_WINDOW_HANDLE: return "the window is gone";
    case ERROR_ACCESS_DENIED: return "the window belongs to another user";
    case ERROR_INVALID_PARAMETER: return "the text is too long";
    default: return "the send failed";
  }
}

// The channel's Send counts the windows it tried, not those reached, so the
// text goes out as the same record a channel sends (dwData 1: delivered
// while we wait) and each window's own answer is checked.
int IpcSend(const char* key, const char* text) {
  COPYDATASTRUCT record{1, static_cast<DWORD>(strlen(text)), const_cast<char*>(text)};
  int reached = 0, failed = 0;
  for (HWND peer = FindWindowExA(nullptr, nullptr, "static", key); peer != nullptr;
       peer = FindWindowExA(nullptr, peer, "static", key)) {
    SendMessageA(peer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record));
    DWORD error = GetLastError();
    if (error == ERROR_SUCCESS) {
      ++reached;
    } else {
      ++failed;
      fprintf(stderr, "gavio ipc: a window titled \"%s\" did not get the text: %s (error %u)\n",
              key, SendFailure(error), error);
    }
  }
  if (reached + failed == 0) {
    fprintf(stderr, "gavio ipc: no window listens as \"%s\"\n", key);
    return 1;
  }
  if (reached > 0) {
    printf("sent %zu bytes to %d window(s) titled \"%s\"\n", strlen(text), reached, key);
  }
  return failed == 0 ? 0 : 1;
}

// ---- demo -----------------------------------------------------------------------

struct EchoWait {
  PrintingListener* listener;
  int expected;
};

bool DemoIpcRoundTrip() {
  printf("== IPC: a round trip to a second process through window messages\n");
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return false;
  std::string peer = std::string(folder) + "/ipc_peer";
  std::string ours = "gavio-demo-" + std::to_string(GetCurrentProcessId());
  std::string theirs = ours + "-peer";
  PrintingListener listener;
  gavio::IIpcChannel* channel = OpenChannel(ours, theirs, &listener);
  if (channel == nullptr) return false;
  const char* argv[] = {peer.c_str(), "echo", theirs.c_str(), ours.c_str(), nullptr};
  DWORD pid = 0;
  HANDLE process = GavioCreateProcess(peer.c_str(), argv, &pid);
  bool ok = process != nullptr;
  if (!ok) printf("   cannot start %s\n", peer.c_str());
  if (ok) {
    struct Find {
      const char* title;
    } find{theirs.c_str()};
    ok = PumpUntil(
        [](void* p) {
          return FindWindowExA(nullptr, nullptr, "static", static_cast<Find*>(p)->title) !=
                 nullptr;
        },
        &find, 10000);
    printf("   peer process %u %s its window \"%s\"\n", pid, ok ? "opened" : "did NOT open",
           theirs.c_str());
  }
  if (ok) {
    const char kText[] = "hello from the gavio demo";
    DWORD start = GetTickCount();
    printf("   sending \"%s\"; the peer answers while we wait:\n   ", kText);
    channel->Send(kText, sizeof kText - 1, 1);
    EchoWait wait{&listener, 1};
    ok = PumpUntil([](void* p) {
      auto* w = static_cast<EchoWait*>(p);
      return w->listener->count >= w->expected;
    }, &wait, 10000);
    printf("   round trip %s in %u ms\n", ok ? "done" : "FAILED", GetTickCount() - start);
    channel->Send("quit", 4, 1);
    DWORD exitCode = 1;
    ok = WaitForSingleObject(process, 10000) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(process, &exitCode) && exitCode == 0 && ok;
    printf("   peer process ended %s\n", exitCode == 0 ? "cleanly" : "with an error");
  }
  if (process != nullptr) {
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 1);
    CloseHandle(process);
  }
  channel->Destroy(0);
  return ok;
}

bool DemoDigestAndCipher() {
  printf("== digest and cipher\n");
  Owned<gavio::IDigest> digest(gavio::kDigestId);
  Owned<gavio::IBlockCipher> cipher(gavio::kBlockCipherId);
  if (!digest || !cipher) return false;
  const char kText[] = "The quick brown fox jumps over the lazy dog";
  uint8_t md5[16];
  digest->DigestMemory(md5, kText, sizeof kText - 1);
  bool digestOk = Hex(md5, 16) == "9e107d9d372bb6826bd81d3542a419d6";
  printf("   MD5(\"%s\") = %s (%s)\n", kText, Hex(md5, 16).c_str(),
         digestOk ? "as RFC 1321 MD5 gives" : "WRONG");
  const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<uint8_t> sealed(cipher->EncryptedLength(sizeof kText - 1));
  uint32_t sealedLength = 0;
  cipher->Encrypt(kText, sizeof kText - 1, key, sealed.data(), &sealedLength);
  char opened[64] = {};
  int32_t openedLength = sizeof opened - 1;
  bool cipherOk = cipher->Decrypt(sealed.data(), static_cast<int32_t>(sealedLength), key, opened,
                                  &openedLength) == 1 &&
                  std::string(opened, static_cast<size_t>(openedLength)) == kText;
  printf("   TEA: %zu bytes sealed into %u and opened again: %s\n", sizeof kText - 1,
         sealedLength, cipherOk ? "identical" : "DIFFERENT");
  return digestOk && cipherOk;
}

}  // namespace

int RunMd5(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: gavio md5 FILE...\n");
    return 2;
  }
  Owned<gavio::IDigest> digest(gavio::kDigestId);
  if (!digest) return 1;
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    uint8_t md5[16];
    if (strcmp(argv[i], "-") == 0) {
      std::string input;
      if (!ReadAll(stdin, &input)) {
        fprintf(stderr, "gavio md5: cannot read standard input\n");
        status = 1;
        continue;
      }
      digest->DigestMemory(md5, input.data(), static_cast<int32_t>(input.size()));
    } else if (digest->DigestFile(md5, argv[i]) == 0) {
      fprintf(stderr, "gavio md5: %s: cannot read the file\n", argv[i]);
      status = 1;
      continue;
    }
    printf("%s  %s\n", Hex(md5, 16).c_str(), argv[i]);
  }
  return status;
}

int RunBase64(int argc, char** argv) {
  bool encode = argc >= 2 && strcmp(argv[1], "encode") == 0;
  bool decode = argc >= 2 && strcmp(argv[1], "decode") == 0;
  if (!encode && !decode) {
    fprintf(stderr, "usage: gavio base64 encode|decode  (standard input to standard output)\n");
    return 2;
  }
  Owned<gavio::IBase64> base64(gavio::kBase64Id);
  if (!base64) return 1;
  std::string input;
  if (!ReadAll(stdin, &input)) {
    fprintf(stderr, "gavio base64: cannot read standard input (or it exceeds 1 GiB)\n");
    return 1;
  }
  if (encode) {
    std::vector<char> text(kEncodeSlice / 3 * 4 + 1);
    for (size_t at = 0; at < input.size(); at += kEncodeSlice) {
      size_t slice = std::min(kEncodeSlice, input.size() - at);
      if (base64->Encode(input.data() + at, static_cast<int32_t>(slice), text.data(),
                         static_cast<int32_t>(text.size())) != 1) {
        fprintf(stderr, "gavio base64: encoding failed\n");
        return 1;
      }
      fputs(text.data(), stdout);
    }
    fputc('\n', stdout);
    return 0;
  }
  std::vector<char> bytes(input.size() / 4 * 3 + 3);
  // Decode reads up to the first NUL; it writes no terminator, so the size
  // of the result is worked out from the text the same way it does.
  size_t characters = 0;
  for (char c : std::string(input.c_str())) {
    characters += isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
  }
  size_t length = characters / 4 * 3 + (characters % 4) * 6 / 8;
  if (base64->Decode(input.c_str(), bytes.data(), static_cast<int32_t>(bytes.size())) != 1) {
    fprintf(stderr, "gavio base64: decoding failed\n");
    return 1;
  }
  fwrite(bytes.data(), 1, length, stdout);
  return 0;
}

int RunCipher(int argc, char** argv) {
  bool encrypt = strcmp(argv[0], "encrypt") == 0;
  uint8_t key[gavio::kCipherKeySize];
  if (argc != 5 || strcmp(argv[1], "--key") != 0 || !ParseKey(argv[2], key)) {
    fprintf(stderr, "usage: gavio %s --key HEX32 IN OUT  (a key of 32 hex digits)\n", argv[0]);
    return 2;
  }
  Owned<gavio::IBlockCipher> cipher(gavio::kBlockCipherId);
  if (!cipher) return 1;
  std::string input;
  if (!ReadFileAll(argv[3], &input)) {
    fprintf(stderr, "gavio %s: %s: cannot read the file (or it exceeds 1 GiB)\n", argv[0],
            argv[3]);
    return 1;
  }
  std::vector<uint8_t> output;
  if (encrypt) {
    output.resize(cipher->EncryptedLength(static_cast<uint32_t>(input.size())));
    uint32_t length = 0;
    cipher->Encrypt(input.data(), static_cast<uint32_t>(input.size()), key, output.data(),
                    &length);
    output.resize(length);
  } else {
    output.resize(input.size());
    int32_t length = static_cast<int32_t>(output.size());
    if (cipher->Decrypt(input.data(), static_cast<int32_t>(input.size()), key, output.data(),
                        &length) != 1) {
      fprintf(stderr, "gavio decrypt: %s: wrong key, or not a file this cipher wrote\n",
              argv[3]);
      return 1;
    }
    output.resize(static_cast<size_t>(length));
  }
  if (!WriteFileAll(argv[4], output.data(), output.size())) {
    fprintf(stderr, "gavio %s: %s: cannot write the file\n", argv[0], argv[4]);
    return 1;
  }
  printf("%s %zu bytes into %zu bytes: %s\n", encrypt ? "encrypted" : "decrypted", input.size(),
         output.size(), argv[4]);
  return 0;
}

int RunIpc(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "listen") == 0) {
    int count = argc >= 5 && strcmp(argv[3], "--count") == 0 ? atoi(argv[4]) : 0;
    return IpcListen(argv[2], count);
  }
  if (argc == 4 && strcmp(argv[1], "send") == 0) return IpcSend(argv[2], argv[3]);
  fprintf(stderr, "usage: gavio ipc listen KEY [--count N] | gavio ipc send KEY TEXT\n");
  return 2;
}

bool DemoRuntimeServices() {
  bool ok = DemoDigestAndCipher();
  return DemoIpcRoundTrip() && ok;
}

}  // namespace gavio_tool
