// gavio md5 | base64 | encrypt | decrypt | ipc: the runtime services as
// commands, through the digest (65), Base64 (7), cipher (64) and IPC
// channel (1068) components; and the runtime step of "gavio demo".
#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "gavio/ids.h"
#include "gavio/ipc.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "platform/files.h"
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
// Checksum lists for md5 -c are read whole.
constexpr size_t kMaxCheckList = 64u << 20;
constexpr uint64_t kMaxWrap = 1u << 20;
constexpr int kCountOption = 256;

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

namespace {

const char kMd5Usage[] =
    "usage: gavio md5 [FILE...]\n"
    "       gavio md5 -c [LIST...]\n"
    "Prints the MD5 digest of each FILE (standard input when none, or for \"-\")\n"
    "as md5sum does; a name holding a backslash or a control character is\n"
    "escaped and its line starts with a backslash.\n"
    "  -c, --check   read digests and names from each LIST and check them\n"
    "  -q, --quiet   with -c, print only the files that fail\n";

// The digest of a host file (the path is used as it is), or of standard
// input for "-". On failure returns false with errno set.
bool DigestHostFile(gavio::IDigest* digest, const std::string& path, uint8_t md5[16]) {
  struct stat info {};
  if (path != "-" && path.find('\\') == std::string::npos && stat(path.c_str(), &info) == 0 &&
      S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > kMaxInput) {
    // Too large to read whole: the component reads it in pieces. It takes
    // a backslash for a separator, hence only paths without one.
    errno = 0;
    if (digest->DigestFile(md5, path.c_str()) != 0) return true;
    if (errno == 0) errno = EIO;
    return false;
  }
  std::string content;
  if (!ReadHostFile(path, kMaxInput, &content)) return false;
  digest->DigestMemory(md5, content.data(), static_cast<int32_t>(content.size()));
  return true;
}

// One line of a checksum list: "HASH  NAME" or "HASH *NAME", with a
// leading backslash when the name was escaped.
bool ParseCheckLine(std::string line, std::string* hash, std::string* name) {
  bool escaped = !line.empty() && line[0] == '\\';
  if (escaped) line.erase(0, 1);
  if (line.size() < 35 || line[32] != ' ' || (line[33] != ' ' && line[33] != '*')) return false;
  *hash = line.substr(0, 32);
  for (char& c : *hash) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (hash->find_first_not_of("0123456789abcdef") != std::string::npos) return false;
  std::string raw = line.substr(34);
  if (!escaped) {
    *name = raw;
    return true;
  }
  name->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      *name += raw[i];
      continue;
    }
    char next = i + 1 < raw.size() ? raw[++i] : '\0';
    if (next == '\\') *name += '\\';
    else if (next == 'n') *name += '\n';
    else if (next == 'r') *name += '\r';
    else return false;
  }
  return true;
}

int CheckMd5(gavio::IDigest* digest, const std::vector<std::string>& lists) {
  uint64_t mismatched = 0, unreadable = 0, malformed = 0, checked = 0;
  for (const std::string& list : lists) {
    std::string text;
    if (!ReadHostFile(list, kMaxCheckList, &text)) {
      FileError(list, errno);
      ++unreadable;
      continue;
    }
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      at = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string hash, name;
      if (!ParseCheckLine(line, &hash, &name)) {
        malformed += !line.empty();
        continue;
      }
      ++checked;
      uint8_t md5[16];
      bool read = DigestHostFile(digest, name, md5);
      if (!read) FileError(name, errno);
      bool same = read && Hex(md5, 16) == hash;
      if (!read) ++unreadable;
      else if (!same) ++mismatched;
      if (!same || !g_quiet) {
        WriteOut(PrintableName(name) + (same ? ": OK\n" : read ? ": FAILED\n" : ": FAILED open or read\n"));
      }
    }
  }
  if (malformed > 0) fprintf(stderr, "gavio md5: WARNING: %llu lines are improperly formatted\n", static_cast<unsigned long long>(malformed));
  if (unreadable > 0) fprintf(stderr, "gavio md5: WARNING: %llu listed files could not be read\n", static_cast<unsigned long long>(unreadable));
  if (mismatched > 0) fprintf(stderr, "gavio md5: WARNING: %llu computed checksums did NOT match\n", static_cast<unsigned long long>(mismatched));
  if (checked == 0) {
    fprintf(stderr, "gavio md5: no properly formatted MD5 checksum lines found\n");
    return 1;
  }
  return mismatched == 0 && unreadable == 0 ? 0 : 1;
}

