// verify_peer: a verification service for the tests and the demo.
//
//   verify_peer DATA_FOLDER [--delay=MS] [--drop] [--split=BYTES] [--together]
//                           [--error=RESULT] [--stall-after=BYTES] [--twice]
//
// It reads request packages, answers each with the response of the same
// kind and writes the port number and a line end to standard output once it
// listens on 127.0.0.1 (ephemeral port). Every request is also printed as
// "request 0x<cmd>". The lists come from the data folder:
//
//   koraip.txt, whiteip.txt   "version N", then "SUBSERVICE HIGHPRIORITY ADDRESS..."
//   clsid.txt                 "version N", then "CLASSID VERSION"
//   hashes.txt                "FILENAME HEXDIGEST" (a known name with another
//                             digest fails, an unknown name is not verified)
//
// A request holding the data version the peer has gets an answer with no
// entries. Switches:
//   --delay=MS        wait before every answer
//   --drop            accept and read, never answer
//   --split=BYTES     send each answer in pieces of that size, 20 ms apart
//   --together        answer every request of one read in a single write
//   --error=RESULT    answer every request with that non-zero Result
//   --stall-after=N   send only the first N bytes of the first answer, print
//                     "stalled" and keep the connection open without a word
//                     (until the client's silence exceeds the read limit)
//   --twice           send every answer twice (a duplicate the client must
//                     not report again)
//
// The packages go through libgavio.so's own pack and unpack, loaded the way
// a client loads the library. One thread serves each connection; a client
// silent for more than 5 seconds while the peer waits to read is dropped.
// The peer ends when its standard input ends and after 10 minutes at most.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gavio/gavio.h"
#include "peer_net.h"
#include "platform/modules.h"
#include "platform/paths.h"
#include "verify/kora_protocol.h"

namespace {

using namespace gavio::kora;

constexpr uint32_t kPieceGapMicros = 20000;
constexpr size_t kMaxPackage = sizeof(PkgHead) + 65535;
constexpr std::chrono::milliseconds kReadLimit{5000};

struct Options {
  std::string folder;
  int delayMs = 0;
  bool drop = false;
  size_t split = 0;
  bool together = false;
  uint16_t error = 0;
  long stallAfter = -1;
  bool twice = false;
};

struct Library {
  GavioInitPrototolFn initPrototol = nullptr;
  GavioPackFn pack = nullptr;
  GavioUnpackFn unpack = nullptr;
  const tagLMXMeta* meta = nullptr;
};

struct AddressList {
  uint32_t version = 0;
  struct Sub {
    std::string name;
    uint16_t highPriority = 0;
    std::vector<uint32_t> addresses;
  };
  std::vector<Sub> subs;
};

struct ClassIdList {
  uint32_t version = 0;
  std::vector<std::pair<std::string, uint32_t>> ids;
};

Options gOptions;
Library gLibrary;
AddressList gKoraip;
AddressList gWhiteip;
ClassIdList gClsid;
std::map<std::string, std::string> gDigests;  // upper-case file name -> upper-case digest

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// "version N" first, then one entry a line; blank lines and '#' lines skipped.
std::vector<std::string> DataLines(const std::string& name, uint32_t* version) {
  std::vector<std::string> lines;
  std::ifstream in(gOptions.folder + "/" + name);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (version != nullptr && line.compare(0, 8, "version ") == 0) {
      *version = static_cast<uint32_t>(strtoul(line.c_str() + 8, nullptr, 10));
      continue;
    }
    lines.push_back(line);
  }
  return lines;
}

AddressList ReadAddressList(const std::string& name) {
  AddressList list;
  for (const std::string& line : DataLines(name, &list.version)) {
    std::istringstream fields(line);
    AddressList::Sub sub;
    fields >> sub.name >> sub.highPriority;
    std::string address;
    while (fields >> address) sub.addresses.push_back(inet_addr(address.c_str()));
    list.subs.push_back(sub);
  }
  return list;
}

void ReadData() {
  gKoraip = ReadAddressList("koraip.txt");
  gWhiteip = ReadAddressList("whiteip.txt");
  for (const std::string& line : DataLines("clsid.txt", &gClsid.version)) {
    std::istringstream fields(line);
    std::string id;
    uint32_t version = 0;
    fields >> id >> version;
    gClsid.ids.emplace_back(id, version);
  }
  for (const std::string& line : DataLines("hashes.txt", nullptr)) {
    std::istringstream fields(line);
    std::string file, digest;
    fields >> file >> digest;
    gDigests[Upper(file)] = Upper(digest);
  }
}

bool LoadLibrary() {
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return false;
  std::string base = folder;
  LoadLibraryA((base + "/GavFact.dll").c_str());
  void* module = LoadLibraryA((base + "/libgavio.so").c_str());
  if (module == nullptr) return false;
  gLibrary.initPrototol =
      reinterpret_cast<GavioInitPrototolFn>(GetProcAddress(module, "initPrototol"));
  gLibrary.pack = reinterpret_cast<GavioPackFn>(GetProcAddress(module, "pack"));
  gLibrary.unpack = reinterpret_cast<GavioUnpackFn>(GetProcAddress(module, "unpack"));
  return gLibrary.initPrototol != nullptr && gLibrary.pack != nullptr &&
         gLibrary.unpack != nullptr && gLibrary.initPrototol(&gLibrary.meta) == 0;
}

