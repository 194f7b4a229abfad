// Windows across processes: publication, discovery and synchronous
// WM_COPYDATA over Unix-domain sockets (contract in platform/ipc.h).
//
// Map of this file:
//   1. The folder: one per user, mode 0700 and owned by the user, checked
//      before each use. A published window is two entries there:
//      "<pid>-<serial>.sock", its listening socket, and "<pid>-<serial>.win",
//      its title. The title is written after the socket listens and removed
//      before it closes, so a title found is normally a socket that answers.
//   2. Discovery: the windows of other processes in (pid, serial) order;
//      entries left by dead processes are swept on the way. Remote handles
//      are interned records that are never freed, so a stale handle is still
//      a remote handle and simply fails to send.
//   3. The wire: a fixed request header and the payload; a fixed reply. Both
//      ends check the peer's credentials (SO_PEERCRED) for the same user.
//      A connection carries one request after another, each answered
//      before the next is sent.
//   4. Receiving: the listener and its connections are watched on the
//      window's owner thread (WatchFd), so a complete request is delivered
//      with SendMessageA on that thread, inside its message loop. A title set
//      from another thread gets a small helper thread instead, which serves
//      the same connections from its own poll and hands each request to the
//      owner with a cross-thread SendMessageA. Peers are not trusted to be
//      quick or sane: a window holds at most kMaxConnections (the one idle
//      longest gives way to a newcomer), a request that stops arriving or a
//      connection that never speaks is dropped after kStalledRequestMs, an
//      idle one after kIdleConnectionMs (a timerfd wakes the owner thread
//      for these), and request buffers grow only with the bytes received.
//   5. Sending: the connection kept from the last send to that window (or a
//      new one), one write of header and payload, then a wait for the reply
//      with a time limit while serving this thread's own watches, so two
//      processes sending to each other at once both get answered. A kept
//      connection the receiver let go is noticed before any reply byte, and
//      the request goes once more on a fresh connection.
#include "platform/ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/messages.h"
#include "platform/wait_seam.h"

