#include "proxy_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace proxy_test {
namespace {

constexpr int kPollSliceMs = 50;
constexpr int kStartLimitMs = 15000;
constexpr char kSquid[] = "/usr/sbin/squid";
constexpr char kBasicHelper[] = "/usr/lib/squid/basic_ncsa_auth";
constexpr char kNtlmHelper[] = "/usr/lib/squid/ntlm_fake_auth";
constexpr char kMicrosocks[] = "/usr/bin/microsocks";

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

bool Accepts(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = Loopback(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Runs a program to completion and returns its standard output.
std::string Capture(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return std::string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::string out;
  char buffer[256];
  ssize_t got;
  while (rc == 0 && (got = read(pipeFds[0], buffer, sizeof buffer)) > 0) out.append(buffer, got);
  close(pipeFds[0]);
  if (rc == 0) waitpid(pid, nullptr, 0);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool IsExecutable(const char* path) { return access(path, X_OK) == 0; }

}  // namespace

// ---------------------------------------------------------------------------
// PeerConnection

PeerConnection::PeerConnection(int fd, const std::atomic<bool>* stopping)
    : fd_(fd), stopping_(stopping) {}

PeerConnection::~PeerConnection() { Close(); }

ssize_t PeerConnection::ReadSome(char* buffer, size_t size, int limitMs) {
  int64_t deadline = NowMs() + limitMs;
  while (fd_ >= 0 && !stopping_->load()) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return -1;
    pollfd entry{fd_, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left < kPollSliceMs ? left : kPollSliceMs));
    if (ready < 0 && errno != EINTR) return -1;
    if (ready > 0) return recv(fd_, buffer, size, 0);
  }
  return -1;
}

bool PeerConnection::ReadUntil(const std::string& end, std::string* out, int limitMs) {
  out->clear();
  int64_t deadline = NowMs() + limitMs;
  char byte;
  // Byte by byte, so nothing past the end marker is taken from the stream.
  while (out->find(end) == std::string::npos) {
    int64_t left = deadline - NowMs();
    if (left <= 0 || ReadSome(&byte, 1, static_cast<int>(left)) != 1) return false;
    out->push_back(byte);
  }
  return true;
}

bool PeerConnection::ReadBytes(size_t count, std::string* out, int limitMs) {
  out->clear();
  int64_t deadline = NowMs() + limitMs;
  char buffer[4096];
  while (out->size() < count) {
    int64_t left = deadline - NowMs();
    size_t want = std::min(sizeof buffer, count - out->size());
    ssize_t got = left > 0 ? ReadSome(buffer, want, static_cast<int>(left)) : -1;
    if (got <= 0) return false;
    out->append(buffer, static_cast<size_t>(got));
  }
  return true;
}

bool PeerConnection::Write(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return sent == bytes.size();
}

void PeerConnection::EchoUntilClosed() {
  char buffer[16384];
  for (;;) {
    ssize_t got = ReadSome(buffer, sizeof buffer, 60000);
    if (got <= 0 || !Write(std::string(buffer, static_cast<size_t>(got)))) return;
  }
}

void PeerConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

// ---------------------------------------------------------------------------
// ScriptedPeer

ScriptedPeer::ScriptedPeer(Script script) : script_(std::move(script)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
  stopping_.store(true);
  if (wake_[1] >= 0) {
    char byte = 0;
    (void)!write(wake_[1], &byte, 1);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  for (std::thread& t : threads_) t.join();
  if (listener_ >= 0) close(listener_);
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

void ScriptedPeer::AcceptLoop() {
  while (!stopping_.load()) {
    pollfd entries[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(entries, 2, -1) < 0 && errno != EINTR) return;
    if ((entries[1].revents & POLLIN) != 0) return;
    if ((entries[0].revents & POLLIN) == 0) continue;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int index = accepted_.fetch_add(1);
    std::lock_guard<std::mutex> lock(lock_);
    threads_.emplace_back([this, fd, index] {
      PeerConnection connection(fd, &stopping_);
      script_(connection, index);
    });
  }
}

std::unique_ptr<ScriptedPeer> StartEchoServer() {
  return std::make_unique<ScriptedPeer>(
      [](PeerConnection& connection, int) { connection.EchoUntilClosed(); });
}

uint16_t UnusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

// ---------------------------------------------------------------------------
// ChildServer

ChildServer::~ChildServer() { Stop(); }

bool ChildServer::Start(const std::vector<std::string>& argv, uint16_t port,
                        const std::string& logFile) {
  Stop();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  port_ = port;
  int64_t deadline = NowMs() + kStartLimitMs;
  while (NowMs() < deadline) {
    if (Accepts(port)) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    poll(nullptr, 0, 20);
  }
  Stop();
  return false;
}

void ChildServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int64_t deadline = NowMs() + 10000;
  while (waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (NowMs() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    poll(nullptr, 0, 20);
  }
  pid_ = -1;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& input,
               std::string* output, int limitMs) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc == 0) (void)!write(in[1], input.data(), input.size());
  close(in[1]);
  output->clear();
  int64_t deadline = NowMs() + limitMs;
  char buffer[4096];
  while (rc == 0) {
    int64_t left = deadline - NowMs();
    pollfd entry{out[0], POLLIN, 0};
    if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) break;
    ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    output->append(buffer, static_cast<size_t>(got));
  }
  close(out[0]);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (NowMs() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    poll(nullptr, 0, 20);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---------------------------------------------------------------------------
// SquidProxy

bool SquidProxy::Available() {
  return IsExecutable(kSquid) && IsExecutable(kBasicHelper) && IsExecutable(kNtlmHelper);
}

bool SquidProxy::Start(SquidAuth auth, const std::string& user, const std::string& password) {
  const std::string& dir = dir_.path();
  // squid started as root runs as "proxy", which must reach its files.
  chmod(dir.c_str(), 0777);
  std::string rules;
  if (auth == SquidAuth::kBasic) {
    std::string hash = Capture({"/usr/bin/openssl", "passwd", "-apr1", password});
    gavio_test::WriteFile(dir_.File("passwd"), user + ":" + hash + "\n");
    chmod(dir_.File("passwd").c_str(), 0644);
    rules = std::string("auth_param basic program ") + kBasicHelper + " " + dir_.File("passwd") +
            "\nauth_param basic children 1 startup=1 idle=1\n";
  } else if (auth == SquidAuth::kNtlm) {
    rules = std::string("auth_param ntlm program ") + kNtlmHelper +
            "\nauth_param ntlm children 1 startup=1 idle=1\n";
  }
  if (auth != SquidAuth::kNone) {
    rules += "acl authed proxy_auth REQUIRED\nhttp_access allow authed\n";
  } else {
    rules += "http_access allow all\n";
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    uint16_t port = UnusedPort();
    std::string config = "http_port 127.0.0.1:" + std::to_string(port) +
                         "\npid_filename " + dir + "/squid.pid\ncache_log " + dir +
                         "/cache.log\naccess_log none\ncache deny all\ncache_mem 8 MB\n"
                         "coredump_dir " + dir +
                         "\nshutdown_lifetime 0 seconds\nvisible_hostname gavio-test\n"
                         "pinger_enable off\nicp_port 0\nhtcp_port 0\n" +
                         (geteuid() == 0 ? "cache_effective_user proxy\n" : "") + rules +
                         "http_access deny all\n";
    gavio_test::WriteFile(dir_.File("squid.conf"), config);
    chmod(dir_.File("squid.conf").c_str(), 0644);
    if (server_.Start({kSquid, "-N", "-f", dir_.File("squid.conf")}, port,
                      dir_.File("squid.out"))) {
      return true;
    }
  }
  return false;
}

std::string SquidProxy::Log() const {
  return gavio_test::ReadFile(dir_.File("squid.out")) + gavio_test::ReadFile(dir_.File("cache.log"));
}

// ---------------------------------------------------------------------------
// SocksServer

bool SocksServer::Available() { return IsExecutable(kMicrosocks); }

bool SocksServer::Start(const std::string& user, const std::string& password) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    uint16_t port = UnusedPort();
    std::vector<std::string> argv = {kMicrosocks, "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (!user.empty()) {
      argv.insert(argv.end(), {"-u", user, "-P", password});
    }
    if (server_.Start(argv, port, dir_.File("microsocks.out"))) return true;
  }
  return false;
}

}  // namespace proxy_test
