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
//   4. Receiving: the listener and its connections are watched on the
//      window's owner thread (WatchFd), so a complete request is delivered
//      with SendMessageA on that thread, inside its message loop. A title set
//      from another thread gets a small helper thread instead, which hands
//      each request to the owner with a cross-thread SendMessageA.
//   5. Sending: connect, write, and wait for the reply with a time limit
//      while serving this thread's own watches, so two processes sending to
//      each other at once both get answered.
#include "platform/ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
constexpr size_t kMaxPendingConnections = 64;
constexpr int kPollSliceMs = 100;
constexpr DWORD kHelperReadLimitMs = 10000;
constexpr uint32_t kRequestMagic = 0x50495647u;  // "GVIP"
constexpr uint32_t kReplyMagic = 0x52495647u;    // "GVIR"
constexpr uint32_t kWireVersion = 1;
constexpr uint32_t kReplyDelivered = 0;
constexpr uint32_t kReplyNoWindow = 1;

std::atomic<DWORD> g_send_timeout{GAVIO_DEFAULT_REMOTE_SEND_TIMEOUT};

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
    window = new RemoteWindow{key.name, key.pid, key.serial};
    s.remote_handles.insert(reinterpret_cast<HWND>(window));
  }
  return reinterpret_cast<HWND>(window);
}

const RemoteWindow* LookUpRemote(HWND hwnd) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.remote_handles.count(hwnd) == 0) return nullptr;
  return reinterpret_cast<const RemoteWindow*>(hwnd);
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

// A request read piece by piece from a non-blocking socket.
class Request {
 public:
  enum Progress { kMore, kDone, kFailed };