namespace gavio::platform {
namespace {

constexpr size_t kMaxTitle = 4095;
constexpr int kListenBacklog = 64;
constexpr size_t kMaxConnections = 64;         // per published window
constexpr size_t kMaxKeptConnections = 64;     // kept open by senders, for the whole process
constexpr uint64_t kStalledRequestMs = 5000;   // a request must keep arriving
constexpr uint64_t kIdleConnectionMs = 30000;  // a kept connection with nothing to say
constexpr int kPollSliceMs = 100;
constexpr uint32_t kRequestMagic = 0x50495647u;  // "GVIP"
constexpr uint32_t kReplyMagic = 0x52495647u;    // "GVIR"
constexpr uint32_t kWireVersion = 1;
constexpr uint32_t kReplyDelivered = 0;
constexpr uint32_t kReplyNoWindow = 1;

DWORD InitialSendTimeout() {
  const char* text = getenv("GAVIO_REMOTE_SEND_TIMEOUT_MS");
  char* end = nullptr;
  unsigned long value = text != nullptr ? strtoul(text, &end, 10) : 0;
  if (text == nullptr || end == text || *end != '\0' || value == 0 || value > 0xFFFFFFFEul) {
    return GAVIO_DEFAULT_REMOTE_SEND_TIMEOUT;
  }
  return static_cast<DWORD>(value);
}

std::atomic<DWORD> g_send_timeout{InitialSendTimeout()};

// ---- 1. The folder ------------------------------------------------------------

bool FolderIsSafe(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
    return false;
  }
  if ((info.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) return false;
  return true;
}

// The folder's path, chosen once: it must leave room for socket names in
// sockaddr_un.
// Never destroyed: the exit sweep still needs it.
const std::string& FolderPath() {
  static const std::string* path = [] {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && strlen(runtime) < 60) {
      return new std::string(std::string(runtime) + "/gavio");
    }
    return new std::string("/tmp/gavio-" + std::to_string(getuid()));
  }();
  return *path;
}

// The folder, made when missing; empty when it is not safe to use.
std::string Folder() {
  const std::string& path = FolderPath();
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
  return FolderIsSafe(path) ? path : std::string();
}

std::string EntryPath(const std::string& folder, const std::string& name, const char* suffix) {
  return folder + "/" + name + suffix;
}

bool ProcessAlive(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

void SweepEntry(const std::string& folder, const std::string& name) {
  unlink(EntryPath(folder, name, ".win").c_str());
  unlink(EntryPath(folder, name, ".sock").c_str());
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool SameUserPeer(int fd, pid_t* peerPid) {
  ucred credentials;
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  if (peerPid != nullptr) *peerPid = credentials.pid;
  return credentials.uid == getuid();
}

// ---- 2. Discovery -----------------------------------------------------------------

struct RemoteWindow {
  std::string name;
  pid_t pid;
  uint64_t serial;
  int keptFd = -1;  // guarded by state().mutex: the last send's connection
  pid_t keptPeer = 0;
};

struct WindowKey {
  pid_t pid;
  uint64_t serial;
  std::string name;
  bool operator<(const WindowKey& other) const {
    return pid != other.pid ? pid < other.pid : serial < other.serial;
  }
};

// Published windows of this process, by handle (see section 4).
struct Published;

struct State {
  std::mutex mutex;
  std::map<std::string, RemoteWindow*> remote_by_name;
  std::set<HWND> remote_handles;
  std::map<HWND, Published*> published;
  uint64_t next_serial = 1;
  size_t kept_count = 0;
};

State& state() {
  static State* s = new State;  // never destroyed: other threads may outlive statics
  return *s;
}

bool ParseEntryName(const char* file, WindowKey* key) {
  unsigned long long pid = 0, serial = 0;
  int consumed = 0;
  if (sscanf(file, "%llu-%llu.win%n", &pid, &serial, &consumed) != 2) return false;
  if (file[consumed] != '\0' || pid == 0 || pid > 0x7FFFFFFF) return false;
  key->pid = static_cast<pid_t>(pid);
  key->serial = serial;
  key->name = std::string(file, strchr(file, '.') - file);
  return true;
}

std::vector<WindowKey> OtherProcessesWindows(const std::string& folder) {
  std::vector<WindowKey> keys;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return keys;
  const pid_t self = getpid();
  while (dirent* entry = readdir(dir)) {
    WindowKey key;
    if (ParseEntryName(entry->d_name, &key) && key.pid != self) keys.push_back(key);
  }
  closedir(dir);
  std::sort(keys.begin(), keys.end());
  return keys;
}

bool ReadTitle(const std::string& path, std::string* title) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char buffer[kMaxTitle + 1];
  size_t have = 0;
  for (;;) {
    ssize_t got = read(fd, buffer + have, sizeof buffer - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
    if (have == sizeof buffer) break;
  }
  close(fd);
  if (have > kMaxTitle) return false;
  title->assign(buffer, have);
  return true;
}

HWND Intern(const WindowKey& key) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  RemoteWindow*& window = s.remote_by_name[key.name];
  if (window == nullptr) {
    window = new RemoteWindow{key.name, key.pid, key.serial, -1, 0};
    s.remote_handles.insert(reinterpret_cast<HWND>(window));
  }
  return reinterpret_cast<HWND>(window);
}

RemoteWindow* LookUpRemote(HWND hwnd) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.remote_handles.count(hwnd) == 0) return nullptr;
  return reinterpret_cast<RemoteWindow*>(hwnd);
}

HWND FindNext(HWND after, const char* title) {
  std::string folder = Folder();
  if (folder.empty()) return nullptr;
  WindowKey start{0, 0, std::string()};
  if (after != nullptr) {
    const RemoteWindow* previous = LookUpRemote(after);
    if (previous == nullptr) return nullptr;
    start = WindowKey{previous->pid, previous->serial, previous->name};
  }
  for (const WindowKey& key : OtherProcessesWindows(folder)) {
    if (after != nullptr && !(start < key)) continue;
    if (!ProcessAlive(key.pid)) {
      SweepEntry(folder, key.name);
      continue;
    }
    std::string found;
    if (!ReadTitle(EntryPath(folder, key.name, ".win"), &found)) continue;
    if (title == nullptr || found == title) return Intern(key);
  }
  return nullptr;
}

bool IsRemote(HWND hwnd) { return LookUpRemote(hwnd) != nullptr; }

// ---- 3. The wire ------------------------------------------------------------------

struct RequestHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t message;
  uint32_t cbData;
  uint64_t wParam;
  uint64_t dwData;
};
static_assert(sizeof(RequestHeader) == 32);

struct Reply {
  uint32_t magic;
  uint32_t status;
  int64_t result;
};
static_assert(sizeof(Reply) == 16);

constexpr size_t kMinRead = 4096;
constexpr size_t kMaxRead = 1u << 20;
constexpr size_t kKeptBuffer = 64u * 1024u;

// Requests read from a non-blocking socket as their bytes arrive. The
// buffer grows with the bytes received, never with the size a header
// announces, so a peer that declares a large payload and then stalls costs
// next to nothing. Bytes past the end of one request stay for the next.
class FrameReader {
 public:
  enum Progress { kMore, kFrame, kClosed, kFailed };

