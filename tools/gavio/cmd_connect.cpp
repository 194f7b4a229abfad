// gavio connect SERVERLIST.xml LISTNAME: a connection through the
// connector manager (1131), as a client makes one. The manager reads the
// list, optionally ranks it by UDP probe, and walks it server by server and
// port by port; the command shows each attempt and how it ended, then sends
// standard input line by line as framed packets and prints what comes back.
//
//   echo hello | gavio connect servers.xml game
//
// The manager reports only the outcome of a whole walk to its listeners;
// the attempts are in its log lines. So the command points the library at
// an INI of its own that turns on the manager's log, sends the debugger
// output to a private file, and reads the new lines after each round of
// messages (every line is written on this thread, inside the manager's
// operations and events).
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "input_lines.h"
#include "gavio/connect.h"
#include "gavio/gavio.h"
#include "gavio/ids.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/modules.h"

namespace gavio_tool {
namespace {

// The manager gives up after 30 s; this only guards against a silent one.
constexpr uint32_t kWalkLimitMs = 60000;

const char kUsage[] =
    "usage: gavio connect [OPTIONS] SERVERLIST.xml LISTNAME\n"
    "Connects to a server of the list LISTNAME of a server-list file through the\n"
    "connector manager, trying server after server and port after port, then sends\n"
    "standard input line by line as packets and prints the packets that come back.\n"
    "The server and port that worked are written back into the file.\n"
    "  --speed-test          rank the servers by UDP probe first (the list's DetectPort)\n"
    "  --catalog N           use the servers of catalog N (default 0)\n"
    "  --priority ID,...     try these server ids first, in this order\n"
    "  --exclude ID,...      never try these server ids\n"
    "  --shuffle             shuffle the list (the server that worked last stays first)\n"
    "  --width 2|4           length-field width of the packets (default 2)\n"
    "  --offset N            length-field offset in each packet (default 0)\n"
    "  --max N               largest packet accepted, in bytes (default 65535)\n"
    "  --raw                 no packets: send lines as they are and print bytes as they come\n"
    "  --wait MS             after the end of input, wait this long for quiet (1000)\n"
    "  -q, --quiet           no progress lines on standard error\n"
    "  -v, --verbose         also show every log line of the library\n"
    "  -h, --help            this text\n";

enum OptionId { kSpeedTest = 300, kCatalog, kPriority, kExclude, kShuffle, kWidth, kOffset, kMax, kRaw, kWait };

struct Options {
  std::string path;
  std::string list;
  bool speedTest = false;
  bool shuffle = false;
  bool raw = false;
  int32_t catalog = 0;
  std::vector<int32_t> priority;
  std::vector<int32_t> excluded;
  int16_t width = 2;
  int32_t offset = 0;
  int32_t maximum = 65535;
  uint32_t waitMs = 1000;
};

bool ParseIds(const std::string& text, std::vector<int32_t>* ids) {
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    std::string part = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    uint64_t id = 0;
    if (!ParseNumber("connect", "server id", part, 1, 0x7FFFFFFF, &id)) return false;
    ids->push_back(static_cast<int32_t>(id));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (ids->size() <= 32) return true;
  UsageError("connect", "at most 32 server ids");
  return false;
}

// -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  Arguments args;
  int status = ParseArguments(argc, argv, "connect", kUsage,
                              {{"speed-test", kSpeedTest, false},
                               {"catalog", kCatalog, true},
                               {"priority", kPriority, true},
                               {"exclude", kExclude, true},
                               {"shuffle", kShuffle, false},
                               {"width", kWidth, true},
                               {"offset", kOffset, true},
                               {"max", kMax, true},
                               {"raw", kRaw, false},
                               {"wait", kWait, true}},
                              &args);
  if (status != -1) return status;
  if (args.operands.size() != 2) return UsageError("connect", "SERVERLIST.xml and LISTNAME expected");
  options->path = args.operands[0];
  options->list = args.operands[1];
  options->speedTest = args.Has(kSpeedTest);
  options->shuffle = args.Has(kShuffle);
  options->raw = args.Has(kRaw);
  uint64_t value = 0;
  if (args.Has(kCatalog)) {
    if (!ParseNumber("connect", "catalog", args.Value(kCatalog), 0, 0x7FFFFFFF, &value)) return 2;
    options->catalog = static_cast<int32_t>(value);
  }
  if (args.Has(kWidth)) {
    if (!ParseNumber("connect", "width", args.Value(kWidth), 2, 4, &value)) return 2;
    if (value == 3) return UsageError("connect", "the width is 2 or 4");
    options->width = static_cast<int16_t>(value);
  }
  if (args.Has(kOffset)) {
    if (!ParseNumber("connect", "offset", args.Value(kOffset), 0, 1024, &value)) return 2;
    options->offset = static_cast<int32_t>(value);
  }
  if (args.Has(kMax)) {
    if (!ParseNumber("connect", "maximum", args.Value(kMax), 16, 16u << 20, &value)) return 2;
    options->maximum = static_cast<int32_t>(value);
  }
  if (args.Has(kWait)) {
    if (!ParseNumber("connect", "wait", args.Value(kWait), 0, 600000, &value)) return 2;
    options->waitMs = static_cast<uint32_t>(value);
  }
  if (args.Has(kPriority) && !ParseIds(args.Value(kPriority), &options->priority)) return 2;
  if (args.Has(kExclude) && !ParseIds(args.Value(kExclude), &options->excluded)) return 2;
  return -1;
}

// The manager's log, read back as progress lines.
class ManagerLog {
 public:
  ManagerLog() {
    char folder[] = "/tmp/gavio-connect-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    folder_ = folder;
    output_ = folder_ + "/debug.txt";
    ini_ = folder_ + "/gavio.ini";
  }
  ~ManagerLog() {
    if (folder_.empty()) return;
    unlink(output_.c_str());
    unlink(ini_.c_str());
    rmdir(folder_.c_str());
  }
  ManagerLog(const ManagerLog&) = delete;
  ManagerLog& operator=(const ManagerLog&) = delete;