void FillError(uint16_t result, RespErr* error) {
  snprintf(error->Msg, sizeof error->Msg, "verify_peer: result %u", result);
  error->MsgLen = static_cast<uint16_t>(strlen(error->Msg));
}

void FillAddresses(const AddressList& list, uint32_t heldVersion, GetipResp* out) {
  GetipOK& ok = out->List.GetipOk;
  ok.Version = list.version;
  if (heldVersion == list.version) return;
  for (const AddressList::Sub& sub : list.subs) {
    if (ok.ResCnts >= kMaxSubSvcId) break;
    IPInfo& info = ok.IPSet[ok.ResCnts++];
    snprintf(info.SubSvcID, sizeof info.SubSvcID, "%s", sub.name.c_str());
    info.HpCnt = sub.highPriority;
    for (uint32_t a : sub.addresses) {
      if (info.TotalCnt < kMaxIpRecord) info.Addr[info.TotalCnt++] = a;
    }
  }
}

void FillClassIds(uint32_t heldVersion, GetClsidOK* ok) {
  ok->Version = gClsid.version;
  if (heldVersion == gClsid.version) return;
  for (const auto& [id, version] : gClsid.ids) {
    if (ok->ResCnts >= kMaxClsid) break;
    ClsidInfo& info = ok->ClsidSet[ok->ResCnts++];
    snprintf(reinterpret_cast<char*>(info.Tclsid), sizeof info.Tclsid, "%s", id.c_str());
    info.IdVer = version;
  }
}

uint16_t Verdict(const HashInfo& file) {
  auto found = gDigests.find(Upper(std::string(file.FileName, strnlen(file.FileName, 512))));
  if (found == gDigests.end()) return 0;
  std::string digest(file.Hash, std::min<size_t>(file.HashLen, sizeof file.Hash));
  return Upper(digest) == found->second ? 1 : 2;
}

void FillVerdicts(const VerifyHashReq& request, VerifyHashOK* ok) {
  const uint32_t count = request.HashCnt;  // a packed field: copied, not referenced
  ok->HashCnt = static_cast<uint16_t>(count < kMaxFileHash ? count : kMaxFileHash);
  for (uint16_t i = 0; i < ok->HashCnt; ++i) ok->CheckRes[i].Verified = Verdict(request.HashSet[i]);
}

// The answer to one request package (already decoded into request).
std::string Answer(const KoraPkg& request) {
  auto answer = std::make_unique<KoraPkg>();
  memset(answer.get(), 0, sizeof(KoraPkg));
  PkgHead& head = answer->Head;
  head.Magic = kMagic;
  head.Version = kVersion;
  head.HeadLen = kHeadLen;
  head.CmdID = static_cast<uint16_t>(request.Head.CmdID | 0x8000);
  head.Sequence = request.Head.Sequence;
  const PkgBody& in = request.Body;
  PkgBody& out = answer->Body;
  // Every response starts with Result and its error member at the same place.
  uint16_t result = gOptions.error;
  switch (request.Head.CmdID) {
    case kCsGetKoraip:
      if (result == 0) FillAddresses(gKoraip, in.GetKoraipReq_.IpDataVer, &out.GetKoraipResp_);
      break;
    case kCsGetWhiteip:
      if (result == 0) FillAddresses(gWhiteip, in.GetWhiteipReq_.IpDataVer, &out.GetWhiteipResp_);
      break;
    case kCsGetClsid:
      if (result == 0) FillClassIds(in.GetClsidReq_.DataVer, &out.GetClsidResp_.List.GetClsidOk);
      break;
    case kCsVerifyHash:
      if (result == 0) FillVerdicts(in.VerifyHashReq_, &out.VerifyHashResp_.List.VerifyHashOk);
      break;
    default:
      break;  // no response member: the answer has an empty body
  }
  out.VerifyHashResp_.Result = result;
  if (result != 0) FillError(result, &out.VerifyHashResp_.List.VerifyHashErr);
  std::string bytes(kMaxPackage, '\0');
  uint32_t length = kMaxPkgLen;
  if (gLibrary.pack(gLibrary.meta, answer.get(), bytes.data(), &length, kVersion3) <= 0) {
    // Too much data for one package: the service reports a system error.
    memset(&out, 0, sizeof out);
    out.VerifyHashResp_.Result = 1;
    FillError(1, &out.VerifyHashResp_.List.VerifyHashErr);
    length = kMaxPkgLen;
    if (gLibrary.pack(gLibrary.meta, answer.get(), bytes.data(), &length, kVersion3) <= 0) {
      return std::string();
    }
  }
  bytes.resize(length);
  return bytes;
}