  // Reads what fd has: kFrame once a whole request is buffered, kClosed at
  // a clean end between requests, kFailed on a bad header or a cut request.
  Progress Read(int fd) {
    for (;;) {
      Progress parsed = Parse();
      if (parsed != kMore) return parsed;
      // Room for the rest of the request, but never more than has arrived
      // so far: the buffer at most doubles per read.
      size_t end = have_ < sizeof(RequestHeader) ? sizeof(RequestHeader) : FrameSize();
      size_t room =
          std::min({std::max(end - have_, kMinRead), std::max(have_, kMinRead), kMaxRead});
      if (buffer_.size() < have_ + room) buffer_.resize(have_ + room);
      ssize_t n = recv(fd, buffer_.data() + have_, room, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kMore;
      if (n == 0) return have_ == 0 ? kClosed : kFailed;
      if (n < 0) return kFailed;
      have_ += static_cast<size_t>(n);
      // A short read drained the socket: another recv would only say so.
      if (static_cast<size_t>(n) < room) return Parse();
    }
  }

  // What is buffered: kFrame when a whole request is.
  Progress Parse() {
    if (have_ < sizeof header_) return kMore;
    memcpy(&header_, buffer_.data(), sizeof header_);
    if (header_.magic != kRequestMagic || header_.version != kWireVersion ||
        header_.message != WM_COPYDATA || header_.cbData > GAVIO_MAX_REMOTE_COPYDATA) {
      return kFailed;
    }
    return have_ >= FrameSize() ? kFrame : kMore;
  }

  // Drops the request just delivered; what followed it stays.
  void Consume() {
    size_t used = FrameSize();
    memmove(buffer_.data(), buffer_.data() + used, have_ - used);
    have_ -= used;
    if (buffer_.size() > kKeptBuffer && have_ <= kKeptBuffer) {
      buffer_.resize(kKeptBuffer);
      buffer_.shrink_to_fit();
    }
  }

  bool Partial() const { return have_ > 0; }
  const RequestHeader& header() const { return header_; }
  uint8_t* payload() { return buffer_.data() + sizeof header_; }

 private:
  size_t FrameSize() const { return sizeof header_ + header_.cbData; }

  RequestHeader header_{};
  std::vector<uint8_t> buffer_;
  size_t have_ = 0;
};

// Hands a whole request to the window and returns the reply record.
Reply Deliver(HWND hwnd, FrameReader& reader) {
  Reply reply{kReplyMagic, kReplyNoWindow, 0};
  if (!IsWindow(hwnd)) return reply;
  const RequestHeader& header = reader.header();
  COPYDATASTRUCT record{static_cast<uintptr_t>(header.dwData), header.cbData,
                        header.cbData == 0 ? nullptr : reader.payload()};
  reply.result = SendMessageA(hwnd, WM_COPYDATA, static_cast<WPARAM>(header.wParam),
                              reinterpret_cast<LPARAM>(&record));
  reply.status = kReplyDelivered;
  return reply;
}

// A sender reads each reply before its next request, so sixteen bytes
// always fit; one that does not read them is dropped.
bool SendReply(int fd, const Reply& reply) {
  for (;;) {
    ssize_t put = send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && errno == EINTR) continue;
    return put == static_cast<ssize_t>(sizeof reply);
  }
}

// ---- 4. Receiving -----------------------------------------------------------------

// The watches this file placed, per thread, so a sender waiting for its
// reply can serve its own thread's windows meanwhile. A process-wide map
// rather than a thread_local: a thread's queue, ending after its
// thread_locals, still unwatches here.
struct OwnWatch {
  int fd;
  FdCallback callback;
  void* context;
};

std::mutex& WatchMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::map<DWORD, std::vector<OwnWatch>>& OwnWatches() {
  static auto* watches = new std::map<DWORD, std::vector<OwnWatch>>;
  return *watches;
}

void Watch(int fd, FdCallback callback, void* context) {
  WatchFd(fd, POLLIN, callback, context);
  std::lock_guard<std::mutex> lock(WatchMutex());
  OwnWatches()[GetCurrentThreadId()].push_back(OwnWatch{fd, callback, context});
}

void Unwatch(int fd) {
  UnwatchFd(fd);
  std::lock_guard<std::mutex> lock(WatchMutex());
  auto it = OwnWatches().find(GetCurrentThreadId());
  if (it == OwnWatches().end()) return;
  auto& list = it->second;
  list.erase(
      std::remove_if(list.begin(), list.end(), [&](const OwnWatch& w) { return w.fd == fd; }),
      list.end());
  if (list.empty()) OwnWatches().erase(it);
}

