#include "net_test_env.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gavio/ids.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/errors.h"
#include "platform/modules.h"
#include "support/test_support.h"

extern char** environ;

namespace net_test {
namespace {

struct Environment {
  gavio_test::TempDir dir;
  Environment() {
    signal(SIGPIPE, SIG_IGN);
    std::string data = dir.File("data");
    mkdir(data.c_str(), 0700);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    std::string ini = dir.File("Gavio.ini");
    gavio_test::WriteFile(ini, "[Log]\nDebugMask=0x0\n");
    gavio::HostSetRegistryPath(ini.c_str());
    gavio::HostSetFactoryHandle(LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str()));
  }
};

}  // namespace

gavio::ITransport* CreateTransport(uint32_t componentId) {
  static Environment environment;
  return static_cast<gavio::ITransport*>(gavio::HostCreateComponent(componentId, 0));
}

void RecordingSink::Note(Kind kind, int32_t value) {
  events.push_back(Event{kind, value, GetCurrentThreadId()});
  if (hook) hook(kind);
}

int RecordingSink::Count(Kind kind) const {
  int n = 0;
  for (const Event& e : events) n += e.kind == kind ? 1 : 0;
  return n;
}

bool RecordingSink::AllOnThread(uint32_t thread) const {
  for (const Event& e : events) {
    if (e.thread != thread) return false;
  }
  return true;
}

TcpPeer::TcpPeer(const char* mode) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string program = gavio_test::BuildDir() + "/tcp_peer";
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(mode), nullptr};
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  stdinFd_ = in[1];
  char line[16] = {};
  size_t used = 0;
  pollfd p{out[0], POLLIN, 0};
  while (pid_ > 0 && used < sizeof line - 1 && poll(&p, 1, 10000) > 0) {
    ssize_t n = read(out[0], line + used, 1);
    if (n <= 0 || line[used] == '\n') break;
    ++used;
  }
  close(out[0]);
  port_ = static_cast<uint16_t>(atoi(line));
}

TcpPeer::~TcpPeer() {
  if (stdinFd_ >= 0) close(stdinFd_);  // the peer ends at the end of its input
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void TcpPeer::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Listener::Listener(int backlog) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(fd_, backlog);
  getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

Listener::~Listener() { close(fd_); }

int Listener::Accept(uint32_t limitMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limitMs)) <= 0) return -1;
  return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

uint16_t ClosedPort() {
  Listener listener;
  return listener.port();
}

ProcessCounts ReadProcessCounts() {
  ProcessCounts counts{0, 0, 0};
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) counts.descriptors += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    --counts.descriptors;  // the folder's own descriptor
  }
  std::string status = gavio_test::ReadFile("/proc/self/status");
  const char* threads = strstr(status.c_str(), "\nThreads:");
  const char* resident = strstr(status.c_str(), "\nVmRSS:");
  if (threads != nullptr) counts.threads = atoi(threads + 9);
  if (resident != nullptr) counts.residentKb = atol(resident + 7);
  return counts;
}

uint64_t RaiseDescriptorLimit(uint64_t want) {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < want) {
    limit.rlim_cur = want < limit.rlim_max ? want : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

}  // namespace net_test