  // Before the manager is created: its log on, into the private file.
  bool Start() {
    if (folder_.empty()) return false;
    echo_ = g_verbose;
    std::string text = "[361]\nDLL=" + library().factoryPath + "\n[Log." +
                       std::to_string(gavio::kConnectorManagerId) + "]\nDebugMask=0x3\n";
    int fd = open(ini_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!ok) return false;
    auto setRegistry = reinterpret_cast<int32_t (*)(const char*)>(
        GetProcAddress(library().module, "SetDLLRegistry"));
    if (setRegistry == nullptr) return false;
    setRegistry(ini_.c_str());
    setenv("GAVIO_DEBUG_OUTPUT", output_.c_str(), 1);
    return true;
  }

  // The lines written since the last call.
  std::vector<std::string> NewLines() {
    std::vector<std::string> lines;
    int fd = open(output_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return lines;
    char chunk[4096];
    ssize_t got;
    while ((got = pread(fd, chunk, sizeof chunk, static_cast<off_t>(offset_))) > 0) {
      pending_.append(chunk, static_cast<size_t>(got));
      offset_ += static_cast<uint64_t>(got);
    }
    close(fd);
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      lines.push_back(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
    if (echo_) {
      for (const std::string& line : lines) fprintf(stderr, "%s\n", line.c_str());
    }
    return lines;
  }

 private:
  std::string folder_;
  std::string output_;
  std::string ini_;
  std::string pending_;
  uint64_t offset_ = 0;
  bool echo_ = false;
};

const char* ConnectErrorText(uint32_t error) {
  switch (error) {
    case gavio::kConnectErrorFailed: return "the connect failed or timed out";
    case gavio::kConnectErrorSameAddress: return "refused, and the host lookup gave nothing new";
    case gavio::kConnectErrorNoServerLeft: return "no usable server or port remains";
    case ERROR_INVALID_PARAMETER: return "no address and no host name";
    default: return "the connect failed";
  }
}

// Turns the manager's log lines into progress lines; remembers the server
// being tried.
class Progressor {
 public:
  explicit Progressor(bool quiet) : quiet_(quiet) {}
  void Take(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) Take(line);
  }
  const std::string& current() const { return current_; }
  // After the connection stands, a late speed-test answer or time-out
  // changes nothing and is not shown.
  void Connected() { connected_ = true; }

 private:
  void Take(const std::string& line) {
    if (connected_) return;
    size_t at;
    if ((at = line.find("Connect Server -> ")) != std::string::npos) {
      std::string target = line.substr(at + 18);
      size_t separator = target.find(" : ");
      size_t end = target.find(',');
      if (separator == std::string::npos || end == std::string::npos) return;
      current_ = target.substr(0, separator) + " port " + target.substr(separator + 3, end - separator - 3);
      Say("trying " + current_);
    } else if (line.find("单次连接尝试超时") != std::string::npos) {
      Say(current_ + ": no answer within 2.9 s, moving on");
    } else if ((at = line.find("OnConnectFailed(), error : 【 ")) != std::string::npos) {
      uint32_t error = static_cast<uint32_t>(strtoul(line.c_str() + at + 30, nullptr, 16));
      char code[16];
      snprintf(code, sizeof code, "0x%X", error);
      Say(current_ + ": " + ConnectErrorText(error) + " (" + code + ")");
    } else if ((at = line.find("OnDetectReply( ")) != std::string::npos) {
      size_t end = line.find(' ', at + 15);
      Say("speed test: " + line.substr(at + 15, end - at - 15) + " answered first");
    } else if (line.find("Detect timeout!") != std::string::npos) {
      Say("speed test: no answer in time, walking the list in its order");
    } else if (line.find("连接总体超时") != std::string::npos) {
      Say("no connection within 30 s");
    }
  }
  void Say(const std::string& text) {
    if (!quiet_) fprintf(stderr, "gavio connect: %s\n", PrintableName(text).c_str());
  }

  bool quiet_;
  bool connected_ = false;
  std::string current_;
};

class Session : public gavio::IConnectorSink {
 public:
  explicit Session(bool raw) : raw_(raw) {}
  void OnConnected() override { connected = true; }
  void OnConnectFailed(uint32_t error) override {
    failed = true;
    this->error = error;
  }
  void OnClose(int32_t reason) override { closed = true; }
  void OnPacket(const char* bytes, int32_t length) override {
    lastReceived = GetTickCount();
    // A packet may claim a length shorter than its own header.
    int32_t skip = raw_ ? 0 : (headerSize < length ? headerSize : length);
    std::string out(bytes + skip, bytes + length);
    if (!raw_) out += '\n';
    if (!WriteOut(out)) outputFailed = true;
  }