std::vector<OwnWatch> ThreadWatches() {
  std::lock_guard<std::mutex> lock(WatchMutex());
  auto it = OwnWatches().find(GetCurrentThreadId());
  return it == OwnWatches().end() ? std::vector<OwnWatch>() : it->second;
}

bool StillWatched(const OwnWatch& watch) {
  std::lock_guard<std::mutex> lock(WatchMutex());
  auto it = OwnWatches().find(GetCurrentThreadId());
  if (it == OwnWatches().end()) return false;
  for (const OwnWatch& w : it->second) {
    if (w.fd == watch.fd && w.context == watch.context) return true;
  }
  return false;
}

struct Published;

// A sender's connection. Senders keep theirs open between requests, so an
// idle connection is normal; but a full table gives up the one idle
// longest, and a request that stops arriving midway is dropped.
struct Connection {
  int fd;
  Published* window;
  FrameReader reader;
  uint64_t lastActivityMs;
  bool spoke = false;       // a request was answered on it
  bool delivering = false;  // its request is with the window procedure
};

struct Published {
  HWND hwnd;
  std::string name;
  int listener = -1;
  DWORD ownerThread = 0;
  bool onOwner = false;   // watched on the owner thread, else a helper thread
  bool retired = false;   // guarded by state().mutex
  int stopFd = -1;        // helper thread only
  int timerFd = -1;       // owner thread only: wakes it at the connections' deadlines
  uint64_t armedFor = 0;  // owner thread only: the deadline timerFd is set to, 0 = none
  int delivering = 0;     // owner thread only: the record outlives deliveries under way
  std::vector<Connection*> connections;  // the serving thread only
};

bool IsRetired(const Published* window) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return window->retired;
}

void OnConnectionReady(void* context, int fd, short revents);

// When the connection is dropped if nothing more arrives: a request under
// way, or a connection that never spoke, has a short limit.
uint64_t DeadlineOf(const Connection& connection) {
  if (connection.delivering) return UINT64_MAX;
  bool waiting = connection.reader.Partial() || !connection.spoke;
  return connection.lastActivityMs + (waiting ? kStalledRequestMs : kIdleConnectionMs);
}

uint64_t NextDeadline(const Published* window) {
  uint64_t next = UINT64_MAX;
  for (const Connection* c : window->connections) next = std::min(next, DeadlineOf(*c));
  return next;
}

