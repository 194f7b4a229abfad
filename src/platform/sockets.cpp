// Windows Sockets on POSIX sockets.
//
// Map of this file:
//   1. Errors: errno and resolver codes become WSAE* codes here only.
//   2. Start-up reference count.
//   3. Notifications (WSAAsyncSelect): a process-wide table of selected
//      sockets; each socket is watched in its window thread's one wait
//      (wait_seam.h) for exactly the events it can still report, so a
//      reported-but-unread socket never makes the wait spin.
//   4. The calls: socket, connect, send/recv, select, options, names.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/wait_seam.h"

namespace gavio::platform {
namespace {

// ---- 1. Errors ---------------------------------------------------------------

int32_t FailWith(int32_t wsaError) {
  SetLastError(static_cast<DWORD>(wsaError));
  return SOCKET_ERROR;
}

int32_t FailFromErrno() { return FailWith(WSAErrorFromErrno(errno)); }

int Fd(SOCKET s) { return s > static_cast<SOCKET>(INT32_MAX) ? -1 : static_cast<int>(s); }

// ---- 2. Start-up -------------------------------------------------------------

std::atomic<int32_t> g_startups{0};

bool Started() {
  if (g_startups.load() > 0) return true;
  SetLastError(WSANOTINITIALISED);
  return false;
}

// ---- 3. Notifications --------------------------------------------------------

struct Selection {
  uint64_t id;  // tells a live selection from an older one on a reused fd
  HWND hwnd;
  UINT msg;
  LONG events;
  DWORD thread;
  bool stream;
  bool readArmed = true;
  bool connected = false;  // streams: only a connected one can be read or closed
  bool connectPending = false;
  bool closePosted = false;
};

// Wakes a window thread to re-read the table for sockets changed by other
// threads (a receive that re-enables FD_READ, a connect, a close).
struct ThreadControl {
  int fd = -1;
  std::vector<int> dirty;
  // Numbers of sockets another thread closed while this thread watched
  // them: each holds an inert stand-in until this thread has dropped its
  // watch, so the number cannot be reused under the watch.
  std::vector<int> toClose;
};

struct Notifications {
  std::mutex mutex;
  std::unordered_map<int, Selection> selections;
  std::unordered_map<DWORD, ThreadControl*> controls;
  uint64_t lastId = 0;
};

Notifications& notifications() {
  static auto* n = new Notifications;  // threads may outlive statics
  return *n;
}

// What this thread has handed to its wait: fd -> selection id. Owner only.
thread_local std::unordered_map<int, uint64_t> t_watched;

void OnSocketReady(void* context, int fd, short revents);

short WantedEvents(const Selection& s) {
  short events = 0;
  if (s.closePosted) return 0;
  if (s.connectPending) return POLLOUT;
  // An unconnected stream socket polls as hung up: nothing to watch yet.
  if (s.stream && !s.connected) return 0;
  if ((s.events & FD_READ) != 0 && s.readArmed) events |= POLLIN;
  if (s.stream) events |= POLLRDHUP;  // a close always ends the watch
  return events;
}

// Brings this thread's watch of fd in line with the table. Owner thread.
void SyncWatch(int fd) {
  DWORD me = GetCurrentThreadId();
  uint64_t id = 0;
  short events = 0;
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    auto it = notifications().selections.find(fd);
    if (it != notifications().selections.end() && it->second.thread == me) {
      id = it->second.id;
      events = WantedEvents(it->second);
    }
  }
  if (events != 0) {
    WatchFd(fd, events, OnSocketReady, reinterpret_cast<void*>(id));
    t_watched[fd] = id;
  } else if (t_watched.erase(fd) != 0) {
    UnwatchFd(fd);
  }
}

void OnControl(void* context, int fd, short) {
  uint64_t count;
  while (read(fd, &count, sizeof count) > 0) {
  }
  std::vector<int> dirty;
  std::vector<int> toClose;
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    auto it = notifications().controls.find(GetCurrentThreadId());
    if (it != notifications().controls.end()) {
      dirty.swap(it->second->dirty);
      toClose.swap(it->second->toClose);
    }
  }
  for (int socketFd : dirty) SyncWatch(socketFd);
  for (int standIn : toClose) close(standIn);
}

struct ControlHolder {
  ThreadControl* control = nullptr;
  ~ControlHolder() {
    if (control == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(notifications().mutex);
      notifications().controls.erase(GetCurrentThreadId());
    }
    for (int standIn : control->toClose) close(standIn);
    close(control->fd);
    delete control;
  }
};
thread_local ControlHolder t_control;