bool SendAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool SendAnswer(int fd, const std::string& answer) {
  if (gOptions.split == 0) return SendAll(fd, answer.data(), answer.size());
  for (size_t at = 0; at < answer.size(); at += gOptions.split) {
    if (at > 0) usleep(kPieceGapMicros);
    if (!SendAll(fd, answer.data() + at, std::min(gOptions.split, answer.size() - at)))
      return false;
  }
  return true;
}

void Say(const char* format, unsigned value) {
  printf(format, value);
  fflush(stdout);
}

// Takes every complete package off the front of pending; false when the
// bytes cannot be a request (the connection is then dropped).
bool TakeRequests(std::string* pending, std::vector<std::string>* answers) {
  auto request = std::make_unique<KoraPkg>();
  while (pending->size() >= sizeof(PkgHead)) {
    // The head's own length byte, then the body length (network order).
    const auto* head = reinterpret_cast<const uint8_t*>(pending->data());
    size_t length = head[3] + (static_cast<size_t>(head[4]) << 8 | head[5]);
    if (length < sizeof(PkgHead)) return false;  // not even a head
    if (pending->size() < length) break;
    memset(request.get(), 0, sizeof(KoraPkg));
    if (gLibrary.unpack(gLibrary.meta, pending->data(), static_cast<uint32_t>(length),
                        request.get()) < 0) {
      return false;
    }
    pending->erase(0, length);
    Say("request 0x%04x\n", request->Head.CmdID);
    if (gOptions.drop) continue;
    answers->push_back(Answer(*request));
    if (gOptions.twice) answers->push_back(answers->back());
  }
  return true;
}

// Reads what fd has within kReadLimit: -1 once the client stayed silent
// that long (or on an error), 0 at its end.
ssize_t ReadBounded(int fd, char* buffer, size_t size) {
  using std::chrono::steady_clock;
  const steady_clock::time_point deadline = steady_clock::now() + kReadLimit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return -1;
    pollfd wait{fd, POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    return recv(fd, buffer, size, 0);
  }
}

void Serve(int fd) {
  std::string pending;
  bool stalled = false;
  char chunk[65536];
  for (;;) {
    ssize_t n = ReadBounded(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    pending.append(chunk, static_cast<size_t>(n));
    std::vector<std::string> answers;
    if (!TakeRequests(&pending, &answers) || pending.size() > kMaxPackage) break;
    if (answers.empty() || stalled) continue;
    if (gOptions.delayMs > 0) usleep(static_cast<useconds_t>(gOptions.delayMs) * 1000);
    if (gOptions.stallAfter >= 0) {
      const std::string& first = answers.front();
      SendAll(fd, first.data(), std::min(first.size(), static_cast<size_t>(gOptions.stallAfter)));
      Say("stalled\n", 0);
      stalled = true;
      continue;
    }
    if (gOptions.together) {
      std::string all;
      for (const std::string& a : answers) all += a;
      answers.assign(1, all);
    }
    bool sent = true;
    for (const std::string& a : answers) sent = sent && SendAnswer(fd, a);
    if (!sent) break;
  }
  close(fd);
}

bool ParseOptions(int argc, char** argv) {
  if (argc < 2) return false;
  gOptions.folder = argv[1];
  for (int i = 2; i < argc; ++i) {
    const char* a = argv[i];
    if (strncmp(a, "--delay=", 8) == 0) {
      gOptions.delayMs = atoi(a + 8);
    } else if (strcmp(a, "--drop") == 0) {
      gOptions.drop = true;
    } else if (strncmp(a, "--split=", 8) == 0) {
      gOptions.split = static_cast<size_t>(atol(a + 8));
    } else if (strcmp(a, "--together") == 0) {
      gOptions.together = true;
    } else if (strncmp(a, "--error=", 8) == 0) {
      gOptions.error = static_cast<uint16_t>(atoi(a + 8));
    } else if (strncmp(a, "--stall-after=", 14) == 0) {
      gOptions.stallAfter = atol(a + 14);
    } else if (strcmp(a, "--twice") == 0) {
      gOptions.twice = true;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) {
    fprintf(stderr,
            "usage: verify_peer DATA_FOLDER [--delay=MS] [--drop] [--split=BYTES] "
            "[--together] [--error=RESULT] [--stall-after=BYTES] [--twice]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  if (!LoadLibrary()) {
    fprintf(stderr, "verify_peer: cannot load the protocol functions of libgavio.so\n");
    return 1;
  }
  ReadData();
  uint16_t port = 0;
  const int listener = peer::ListenOnLoopback("verify_peer", 64, &port);
  Say("%u\n", port);
  time_t end = time(nullptr) + peer::kLifetimeSeconds;
  while (time(nullptr) < end) {
    pollfd waits[2] = {{listener, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(waits, 2, 1000) <= 0) continue;
    if (waits[1].revents != 0 && peer::StandardInputEnded()) break;
    if ((waits[0].revents & POLLIN) != 0) {
      int client = peer::AcceptClient(listener, SOCK_CLOEXEC);
      if (client >= 0) std::thread(Serve, client).detach();
    }
  }
  fflush(stdout);
  _exit(0);  // connection threads may still be blocked in recv
}