// Sets the owner's timer to deadline when that is sooner than what it is
// set to (a late wake-up only finds nothing to do, and costs no call per
// request). UINT64_MAX with force disarms it.
void ArmTimer(Published* window, uint64_t deadline, bool force) {
  if (!window->onOwner) return;  // the helper loop computes its own time-out
  if (!force && window->armedFor != 0 && window->armedFor <= deadline) return;
  if (!force && deadline == UINT64_MAX) return;
  itimerspec when{};
  if (deadline != UINT64_MAX) {
    when.it_value.tv_sec = static_cast<time_t>(deadline / 1000);
    when.it_value.tv_nsec = static_cast<long>(deadline % 1000) * 1000000L;
  }
  timerfd_settime(window->timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
  window->armedFor = deadline == UINT64_MAX ? 0 : deadline;
}

void CloseConnection(Connection* connection) {
  Published* window = connection->window;
  if (window->onOwner) Unwatch(connection->fd);
  close(connection->fd);
  auto& list = window->connections;
  list.erase(std::remove(list.begin(), list.end(), connection), list.end());
  delete connection;
}

void ExpireConnections(Published* window, uint64_t now) {
  std::vector<Connection*> list = window->connections;
  for (Connection* c : list) {
    if (DeadlineOf(*c) <= now) CloseConnection(c);
  }
}

// Owner thread: ends a retired record and everything it watches.
void CloseRecord(Published* window) {
  while (!window->connections.empty()) CloseConnection(window->connections.back());
  Unwatch(window->listener);
  close(window->listener);
  Unwatch(window->timerFd);
  close(window->timerFd);
  delete window;
}

// Owner thread: true when the record is retired, after closing it unless a
// delivery under way still needs it (the last one to return closes it).
bool ClosedIfRetired(Published* window) {
  if (!IsRetired(window)) return false;
  if (window->onOwner && window->delivering == 0) CloseRecord(window);
  return true;
}

// Room for one more connection: the one idle longest gives way (a sender
// that kept it reconnects on its next send), so connections that never
// speak cannot lock a window out. False when all are mid-delivery.
bool MakeRoom(Published* window) {
  if (window->connections.size() < kMaxConnections) return true;
  Connection* oldest = nullptr;
  for (Connection* c : window->connections) {
    if (!c->delivering && (oldest == nullptr || c->lastActivityMs < oldest->lastActivityMs)) {
      oldest = c;
    }
  }
  if (oldest == nullptr) return false;
  CloseConnection(oldest);
  return true;
}

void AcceptAll(Published* window) {
  for (;;) {
    int accepted = accept4(window->listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (!SameUserPeer(accepted, nullptr) || !MakeRoom(window)) {
      close(accepted);
      continue;
    }
    auto* connection = new Connection{accepted, window, FrameReader(), MonotonicMs()};
    window->connections.push_back(connection);
    if (window->onOwner) Watch(accepted, OnConnectionReady, connection);
    ArmTimer(window, DeadlineOf(*connection), false);
  }
}

// Reads what the connection has and answers each whole request. The
// window procedure may destroy the window (and so retire the record)
// during a delivery; the record and this connection outlive that call.
void ServeConnection(Connection* connection) {
  Published* window = connection->window;
  connection->lastActivityMs = MonotonicMs();
  FrameReader::Progress progress = connection->reader.Read(connection->fd);
  while (progress == FrameReader::kFrame) {
    // Not watched while delivering: a waiting send on this thread must not
    // read the next request of this connection inside this one.
    if (window->onOwner) Unwatch(connection->fd);
    connection->delivering = true;
    ++window->delivering;
    Reply reply = Deliver(window->hwnd, connection->reader);
    --window->delivering;
    connection->delivering = false;
    if (window->onOwner) Watch(connection->fd, OnConnectionReady, connection);
    connection->reader.Consume();
    connection->spoke = true;
    connection->lastActivityMs = MonotonicMs();
    if (!SendReply(connection->fd, reply)) {
      progress = FrameReader::kFailed;
      break;
    }
    if (ClosedIfRetired(window)) return;
    progress = connection->reader.Parse();  // one sent right behind it
  }
  if (progress == FrameReader::kClosed || progress == FrameReader::kFailed) {
    CloseConnection(connection);
    return;
  }
  ArmTimer(window, DeadlineOf(*connection), false);
}

void OnConnectionReady(void* context, int, short) {
  auto* connection = static_cast<Connection*>(context);
  if (ClosedIfRetired(connection->window) || connection->delivering) return;
  ServeConnection(connection);
}

void OnListenerReady(void* context, int, short) {
  auto* window = static_cast<Published*>(context);
  if (ClosedIfRetired(window)) return;
  AcceptAll(window);
}

void OnDeadline(void* context, int fd, short) {
  auto* window = static_cast<Published*>(context);
  uint64_t expirations;
  while (read(fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
  }
  window->armedFor = 0;
  if (ClosedIfRetired(window)) return;
  ExpireConnections(window, MonotonicMs());
  ArmTimer(window, NextDeadline(window), true);
}

// A helper thread serves a window published from outside its owner thread;
// each request reaches the owner through a cross-thread SendMessageA.
void HelperLoop(Published* window) {
  // Only the stop ends the loop: Unpublish still refers to the record until
  // it has signalled.
  for (;;) {
    std::vector<pollfd> fds{{window->stopFd, POLLIN, 0}, {window->listener, POLLIN, 0}};
    std::vector<Connection*> polled = window->connections;
    for (const Connection* c : polled) fds.push_back({c->fd, POLLIN, 0});
    uint64_t next = NextDeadline(window), now = MonotonicMs();
    int timeout = next == UINT64_MAX ? -1 : static_cast<int>(next > now ? next - now : 0);
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      uint64_t stop;  // read, so the stop is seen to come before the closes
      ssize_t ignored = read(window->stopFd, &stop, sizeof stop);
      (void)ignored;
      break;
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      auto& list = window->connections;
      if (fds[i].revents != 0 && std::find(list.begin(), list.end(), polled[i - 2]) != list.end()) {
        ServeConnection(polled[i - 2]);
      }
    }
    if (fds[1].revents != 0) AcceptAll(window);
    ExpireConnections(window, MonotonicMs());
  }
  while (!window->connections.empty()) CloseConnection(window->connections.back());
  close(window->listener);
  close(window->stopFd);
  delete window;
}

bool WriteTitleEntry(const std::string& folder, const std::string& name, const char* title) {
  std::string temporary = EntryPath(folder, name, ".win.part");
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t length = strlen(title);
  bool ok = write(fd, title, length) == static_cast<ssize_t>(length);
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(temporary.c_str(), EntryPath(folder, name, ".win").c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}

int ListenOn(const std::string& path) {
  sockaddr_un address;
  if (!SocketAddress(path, &address)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  unlink(path.c_str());  // a leftover of an earlier process with our pid
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, kListenBacklog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void Unpublish(HWND hwnd);

void Publish(HWND hwnd, const char* title) {
  Unpublish(hwnd);
  if (strlen(title) > kMaxTitle) return;
  std::string folder = Folder();
  if (folder.empty()) {
    OutputDebugStringA("gavio: no private folder for cross-process windows\n");
    return;
  }
  auto* window = new Published;
  window->hwnd = hwnd;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    window->name = std::to_string(getpid()) + "-" + std::to_string(state().next_serial++);
  }
  window->ownerThread = GetWindowThreadProcessId(hwnd, nullptr);
  window->onOwner = window->ownerThread == GetCurrentThreadId();
  if (window->onOwner) {
    window->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  } else {
    window->stopFd = eventfd(0, EFD_CLOEXEC);
  }
  window->listener = ListenOn(EntryPath(folder, window->name, ".sock"));
  if (window->listener < 0 || (window->onOwner ? window->timerFd : window->stopFd) < 0 ||
      !WriteTitleEntry(folder, window->name, title)) {
    for (int fd : {window->listener, window->timerFd, window->stopFd}) {
      if (fd >= 0) close(fd);
    }
    SweepEntry(folder, window->name);
    delete window;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().published[hwnd] = window;
  }
  if (window->onOwner) {
    Watch(window->listener, OnListenerReady, window);
    Watch(window->timerFd, OnDeadline, window);
  } else {
    std::thread(HelperLoop, window).detach();
  }
}

void Unpublish(HWND hwnd) {
  Published* window = nullptr;
  std::string name;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().published.find(hwnd);
    if (it == state().published.end()) return;
    window = it->second;
    state().published.erase(it);
    window->retired = true;
    name = window->name;
    if (window->onOwner && window->ownerThread != GetCurrentThreadId()) {
      // Another thread's watch: wake the owner's wait, which finds the
      // record retired and ends it there. Done under the lock, because the
      // owner may end the record as soon as it can see it retired.
      shutdown(window->listener, SHUT_RDWR);
      window = nullptr;
    }
  }
  std::string folder = Folder();
  if (!folder.empty()) SweepEntry(folder, name);
  if (window == nullptr) return;
  if (!window->onOwner) {
    // The helper ends the record, but only once it has seen this.
    uint64_t one = 1;
    ssize_t ignored = write(window->stopFd, &one, sizeof one);
    (void)ignored;
  } else if (window->delivering == 0) {
    CloseRecord(window);
  }  // else from inside a delivery: the record stays until that returns
}

void TitleChanged(HWND hwnd, const char* className, const char* title, bool alive) {
  if (className == nullptr || strcasecmp(className, "static") != 0) return;
  if (alive && title != nullptr && title[0] != '\0') {
    Publish(hwnd, title);
  } else {
    Unpublish(hwnd);
  }
}

// Entries of windows still published when the process ends would be swept
// by the next finder; removing them here saves it the trouble.
struct ExitSweeper {
  ~ExitSweeper() {
    std::string folder = Folder();
    if (folder.empty()) return;
    std::lock_guard<std::mutex> lock(state().mutex);
    for (const auto& [hwnd, window] : state().published) SweepEntry(folder, window->name);
  }
};

// ---- 5. Sending --------------------------------------------------------------------

// Waits until fd is ready for events, serving this thread's own watches
// meanwhile. False when the deadline passes or the peer process is gone.
bool WaitServing(int fd, short events, uint64_t deadline, pid_t peer) {
  for (;;) {
    uint64_t now = MonotonicMs();
    if (now >= deadline) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    int slice = static_cast<int>(std::min<uint64_t>(deadline - now, kPollSliceMs));
    std::vector<OwnWatch> watches = ThreadWatches();
    pollfd single{fd, events, 0};
    std::vector<pollfd> fds;
    if (!watches.empty()) {
      fds.push_back(single);
      for (const OwnWatch& w : watches) fds.push_back({w.fd, POLLIN, 0});
    }
    pollfd* polled = watches.empty() ? &single : fds.data();
    int ready = poll(polled, watches.size() + 1, slice);
    if (ready < 0 && errno != EINTR) {
      SetLastErrorFromErrno();
      return false;
    }
    if (ready <= 0) {
      if (peer > 0 && !ProcessAlive(peer)) {
        SetLastError(ERROR_BROKEN_PIPE);
        return false;
      }
      continue;
    }
    for (size_t i = 0; i < watches.size(); ++i) {
      if (fds[i + 1].revents != 0 && StillWatched(watches[i])) {
        watches[i].callback(watches[i].context, watches[i].fd, fds[i + 1].revents);
      }
    }
    if (polled[0].revents != 0) return true;
  }
}

// How a round trip ended. kUnanswered: the connection was closed before a
// single byte of the reply, so the receiver never delivered the request
// (it answers every request it delivers) and it may go again on a fresh
// connection when this one was kept from an earlier send.
enum class Outcome { kAnswered, kUnanswered, kFailed };

Outcome SendRequest(int fd, iovec* parts, int count, uint64_t deadline, pid_t peer) {
  int index = 0;
  while (index < count) {
    if (parts[index].iov_len == 0) {
      ++index;
      continue;
    }
    msghdr message{};
    message.msg_iov = parts + index;
    message.msg_iovlen = static_cast<size_t>(count - index);
    ssize_t put = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitServing(fd, POLLOUT, deadline, peer)) return Outcome::kFailed;
      continue;
    }
    if (put < 0) {
      SetLastError(ERROR_BROKEN_PIPE);
      return Outcome::kUnanswered;
    }
    for (size_t left = static_cast<size_t>(put); left > 0;) {
      size_t step = std::min(left, parts[index].iov_len);
      parts[index].iov_base = static_cast<char*>(parts[index].iov_base) + step;
      parts[index].iov_len -= step;
      left -= step;
      if (parts[index].iov_len == 0) ++index;
    }
  }
  return Outcome::kAnswered;
}

// Sets how long a blocking receive on a sender's socket may wait.
void SetReceiveLimit(int fd, uint64_t ms) {
  timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// The reply cannot be there the moment the request went out, so this waits
// first rather than spend a read on being told so. A thread with no
// watches of its own has nothing to serve meanwhile and blocks in the read
// itself, in slices of kPollSliceMs (the socket's receive limit), checking
// the deadline and the peer between them.
Outcome ReceiveReply(int fd, Reply* reply, uint64_t deadline, pid_t peer) {
  const bool serving = !ThreadWatches().empty();
  size_t got = 0;
  bool readable = false;
  while (got < sizeof *reply) {
    if (serving && !readable && !WaitServing(fd, POLLIN, deadline, peer)) return Outcome::kFailed;
    if (!serving) {
      uint64_t now = MonotonicMs();
      if (now >= deadline) {
        SetLastError(ERROR_TIMEOUT);
        return Outcome::kFailed;
      }
      if (deadline - now < static_cast<uint64_t>(kPollSliceMs)) SetReceiveLimit(fd, deadline - now);
    }
    ssize_t n = recv(fd, reinterpret_cast<char*>(reply) + got, sizeof *reply - got,
                     serving ? MSG_DONTWAIT : 0);
    readable = n > 0 || (n < 0 && errno == EINTR);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!serving && peer > 0 && !ProcessAlive(peer)) {
        SetLastError(ERROR_BROKEN_PIPE);
        return Outcome::kFailed;
      }
      continue;
    }
    SetLastError(ERROR_BROKEN_PIPE);  // the receiver closed without answering
    return got == 0 ? Outcome::kUnanswered : Outcome::kFailed;
  }
  if (reply->magic != kReplyMagic) {
    SetLastError(ERROR_INVALID_DATA);
    return Outcome::kFailed;
  }
  return Outcome::kAnswered;
}