bool EnsureControl() {
  if (t_control.control != nullptr) return true;
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return false;
  auto* control = new ThreadControl;
  control->fd = fd;
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    notifications().controls[GetCurrentThreadId()] = control;
  }
  t_control.control = control;
  WatchFd(fd, POLLIN, OnControl, nullptr);
  return true;
}

// Has the owner thread re-read fd's selection. Caller holds no lock.
void Touch(DWORD owner, int fd) {
  if (owner == GetCurrentThreadId()) {
    SyncWatch(fd);
    return;
  }
  // Written under the lock: an ending thread closes its descriptor only
  // after leaving the table, so the number cannot have been reused.
  std::lock_guard<std::mutex> lock(notifications().mutex);
  auto it = notifications().controls.find(owner);
  if (it == notifications().controls.end()) return;
  it->second->dirty.push_back(fd);
  uint64_t one = 1;
  ssize_t ignored = write(it->second->fd, &one, sizeof one);
  (void)ignored;
}

int32_t PendingError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return error == 0 ? 0 : WSAErrorFromErrno(error);
}

struct Notice {
  HWND hwnd;
  UINT msg;
  LPARAM reply;
};

// Decides under the table lock what the readiness means, posts outside it.
void OnSocketReady(void* context, int fd, short revents) {
  uint64_t id = reinterpret_cast<uint64_t>(context);
  Notice notices[3];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    auto it = notifications().selections.find(fd);
    if (it != notifications().selections.end() && it->second.id == id &&
        it->second.thread == GetCurrentThreadId()) {
      Selection& s = it->second;
      auto note = [&](int event, int32_t error) {
        notices[count++] = Notice{s.hwnd, s.msg, WSAMAKESELECTREPLY(event, error)};
      };
      if (s.connectPending && (revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
        s.connectPending = false;
        int32_t error = PendingError(fd);
        // A failed connect is reported by FD_CONNECT alone, never FD_CLOSE.
        if (error != 0) s.closePosted = true;
        s.connected = error == 0;
        if ((s.events & FD_CONNECT) != 0) note(FD_CONNECT, error);
      } else {
        bool ended = s.stream && (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        bool readable = (revents & POLLIN) != 0 || (!s.stream && (revents & POLLERR) != 0);
        if (readable && s.readArmed && (s.events & FD_READ) != 0) {
          int waiting = 0;
          // At the end of a stream only real data is worth a read notice.
          if (!ended || (ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0)) {
            s.readArmed = false;
            note(FD_READ, 0);
          }
        }
        if (ended && !s.closePosted) {
          s.closePosted = true;
          int32_t error = (revents & (POLLERR | POLLHUP)) != 0 &&
                                  (revents & POLLRDHUP) == 0
                              ? PendingError(fd)
                              : 0;
          if ((revents & POLLERR) != 0 && error == 0) error = WSAECONNRESET;
          if ((s.events & FD_CLOSE) != 0) note(FD_CLOSE, error);
        }
      }
    }
  }
  for (int i = 0; i < count; ++i) PostMessageA(notices[i].hwnd, notices[i].msg, fd, notices[i].reply);
  SyncWatch(fd);
}

// After a receive or a connect: re-enable what the call re-enables.
enum class Rearm { kRead, kConnect };

void RearmAfter(int fd, Rearm what, bool connectDone) {
  DWORD owner = 0;
  Notice notice{};
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    auto it = notifications().selections.find(fd);
    if (it == notifications().selections.end()) return;
    Selection& s = it->second;
    owner = s.thread;
    if (what == Rearm::kRead) {
      if (s.readArmed || s.closePosted || (s.events & FD_READ) == 0) return;
      s.readArmed = true;
    } else {
      if (!s.stream) return;
      if (connectDone) {
        s.connected = true;
        post = (s.events & FD_CONNECT) != 0;
        notice = Notice{s.hwnd, s.msg, WSAMAKESELECTREPLY(FD_CONNECT, 0)};
      } else {
        s.connectPending = true;
      }
    }
  }
  if (post) PostMessageA(notice.hwnd, notice.msg, fd, notice.reply);
  Touch(owner, fd);
}

bool SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

// ---- 4. Calls ----------------------------------------------------------------

struct HostStorage {
  hostent entry;
  char name[256];
  in_addr addresses[32];
  char* list[33];
  char* aliases[1];
  char dotted[16];
};
thread_local HostStorage t_host;

}  // namespace
}  // namespace gavio::platform

using namespace gavio::platform;

int32_t WSAErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;  // what Winsock says of a pending connect
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
  }
}