const char kBase64Usage[] =
    "usage: gavio base64 encode [-w COLUMNS] [FILE]\n"
    "       gavio base64 decode [FILE]\n"
    "Encodes or decodes FILE (standard input when none, or for \"-\") to\n"
    "standard output. Decoding rejects anything that is not Base64 (line\n"
    "ends aside) with exit status 1.\n"
    "  -w, --wrap=COLUMNS   wrap encoded lines after COLUMNS characters\n"
    "                       (default 76; 0 disables wrapping)\n";

// Writes encoded text in lines of width characters (0 = one line).
class WrappedWriter {
 public:
  explicit WrappedWriter(size_t width) : width_(width) {}
  bool Write(const char* text, size_t size) {
    while (size > 0) {
      size_t take = width_ == 0 ? size : std::min(size, width_ - column_);
      if (!WriteOut(text, take)) return false;
      text += take;
      size -= take;
      column_ += take;
      if (width_ != 0 && column_ == width_) {
        if (!WriteOut("\n", 1)) return false;
        column_ = 0;
      }
    }
    return true;
  }
  bool Finish() { return column_ == 0 || width_ == 0 || WriteOut("\n", 1); }

 private:
  size_t width_;
  size_t column_ = 0;
};

// Strict Base64: the alphabet in groups of four, "=" only as the padding
// of the last group; line ends are ignored. Returns the text without line
// ends and the number of bytes it decodes to.
bool ValidBase64(const std::string& input, std::string* clean, size_t* decoded) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  clean->reserve(input.size());
  for (char c : input) {
    if (c != '\n' && c != '\r') clean->push_back(c);
  }
  size_t n = clean->size();
  if (n % 4 != 0) return false;
  size_t padding = 0;
  if (n > 0 && (*clean)[n - 1] == '=') padding = (*clean)[n - 2] == '=' ? 2 : 1;
  for (size_t i = 0; i < n - padding; ++i) {
    if (kAlphabet.find((*clean)[i]) == std::string::npos) return false;
  }
  *decoded = n / 4 * 3 - padding;
  return true;
}

int Base64Encode(gavio::IBase64* base64, const std::string& input, size_t width) {
  std::vector<char> text(kEncodeSlice / 3 * 4 + 1);
  WrappedWriter out(width);
  for (size_t at = 0; at < input.size(); at += kEncodeSlice) {
    size_t slice = std::min(kEncodeSlice, input.size() - at);
    if (base64->Encode(input.data() + at, static_cast<int32_t>(slice), text.data(),
                       static_cast<int32_t>(text.size())) != 1) {
      fprintf(stderr, "gavio base64: encoding failed\n");
      return 1;
    }
    if (!out.Write(text.data(), strlen(text.data()))) return 1;
  }
  return out.Finish() ? 0 : 1;
}

int Base64Decode(gavio::IBase64* base64, const std::string& input) {
  std::string clean;
  size_t length = 0;
  if (!ValidBase64(input, &clean, &length)) {
    fprintf(stderr, "gavio base64: invalid input\n");
    return 1;
  }
  std::vector<char> bytes(length + 1);
  if (base64->Decode(clean.c_str(), bytes.data(), static_cast<int32_t>(bytes.size())) != 1) {
    fprintf(stderr, "gavio base64: decoding failed\n");
    return 1;
  }
  return WriteOut(bytes.data(), length) ? 0 : 1;
}

}  // namespace

int RunMd5(int argc, char** argv) {
  Arguments args;
  int status = ParseArguments(argc, argv, "md5", kMd5Usage, {{"check", 'c', false}}, &args);
  if (status != -1) return status;
  std::vector<std::string> files = args.operands;
  if (files.empty()) files.push_back("-");
  Owned<gavio::IDigest> digest(gavio::kDigestId);
  if (!digest) return 1;
  if (args.Has('c')) return CheckMd5(digest.get(), files);
  status = 0;
  for (const std::string& file : files) {
    uint8_t md5[16];
    if (!DigestHostFile(digest.get(), file, md5)) {
      status = FileError(file, errno);
      continue;
    }
    bool escaped = false;
    std::string name = PrintableName(file, &escaped);
    if (!WriteOut((escaped ? "\\" : "") + Hex(md5, 16) + "  " + name + "\n")) return 1;
  }
  return status;
}