Outcome RoundTrip(int fd, const RequestHeader& header, const void* payload, uint64_t deadline,
                  pid_t peer, Reply* reply) {
  iovec parts[2] = {{const_cast<RequestHeader*>(&header), sizeof header},
                    {const_cast<void*>(payload), header.cbData}};
  Outcome sent = SendRequest(fd, parts, 2, deadline, peer);
  return sent == Outcome::kAnswered ? ReceiveReply(fd, reply, deadline, peer) : sent;
}

// Connects to a remote window's socket; -1 when it is gone (its entries
// are swept) or the peer is not this user.
int ConnectTo(const RemoteWindow& window, uint64_t deadline, pid_t* peer) {
  std::string folder = Folder();
  sockaddr_un address;
  if (folder.empty() || !SocketAddress(EntryPath(folder, window.name, ".sock"), &address)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return -1;
  }
  while (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN && MonotonicMs() < deadline) {  // backlog full: try again shortly
      usleep(10 * 1000);
      continue;
    }
    if (errno == ECONNREFUSED || errno == ENOENT) SweepEntry(folder, window.name);
    SetLastError(errno == EAGAIN ? ERROR_TIMEOUT : ERROR_INVALID_WINDOW_HANDLE);
    close(fd);
    return -1;
  }
  if (!SameUserPeer(fd, peer)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  // Blocking from here on (see ReceiveReply); writes pass MSG_DONTWAIT.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  SetReceiveLimit(fd, kPollSliceMs);
  return fd;
}