int32_t WSAStartup(WORD version, WSADATA* data) {
  BYTE major = version & 0xFF;
  BYTE minor = version >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  memset(data, 0, sizeof *data);
  data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : version;
  data->wHighVersion = MAKEWORD(2, 2);
  data->iMaxSockets = 0;
  data->iMaxUdpDg = 0;
  snprintf(data->szDescription, sizeof data->szDescription, "Gavio Sockets 2.2");
  snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  ++g_startups;
  return 0;
}

int32_t WSACleanup(void) {
  int32_t count = g_startups.load();
  while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1)) {
  }
  if (count <= 0) return FailWith(WSANOTINITIALISED);
  return 0;
}

int32_t WSAGetLastError(void) { return static_cast<int32_t>(GetLastError()); }
void WSASetLastError(int32_t error) { SetLastError(static_cast<DWORD>(error)); }

int32_t closesocket(SOCKET s) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  DWORD owner = 0;
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    auto it = notifications().selections.find(fd);
    if (it != notifications().selections.end()) {
      owner = it->second.thread;
      notifications().selections.erase(it);
    }
  }
  // A watch must go before its number can be reused. The owner drops its
  // own at once; another thread's watch is dropped when that thread next
  // wakes, and until then an inert stand-in keeps the number taken.
  if (owner == GetCurrentThreadId() || owner == 0) {
    if (owner != 0) SyncWatch(fd);
    if (close(fd) != 0) return FailFromErrno();
    return 0;
  }
  if (fcntl(fd, F_GETFD) < 0) return FailFromErrno();
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    auto it = notifications().controls.find(owner);
    int standIn = it != notifications().controls.end() ? eventfd(0, EFD_CLOEXEC) : -1;
    if (standIn < 0 || dup3(standIn, fd, O_CLOEXEC) < 0) {
      if (standIn >= 0) close(standIn);
      // The owner thread is gone (its watches with it) or no stand-in could
      // be made: a plain close.
      if (close(fd) != 0) return FailFromErrno();
      return 0;
    }
    close(standIn);
    it->second->toClose.push_back(fd);
    it->second->dirty.push_back(fd);
    uint64_t one = 1;
    ssize_t ignored = write(it->second->fd, &one, sizeof one);
    (void)ignored;
  }
  return 0;
}

int32_t ioctlsocket(SOCKET s, uint32_t command, uint32_t* argp) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (argp == nullptr) return FailWith(WSAEFAULT);
  if (command == FIONBIO_WS || command == FIONBIO) {
    if (!SetNonBlocking(fd, *argp != 0)) return FailFromErrno();
    return 0;
  }
  if (command == FIONREAD_WS || command == FIONREAD) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return FailFromErrno();
    *argp = static_cast<uint32_t>(waiting);
    return 0;
  }
  return FailWith(WSAEINVAL);
}

int32_t WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG events) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  DWORD me = GetCurrentThreadId();
  if (events != 0 && (!IsWindow(hwnd) || GetWindowThreadProcessId(hwnd, nullptr) != me)) {
    return FailWith(WSAEINVAL);
  }
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return FailFromErrno();
  if (!SetNonBlocking(fd, true)) return FailFromErrno();
  DWORD previousOwner = 0;
  {
    std::lock_guard<std::mutex> lock(notifications().mutex);
    auto it = notifications().selections.find(fd);
    if (it != notifications().selections.end()) {
      previousOwner = it->second.thread;
      notifications().selections.erase(it);
    }
    if (events != 0) {
      Selection selection{++notifications().lastId, hwnd, msg, events, me, type == SOCK_STREAM};
      sockaddr_in peer{};
      socklen_t peerLength = sizeof peer;
      selection.connected =
          getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
      notifications().selections.emplace(fd, selection);
    }
  }
  if (events != 0 && !EnsureControl()) return FailWith(WSAENOBUFS);
  if (previousOwner != 0 && previousOwner != me) Touch(previousOwner, fd);
  SyncWatch(fd);
  return 0;
}

DWORD GavioLiveAsyncSelectCount(void) {
  std::lock_guard<std::mutex> lock(notifications().mutex);
  return static_cast<DWORD>(notifications().selections.size());
}

namespace winsock {

SOCKET socket(int32_t af, int32_t type, int32_t protocol) {
  if (!Started()) return INVALID_SOCKET;
  int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailFromErrno();
    return INVALID_SOCKET;
  }
  return static_cast<SOCKET>(fd);
}