int RunBase64(int argc, char** argv) {
  Arguments args;
  int status = ParseArguments(argc, argv, "base64", kBase64Usage, {{"wrap", 'w', true}}, &args);
  if (status != -1) return status;
  const std::vector<std::string>& operands = args.operands;
  if (operands.empty() || (operands[0] != "encode" && operands[0] != "decode")) {
    return UsageError("base64", "say encode or decode");
  }
  if (operands.size() > 2) return UsageError("base64", "one FILE at most");
  bool encode = operands[0] == "encode";
  uint64_t width = 76;
  if (args.Has('w') && !encode) return UsageError("base64", "-w is for encode");
  if (args.Has('w') && !ParseNumber("base64", "wrap width", args.Value('w'), 0, kMaxWrap, &width)) return 2;
  std::string file = operands.size() == 2 ? operands[1] : "-";
  Owned<gavio::IBase64> base64(gavio::kBase64Id);
  if (!base64) return 1;
  std::string input;
  if (!ReadHostFile(file, kMaxInput, &input)) {
    return FileError(file == "-" ? "standard input" : file, errno);
  }
  return encode ? Base64Encode(base64.get(), input, width) : Base64Decode(base64.get(), input);
}

int RunCipher(int argc, char** argv) {
  std::string command = argv[0];
  bool encrypt = command == "encrypt";
  std::string usage = "usage: gavio " + command + " --key HEX32 IN OUT\n" +
                      (encrypt ? "Seals IN with the block cipher into OUT.\n"
                               : "Opens IN, sealed by gavio encrypt, into OUT; a new OUT is made\n"
                                 "readable by its owner only.\n") +
                      "OUT is written beside itself and renamed into place; an existing OUT\n"
                      "keeps its permissions.\n"
                      "  -k, --key=HEX32   the key: 32 hexadecimal digits (16 bytes)\n";
  Arguments args;
  int status = ParseArguments(argc, argv, command.c_str(), usage.c_str(), {{"key", 'k', true}}, &args);
  if (status != -1) return status;
  uint8_t key[gavio::kCipherKeySize];
  if (!args.Has('k') || !ParseKey(args.Value('k').c_str(), key)) {
    return UsageError(command.c_str(), "--key needs 32 hexadecimal digits");
  }
  if (args.operands.size() != 2) return UsageError(command.c_str(), "name IN and OUT");
  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];
  Owned<gavio::IBlockCipher> cipher(gavio::kBlockCipherId);
  if (!cipher) return 1;
  std::string input;
  if (!ReadHostFile(in, kMaxInput, &input)) return FileError(in, errno);
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
      return FileProblem(in, "wrong key, or not a file this cipher wrote");
    }
    output.resize(static_cast<size_t>(length));
  }
  if (out.find('\\') != std::string::npos) {
    return FileProblem(out, "a backslash in an output's host path is not supported");
  }
  // Written beside OUT and renamed over it; decrypted text is private
  // until its owner says otherwise.
  if (!GavioWriteFileAtomic(out.c_str(), output.data(), output.size(),
                            encrypt ? 0 : GAVIO_ATOMIC_PRIVATE)) {
    return FileError(out, errno);
  }
  printf("%s %zu bytes into %zu bytes: %s\n", encrypt ? "encrypted" : "decrypted", input.size(),
         output.size(), PrintableName(out).c_str());
  return 0;
}

int RunIpc(int argc, char** argv) {
  static const char kUsage[] =
      "usage: gavio ipc listen KEY [--count N]\n"
      "       gavio ipc send KEY TEXT\n"
      "listen opens a window titled KEY and prints each message it receives until\n"
      "interrupted (or after N messages); send delivers TEXT to the windows\n"
      "titled KEY of this user's processes.\n"
      "  --count=N   with listen, stop after N messages\n";
  Arguments args;
  int status = ParseArguments(argc, argv, "ipc", kUsage, {{"count", kCountOption, true}}, &args);
  if (status != -1) return status;
  const std::vector<std::string>& operands = args.operands;
  std::string verb = operands.empty() ? std::string() : operands[0];
  if (verb == "listen" && operands.size() == 2) {
    uint64_t count = 0;
    if (args.Has(kCountOption) &&
        !ParseNumber("ipc", "--count", args.Value(kCountOption), 1, 1000000000, &count)) {
      return 2;
    }
    return IpcListen(operands[1].c_str(), static_cast<int>(count));
  }
  if (verb == "send" && operands.size() == 3 && !args.Has(kCountOption)) {
    return IpcSend(operands[1].c_str(), operands[2].c_str());
  }
  return UsageError("ipc", verb == "listen" || verb == "send" ? "wrong operands for " + verb
                                                             : std::string("say listen or send"));
}

bool DemoRuntimeServices() {
  bool ok = DemoDigestAndCipher();
  return DemoIpcRoundTrip() && ok;
}

}  // namespace gavio_tool