// A connection kept from the last send to the window, or -1.
int TakeKeptConnection(RemoteWindow* window, pid_t* peer) {
  std::lock_guard<std::mutex> lock(state().mutex);
  int fd = window->keptFd;
  if (fd >= 0) {
    *peer = window->keptPeer;
    window->keptFd = -1;
    --state().kept_count;
  }
  return fd;
}

// Keeps an answered connection for the next send to the window (one per
// window, a bounded number in all); a second one is closed.
void KeepConnection(RemoteWindow* window, int fd, pid_t peer) {
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (window->keptFd < 0 && state().kept_count < kMaxKeptConnections) {
      window->keptFd = fd;
      window->keptPeer = peer;
      ++state().kept_count;
      return;
    }
  }
  close(fd);
}

LRESULT SendRemote(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  RemoteWindow* window = LookUpRemote(hwnd);
  if (window == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (msg != WM_COPYDATA) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
  if (record == nullptr || (record->cbData > 0 && record->lpData == nullptr) ||
      record->cbData > GAVIO_MAX_REMOTE_COPYDATA) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const uint64_t deadline = MonotonicMs() + g_send_timeout.load();
  RequestHeader header{kRequestMagic, kWireVersion,  WM_COPYDATA, record->cbData,
                       static_cast<uint64_t>(wParam), static_cast<uint64_t>(record->dwData)};
  Reply reply{};
  pid_t peer = 0;
  int fd = TakeKeptConnection(window, &peer);
  Outcome outcome = Outcome::kUnanswered;
  if (fd >= 0) {
    outcome = RoundTrip(fd, header, record->lpData, deadline, peer, &reply);
    if (outcome != Outcome::kAnswered) close(fd);
  }
  if (outcome == Outcome::kUnanswered) {  // nothing kept, or the receiver let it go
    fd = ConnectTo(*window, deadline, &peer);
    if (fd < 0) return 0;
    outcome = RoundTrip(fd, header, record->lpData, deadline, peer, &reply);
    if (outcome != Outcome::kAnswered) close(fd);
  }
  if (outcome != Outcome::kAnswered) return 0;
  KeepConnection(window, fd, peer);
  if (reply.status != kReplyDelivered) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<LRESULT>(reply.result);
}

// A child of fork() shares the kept connections with its parent: it lets
// go of its copies rather than interleave requests with the parent's.
void LockBeforeFork() { state().mutex.lock(); }
void UnlockAfterFork() { state().mutex.unlock(); }
void ForgetKeptInChild() {
  for (auto& [name, window] : state().remote_by_name) {
    if (window->keptFd >= 0) close(window->keptFd);
    window->keptFd = -1;
  }
  state().kept_count = 0;
  state().mutex.unlock();
}

const RemoteWindowHooks kHooks = {FindNext, IsRemote, SendRemote, TitleChanged};

struct Registration {
  Registration() {
    SetRemoteWindowHooks(&kHooks);
    pthread_atfork(LockBeforeFork, UnlockAfterFork, ForgetKeptInChild);
  }
} g_registration;
ExitSweeper g_exit_sweeper;

}  // namespace
}  // namespace gavio::platform

DWORD GavioSetRemoteSendTimeout(DWORD milliseconds) {
  return gavio::platform::g_send_timeout.exchange(milliseconds);
}

BOOL GavioGetRemoteWindowFolder(char* buffer, DWORD size) {
  std::string folder = gavio::platform::Folder();
  if (folder.empty() || buffer == nullptr || folder.size() + 1 > size) {
    SetLastError(folder.empty() ? ERROR_ACCESS_DENIED : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(buffer, folder.c_str(), folder.size() + 1);
  return TRUE;
}

BOOL GavioIsWindowPublished(HWND hwnd) {
  {
    std::lock_guard<std::mutex> lock(gavio::platform::state().mutex);
    if (gavio::platform::state().published.count(hwnd) != 0) return TRUE;
  }
  SetLastError(gavio::platform::Folder().empty() ? ERROR_ACCESS_DENIED : ERROR_NOT_FOUND);
  return FALSE;
}