int32_t connect(SOCKET s, const sockaddr* name, int32_t length) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (name == nullptr || length <= 0) return FailWith(WSAEFAULT);
  int rc;
  do {
    rc = ::connect(fd, name, static_cast<socklen_t>(length));
  } while (rc != 0 && errno == EINTR && (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0);
  if (rc == 0) {
    RearmAfter(fd, Rearm::kConnect, true);
    return 0;
  }
  int err = errno;
  if (err == EINPROGRESS) RearmAfter(fd, Rearm::kConnect, false);
  return FailWith(WSAErrorFromErrno(err));
}

int32_t send(SOCKET s, const char* buffer, int32_t length, int32_t flags) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (length < 0 || (buffer == nullptr && length > 0)) return FailWith(WSAEFAULT);
  ssize_t sent;
  do {
    sent = ::send(fd, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return FailFromErrno();
  return static_cast<int32_t>(sent);
}

int32_t recv(SOCKET s, char* buffer, int32_t length, int32_t flags) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (length < 0 || (buffer == nullptr && length > 0)) return FailWith(WSAEFAULT);
  ssize_t got;
  do {
    got = ::recv(fd, buffer, static_cast<size_t>(length), flags);
  } while (got < 0 && errno == EINTR);
  int err = errno;
  RearmAfter(fd, Rearm::kRead, false);
  if (got < 0) return FailWith(WSAErrorFromErrno(err == EAGAIN ? EWOULDBLOCK : err));
  return static_cast<int32_t>(got);
}

int32_t sendto(SOCKET s, const char* buffer, int32_t length, int32_t flags, const sockaddr* to,
               int32_t toLength) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (length < 0 || (buffer == nullptr && length > 0)) return FailWith(WSAEFAULT);
  ssize_t sent;
  do {
    sent = ::sendto(fd, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL, to,
                    static_cast<socklen_t>(toLength));
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return FailFromErrno();
  return static_cast<int32_t>(sent);
}

int32_t recvfrom(SOCKET s, char* buffer, int32_t length, int32_t flags, sockaddr* from,
                 int32_t* fromLength) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (length < 0 || (buffer == nullptr && length > 0)) return FailWith(WSAEFAULT);
  socklen_t addressLength = fromLength != nullptr ? static_cast<socklen_t>(*fromLength) : 0;
  ssize_t got;
  do {
    got = ::recvfrom(fd, buffer, static_cast<size_t>(length), flags, from,
                     fromLength != nullptr ? &addressLength : nullptr);
  } while (got < 0 && errno == EINTR);
  int err = errno;
  RearmAfter(fd, Rearm::kRead, false);
  if (got < 0) return FailWith(WSAErrorFromErrno(err == EAGAIN ? EWOULDBLOCK : err));
  if (fromLength != nullptr) *fromLength = static_cast<int32_t>(addressLength);
  return static_cast<int32_t>(got);
}

int32_t shutdown(SOCKET s, int32_t how) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (::shutdown(fd, how) != 0) return FailFromErrno();
  return 0;
}

int32_t select(int32_t, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
               const timeval* timeout) {
  if (!Started()) return SOCKET_ERROR;
  std::vector<pollfd> fds;
  auto add = [&](fd_set* set, short events) {
    if (set == nullptr) return;
    for (uint32_t i = 0; i < set->fd_count && i < kFdSetSize; ++i) {
      // A value that is no descriptor is polled as -1 (never ready), so the
      // sets keep their positions.
      fds.push_back({Fd(set->fd_array[i]), events, 0});
    }
  };
  add(readSet, POLLIN);
  add(writeSet, POLLOUT);
  add(exceptSet, POLLPRI);
  if (fds.empty()) return FailWith(WSAEINVAL);
  int timeoutMs = -1;
  if (timeout != nullptr) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return FailWith(WSAEINVAL);
    // Rounded up: a short positive wait must not become a busy poll.
    long long ms = timeout->tv_sec * 1000LL + (timeout->tv_usec + 999) / 1000;
    timeoutMs = ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
  }
  int ready;
  do {
    ready = poll(fds.data(), fds.size(), timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return FailFromErrno();
  for (const pollfd& p : fds) {
    if ((p.revents & POLLNVAL) != 0) return FailWith(WSAENOTSOCK);
  }
  // Rewrite each set to its ready members, in the order they were given.
  size_t index = 0;
  int32_t total = 0;
  auto keep = [&](fd_set* set, short mask) {
    if (set == nullptr) return;
    uint32_t kept = 0;
    uint32_t count = set->fd_count < kFdSetSize ? set->fd_count : kFdSetSize;
    for (uint32_t i = 0; i < count; ++i, ++index) {
      if ((fds[index].revents & mask) != 0) set->fd_array[kept++] = set->fd_array[i];
    }
    set->fd_count = kept;
    total += static_cast<int32_t>(kept);
  };
  keep(readSet, POLLIN | POLLHUP | POLLERR);
  keep(writeSet, POLLOUT | POLLERR | POLLHUP);
  keep(exceptSet, POLLPRI);
  return total;
}

int32_t getsockopt(SOCKET s, int32_t level, int32_t name, char* value, int32_t* length) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (value == nullptr || length == nullptr || *length < 0) return FailWith(WSAEFAULT);
  socklen_t size = static_cast<socklen_t>(*length);
  if (::getsockopt(fd, level, name, value, &size) != 0) return FailFromErrno();
  *length = static_cast<int32_t>(size);
  return 0;
}