  bool connected = false;
  bool failed = false;
  bool closed = false;
  bool outputFailed = false;
  uint32_t error = 0;
  DWORD lastReceived = 0;
  int32_t headerSize = 2;

 private:
  bool raw_;
};

// A line as one packet: the length field (big-endian, the whole packet's
// length) at its offset, the line without its line end after the header.
bool BuildPacket(const Options& options, std::string line, std::string* packet) {
  if (options.raw) {
    *packet = line;
    return true;
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  size_t header = static_cast<size_t>(options.offset) + static_cast<size_t>(options.width);
  uint64_t size = header + line.size();
  if (size > static_cast<uint64_t>(options.maximum)) return false;
  packet->assign(header, '\0');
  for (int i = 0; i < options.width; ++i) {
    (*packet)[options.offset + i] = static_cast<char>(size >> (8 * (options.width - 1 - i)));
  }
  *packet += line;
  return true;
}

struct Pump {
  gavio::IConnectorManager* manager;
  const Options* options;
  ManagerLog* log;
  Progressor* progress;
  bool endOfInput = false;
  bool tooLong = false;

  void Once() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.hwnd == nullptr && msg.message == kInputLineMessage) {
        auto* text = reinterpret_cast<std::string*>(msg.lParam);
        std::string packet;
        if (BuildPacket(*options, *text, &packet)) {
          manager->Send(packet.data(), static_cast<int32_t>(packet.size()));
        } else {
          tooLong = true;
        }
        delete text;
      } else if (msg.hwnd == nullptr && msg.message == kEndOfInputMessage) {
        endOfInput = true;
      } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
    progress->Take(log->NewLines());
  }
};

void Configure(const Options& options, gavio::IConnectorManager* manager) {
  manager->SetCatalogID(options.catalog);
  if (!options.priority.empty()) {
    manager->SetPriorityList(static_cast<int32_t>(options.priority.size()), options.priority.data());
  }
  if (!options.excluded.empty()) {
    manager->SetExcludeList(static_cast<int32_t>(options.excluded.size()), options.excluded.data());
  }
  if (options.shuffle) manager->Shuffle();
  manager->SetSpeedTest(options.speedTest ? 1 : 0);
  manager->SetFraming(options.raw ? 0 : 1);
  if (!options.raw) manager->SetPacketParam(options.maximum, options.width, options.offset);
}

int RunSession(const Options& options, gavio::IConnectorManager* manager, ManagerLog* log) {
  Progressor progress(g_quiet);
  Session session(options.raw);
  session.headerSize = options.offset + options.width;
  gavio::EventSourceOf(manager)->AddListener(static_cast<gavio::IConnectorSink*>(&session), 0);
  if (manager->LoadServers(options.path.c_str(), options.list.c_str()) != 1) {
    log->NewLines();
    return FileProblem(options.path, "no server list named '" + options.list +
                                         "' could be read (missing, malformed, or no servers)");
  }
  Configure(options, manager);
  Pump pump{manager, &options, log, &progress};
  manager->StartConnect();
  DWORD start = GetTickCount();
  while (!session.connected && !session.failed && GetTickCount() - start < kWalkLimitMs) {
    pump.Once();
    if (session.connected || session.failed) break;
    WaitMessageTimeout(50);
  }
  pump.Once();
  progress.Connected();
  if (!session.connected) {
    fprintf(stderr, "gavio connect: no connection: %s\n",
            session.failed ? ConnectErrorText(session.error) : "the manager did not answer");
    return 1;
  }
  if (!g_quiet) fprintf(stderr, "gavio connect: connected to %s\n", PrintableName(progress.current()).c_str());

  std::thread reader(ReadInputLines, GetCurrentThreadId());
  reader.detach();  // it may stay blocked on a terminal after the peer closed
  DWORD endTime = 0;
  while (!session.closed && !session.outputFailed && !pump.tooLong) {
    pump.Once();
    if (pump.endOfInput) {
      if (endTime == 0) endTime = GetTickCount();
      DWORD quietSince = session.lastReceived > endTime ? session.lastReceived : endTime;
      if (GetTickCount() - quietSince >= options.waitMs) break;
    }
    WaitMessageTimeout(20);
  }
  if (pump.tooLong) {
    fprintf(stderr, "gavio connect: a line does not fit in a packet of %d bytes\n", options.maximum);
    return 1;
  }
  if (session.outputFailed) return 1;
  if (!g_quiet) {
    fprintf(stderr, "gavio connect: %s\n", session.closed ? "the server closed the connection" : "done");
  }
  manager->Stop();
  return 0;
}

}  // namespace

int RunConnect(int argc, char** argv) {
  Options options;
  int status = ParseOptions(argc, argv, &options);
  if (status != -1) return status;
  ManagerLog log;
  if (!log.Start()) {
    fprintf(stderr, "gavio connect: cannot set up the progress log\n");
    return 1;
  }
  auto* manager = CreateAs<gavio::IConnectorManager>(gavio::kConnectorManagerId);
  if (manager == nullptr) return 1;
  status = RunSession(options, manager, &log);
  manager->Destroy(0);
  return status;
}

}  // namespace gavio_tool