  Progress Feed(int fd) {
    for (;;) {
      if (Complete()) return kDone;
      char* into;
      size_t wanted;
      if (got_ < sizeof header_) {
        into = reinterpret_cast<char*>(&header_) + got_;
        wanted = sizeof header_ - got_;
      } else {
        into = reinterpret_cast<char*>(payload_.data()) + (got_ - sizeof header_);
        wanted = sizeof header_ + payload_.size() - got_;
      }
      ssize_t n = recv(fd, into, wanted, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kMore;
      if (n <= 0) return kFailed;
      got_ += static_cast<size_t>(n);
      if (got_ == sizeof header_) {
        if (header_.magic != kRequestMagic || header_.version != kWireVersion ||
            header_.message != WM_COPYDATA || header_.cbData > GAVIO_MAX_REMOTE_COPYDATA) {
          return kFailed;
        }
        payload_.resize(header_.cbData);
      }
    }
  }

  const RequestHeader& header() const { return header_; }
  std::vector<uint8_t>& payload() { return payload_; }

 private:
  bool Complete() const {
    return got_ >= sizeof header_ && got_ == sizeof header_ + payload_.size();
  }

  RequestHeader header_{};
  std::vector<uint8_t> payload_;
  size_t got_ = 0;
};

// Hands a complete request to the window and returns the reply record.
Reply Deliver(HWND hwnd, Request& request) {
  Reply reply{kReplyMagic, kReplyNoWindow, 0};
  if (!IsWindow(hwnd)) return reply;
  COPYDATASTRUCT record{static_cast<uintptr_t>(request.header().dwData), request.header().cbData,
                        request.payload().empty() ? nullptr : request.payload().data()};
  reply.result = SendMessageA(hwnd, WM_COPYDATA, static_cast<WPARAM>(request.header().wParam),
                              reinterpret_cast<LPARAM>(&record));
  reply.status = kReplyDelivered;
  return reply;
}

void SendReply(int fd, const Reply& reply) {
  // Sixteen bytes into a socket nobody wrote to before: never blocks.
  ssize_t ignored = send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
  (void)ignored;
}

// ---- 4. Receiving -----------------------------------------------------------------

// The watches this file placed, per thread, so a sender waiting for its
// reply can serve its own thread's windows meanwhile.
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
  list.erase(std::remove_if(list.begin(), list.end(), [&](const OwnWatch& w) { return w.fd == fd; }),
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

struct Connection;

struct Published {
  HWND hwnd;
  std::string name;
  int listener = -1;
  DWORD owner_thread = 0;
  bool on_owner = false;  // watched on the owner thread, else a helper thread
  bool retired = false;   // guarded by state().mutex
  int stop_fd = -1;       // helper thread only
  std::vector<Connection*> connections;  // owner thread only
};

struct Connection {
  int fd;
  Published* window;
  Request request;
};

bool IsRetired(const Published* window) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return window->retired;
}

void DropConnection(Connection* connection) {
  Unwatch(connection->fd);
  close(connection->fd);
  auto& list = connection->window->connections;
  list.erase(std::remove(list.begin(), list.end(), connection), list.end());
  delete connection;
}

// Owner thread: ends a retired record and everything it watches.
void CloseRecord(Published* window) {
  while (!window->connections.empty()) DropConnection(window->connections.back());
  Unwatch(window->listener);
  close(window->listener);
  delete window;
}

void OnConnectionReady(void* context, int fd, short revents) {
  auto* connection = static_cast<Connection*>(context);
  if (IsRetired(connection->window)) {
    DropConnection(connection);
    return;
  }
  Request::Progress progress = connection->request.Feed(fd);
  if (progress == Request::kMore) return;
  if (progress == Request::kFailed) {
    DropConnection(connection);
    return;
  }
  // From here the connection belongs to this call alone: the window may be
  // destroyed by its own procedure while the request is delivered.
  Unwatch(fd);
  auto& list = connection->window->connections;
  list.erase(std::remove(list.begin(), list.end(), connection), list.end());
  HWND hwnd = connection->window->hwnd;
  Reply reply = Deliver(hwnd, connection->request);
  SendReply(fd, reply);
  close(fd);
  delete connection;
}

void OnListenerReady(void* context, int fd, short revents) {
  auto* window = static_cast<Published*>(context);
  if (IsRetired(window)) {
    CloseRecord(window);
    return;
  }
  for (;;) {
    int accepted = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (!SameUserPeer(accepted, nullptr) ||
        window->connections.size() >= kMaxPendingConnections) {
      close(accepted);
      continue;
    }
    auto* connection = new Connection{accepted, window, Request()};
    window->connections.push_back(connection);
    Watch(accepted, OnConnectionReady, connection);
  }
}

// Waits for fd to become ready within limitMs; false on time-out or error.
bool PollOne(int fd, short events, DWORD limitMs) {
  uint64_t deadline = MonotonicMs() + limitMs;
  for (;;) {
    uint64_t now = MonotonicMs();
    if (now >= deadline) return false;
    pollfd entry{fd, events, 0};
    int ready = poll(&entry, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// A helper thread serves a window published from outside its owner thread;
// each request reaches the owner through a cross-thread SendMessageA.
void HelperLoop(Published* window) {
  pollfd fds[2] = {{window->listener, POLLIN, 0}, {window->stop_fd, POLLIN, 0}};
  // Only the stop ends the loop: Unpublish still refers to the record until
  // it has signalled.
  for (;;) {
    int ready = poll(fds, 2, -1);
    if (ready <= 0) continue;
    if (fds[1].revents != 0) {
      uint64_t stop;  // read, so the stop is seen to come before the closes
      ssize_t ignored = read(window->stop_fd, &stop, sizeof stop);
      (void)ignored;
      break;
    }
    int accepted = accept4(window->listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) continue;
    if (SameUserPeer(accepted, nullptr)) {
      Request request;
      Request::Progress progress = Request::kMore;
      while (progress == Request::kMore && PollOne(accepted, POLLIN, kHelperReadLimitMs)) {
        progress = request.Feed(accepted);
      }
      if (progress == Request::kDone) SendReply(accepted, Deliver(window->hwnd, request));
    }
    close(accepted);
  }
  close(window->listener);
  close(window->stop_fd);
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
  window->listener = ListenOn(EntryPath(folder, window->name, ".sock"));
  if (window->listener < 0 || !WriteTitleEntry(folder, window->name, title)) {
    if (window->listener >= 0) close(window->listener);
    SweepEntry(folder, window->name);
    delete window;
    return;
  }
  window->owner_thread = GetWindowThreadProcessId(hwnd, nullptr);
  window->on_owner = window->owner_thread == GetCurrentThreadId();
  if (!window->on_owner) window->stop_fd = eventfd(0, EFD_CLOEXEC);
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().published[hwnd] = window;
  }
  if (window->on_owner) {
    Watch(window->listener, OnListenerReady, window);
  } else {
    std::thread(HelperLoop, window).detach();
  }
}

void Unpublish(HWND hwnd) {
  Published* window = nullptr;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().published.find(hwnd);
    if (it == state().published.end()) return;
    window = it->second;
    state().published.erase(it);
    window->retired = true;
  }
  std::string folder = Folder();
  if (!folder.empty()) SweepEntry(folder, window->name);
  if (!window->on_owner) {
    uint64_t one = 1;
    ssize_t ignored = write(window->stop_fd, &one, sizeof one);
    (void)ignored;
  } else if (window->owner_thread == GetCurrentThreadId()) {
    CloseRecord(window);
  } else {
    // Another thread's watch: wake the owner's wait, which finds the
    // record retired and ends it there.
    shutdown(window->listener, SHUT_RDWR);
  }
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
    std::vector<OwnWatch> watches = ThreadWatches();
    std::vector<pollfd> fds{{fd, events, 0}};
    for (const OwnWatch& w : watches) fds.push_back({w.fd, POLLIN, 0});
    int slice = static_cast<int>(std::min<uint64_t>(deadline - now, kPollSliceMs));
    int ready = poll(fds.data(), fds.size(), slice);
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
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0 && StillWatched(watches[i - 1])) {
        watches[i - 1].callback(watches[i - 1].context, fds[i].fd, fds[i].revents);
      }
    }
    if (fds[0].revents != 0) return true;
  }
}