int32_t setsockopt(SOCKET s, int32_t level, int32_t name, const char* value, int32_t length) {
  if (!Started()) return SOCKET_ERROR;
  int fd = Fd(s);
  if (fd < 0) return FailWith(WSAENOTSOCK);
  if (value == nullptr || length < 0) return FailWith(WSAEFAULT);
  int rc;
  if (level == SOL_SOCKET && (name == SO_RCVTIMEO || name == SO_SNDTIMEO) &&
      length == sizeof(DWORD)) {
    // Winsock's time-outs are milliseconds in a DWORD.
    DWORD ms;
    memcpy(&ms, value, sizeof ms);
    ::timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    rc = ::setsockopt(fd, level, name, &tv, sizeof tv);
  } else if (level == SOL_SOCKET && name == SO_LINGER && length == 4) {
    // Winsock's linger is two u_shorts.
    uint16_t parts[2];
    memcpy(parts, value, sizeof parts);
    ::linger l{parts[0], parts[1]};
    rc = ::setsockopt(fd, level, name, &l, sizeof l);
  } else {
    rc = ::setsockopt(fd, level, name, value, static_cast<socklen_t>(length));
  }
  if (rc != 0) return FailFromErrno();
  return 0;
}

hostent* gethostbyname(const char* name) {
  if (!Started()) return nullptr;
  if (name == nullptr || strlen(name) >= sizeof t_host.name) {
    SetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0) {
    switch (rc) {
      case EAI_AGAIN: SetLastError(WSATRY_AGAIN); break;
      case EAI_FAIL: SetLastError(WSANO_RECOVERY); break;
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
      case EAI_ADDRFAMILY: SetLastError(WSANO_DATA); break;
      default: SetLastError(WSAHOST_NOT_FOUND); break;
    }
    return nullptr;
  }
  HostStorage& h = t_host;
  snprintf(h.name, sizeof h.name, "%s", name);
  size_t count = 0;
  for (addrinfo* a = found; a != nullptr && count < 32; a = a->ai_next) {
    in_addr address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr;
    bool seen = false;
    for (size_t i = 0; i < count; ++i) seen = seen || h.addresses[i].s_addr == address.s_addr;
    if (!seen) h.addresses[count++] = address;
  }
  freeaddrinfo(found);
  if (count == 0) {
    SetLastError(WSANO_DATA);
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) h.list[i] = reinterpret_cast<char*>(&h.addresses[i]);
  h.list[count] = nullptr;
  h.aliases[0] = nullptr;
  h.entry.h_name = h.name;
  h.entry.h_aliases = h.aliases;
  h.entry.h_addrtype = AF_INET;
  h.entry.h_length = 4;
  h.entry.h_addr_list = h.list;
  return &h.entry;
}

uint32_t inet_addr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  uint32_t parts[4];
  int part = 0;
  const char* p = text;
  while (part < 4) {
    if (*p < '0' || *p > '9') return INADDR_NONE;
    uint32_t value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<uint32_t>(*p++ - '0');
      if (++digits > 3 || value > 255) return INADDR_NONE;
    }
    parts[part++] = value;
    if (part < 4) {
      if (*p != '.') return INADDR_NONE;
      ++p;
    }
  }
  if (*p != '\0') return INADDR_NONE;
  return htonl(parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]);
}

const char* inet_ntoa(in_addr address) {
  uint32_t host = ntohl(address.s_addr);
  snprintf(t_host.dotted, sizeof t_host.dotted, "%u.%u.%u.%u", host >> 24, (host >> 16) & 0xFF,
           (host >> 8) & 0xFF, host & 0xFF);
  return t_host.dotted;
}

}  // namespace winsock