bool SendAll(int fd, const void* data, size_t length, uint64_t deadline, pid_t peer) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t put = send(fd, bytes, length, MSG_NOSIGNAL);
    if (put > 0) {
      bytes += put;
      length -= static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitServing(fd, POLLOUT, deadline, peer)) return false;
      continue;
    }
    SetLastError(ERROR_BROKEN_PIPE);
    return false;
  }
  return true;
}

bool ReceiveReply(int fd, Reply* reply, uint64_t deadline, pid_t peer) {
  size_t got = 0;
  while (got < sizeof *reply) {
    ssize_t n = recv(fd, reinterpret_cast<char*>(reply) + got, sizeof *reply - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitServing(fd, POLLIN, deadline, peer)) return false;
      continue;
    }
    SetLastError(ERROR_BROKEN_PIPE);  // the receiver closed without answering
    return false;
  }
  return reply->magic == kReplyMagic;
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
  return fd;
}

LRESULT SendRemote(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const RemoteWindow* window = LookUpRemote(hwnd);
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
  pid_t peer = 0;
  int fd = ConnectTo(*window, deadline, &peer);
  if (fd < 0) return 0;
  RequestHeader header{kRequestMagic, kWireVersion,  WM_COPYDATA, record->cbData,
                       static_cast<uint64_t>(wParam), static_cast<uint64_t>(record->dwData)};
  Reply reply{};
  bool answered = SendAll(fd, &header, sizeof header, deadline, peer) &&
                  SendAll(fd, record->lpData, record->cbData, deadline, peer) &&
                  ReceiveReply(fd, &reply, deadline, peer);
  close(fd);
  if (!answered) return 0;
  if (reply.status != kReplyDelivered) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<LRESULT>(reply.result);
}

const RemoteWindowHooks kHooks = {FindNext, IsRemote, SendRemote, TitleChanged};

struct Registration {
  Registration() { SetRemoteWindowHooks(&kHooks); }
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
