// The cross-process window channel under peers that misbehave: silent and
// stalled connections, announced sizes that never arrive, receivers that
// stop or die; and what "gavio ipc" reports about them. Every peer is a
// real process (tools/peers/ipc_peer or the gavio tool).
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/ipc.h"
#include "platform/messages.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "support/test_support.h"

namespace {

using gavio_test::PumpUntil;

std::string UniqueKey(const std::string& role) {
  static int counter = 0;
  return "gavio-ipcw-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + role;
}

// A peer process, killed and collected at the end whatever happened.
class Peer {
 public:
  explicit Peer(std::vector<std::string> arguments) {
    std::string program = gavio_test::BuildDir() + "/ipc_peer";
    arguments.insert(arguments.begin(), program);
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    process_ = GavioCreateProcess(program.c_str(), argv.data(), &pid_);
  }
  ~Peer() {
    if (process_ == nullptr) return;
    kill(static_cast<pid_t>(pid_), SIGCONT);
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
  }
  pid_t pid() const { return static_cast<pid_t>(pid_); }
  // Resident memory in KiB, from /proc.
  long ResidentKiB() const {
    std::string status = gavio_test::ReadFile("/proc/" + std::to_string(pid_) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
  }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

HWND WaitForWindow(const std::string& title) {
  HWND found = nullptr;
  PumpUntil([&] { return (found = FindWindowExA(nullptr, nullptr, "static", title.c_str())); });
  return found;
}

// The listening socket of the (only) window a process published.
std::string SocketOf(pid_t pid) {
  char folder[256];
  if (!GavioGetRemoteWindowFolder(folder, sizeof folder)) return "";
  std::string prefix = std::to_string(pid) + "-", found;
  DIR* dir = opendir(folder);
  while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    std::string name = entry->d_name;
    if (name.rfind(prefix, 0) == 0 && name.size() > 5 && name.substr(name.size() - 5) == ".sock") {
      found = std::string(folder) + "/" + name;
    }
  }
  if (dir != nullptr) closedir(dir);
  return found;
}

int Connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A request header as the wire carries it (magic, version, message, size,
// wParam, dwData).
std::string Header(uint32_t size) {
  uint32_t words[8] = {0x50495647u, 1, WM_COPYDATA, size, 0, 0, 0, 0};
  return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

LRESULT SendText(HWND window, const std::string& text) {
  COPYDATASTRUCT record{2, static_cast<DWORD>(text.size()), const_cast<char*>(text.data())};
  return SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record));
}

// Connections that never speak, or stall midway, must neither lock a window
// out nor hold the receiver's memory for what they only announced.
TEST(RemoteWindowsUnderHostilePeers, SilentConnectionsAndAnnouncedSizesCostTheReceiverNothing) {
  std::string key = UniqueKey("raw");
  Peer peer({"raw", key});
  HWND remote = WaitForWindow(key);
  ASSERT_NE(remote, nullptr);
  EXPECT_EQ(SendText(remote, "kept"), 4002);  // leaves a connection kept for the next send
  std::string socket_path = SocketOf(peer.pid());
  ASSERT_FALSE(socket_path.empty());
  long resident_before = peer.ResidentKiB();

  // Half announce the largest payload and send a few bytes of it, then as
  // many more connect and say nothing: more than a window holds.
  std::vector<int> hostile;
  std::string announced = Header(GAVIO_MAX_REMOTE_COPYDATA) + "0123456789";
  for (int i = 0; i < 70; ++i) {
    int fd = Connect(socket_path);
    ASSERT_GE(fd, 0);
    hostile.push_back(fd);
    if (i < 35) {
      ASSERT_EQ(send(fd, announced.data(), announced.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(announced.size()));
    }
  }
  // Still reachable (the kept connection was given up for the newcomers:
  // the send goes again on a fresh one), and answering.
  EXPECT_EQ(SendText(remote, "after"), 5002);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(SendText(remote, "again"), 5002);
  long resident_after = peer.ResidentKiB();
  EXPECT_LT(resident_after - resident_before, 64 * 1024)
      << "the receiver grew from " << resident_before << " KiB to " << resident_after << " KiB";

  // The receiver lets go of the silent and the stalled ones by itself.
  int closed = 0;
  for (int fd : hostile) {
    pollfd entry{fd, POLLIN, 0};
    char byte;
    if (poll(&entry, 1, 20000) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0) ++closed;
    close(fd);
  }
  EXPECT_EQ(closed, static_cast<int>(hostile.size()));
}

// A receiver killed outright, or stopped, fails the send (a kept
// connection included) instead of holding the sender or claiming success.
TEST(RemoteWindowsUnderHostilePeers, AStoppedOrKilledReceiverFailsTheSend) {
  std::string key = UniqueKey("raw");
  Peer peer({"raw", key});
  HWND remote = WaitForWindow(key);
  ASSERT_NE(remote, nullptr);
  ASSERT_EQ(SendText(remote, "one"), 3002);

  DWORD previous = GavioSetRemoteSendTimeout(300);
  ASSERT_EQ(kill(peer.pid(), SIGSTOP), 0);
  EXPECT_EQ(SendText(remote, "two"), 0);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  GavioSetRemoteSendTimeout(previous);

  ASSERT_EQ(kill(peer.pid(), SIGKILL), 0);
  kill(peer.pid(), SIGCONT);
  EXPECT_TRUE(PumpUntil([&] { return SendText(remote, "three") == 0; }));
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

// gavio ipc: what it prints and its exit status; "exit=N" ends the output.
std::string RunGavio(const std::string& environment, const std::string& arguments) {
  std::string command = environment + " timeout 60 " + gavio_test::BuildDir() + "/gavio ipc " +
                        arguments + " 2>&1; echo exit=$?";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

TEST(GavioIpc, SendReportsOnlyWhatTheReceiverGot) {
  std::string raw = UniqueKey("raw"), dying = UniqueKey("die"), stopped = UniqueKey("stopped");
  Peer rawPeer({"raw", raw});
  Peer diePeer({"die", dying});
  Peer stoppedPeer({"raw", stopped});
  ASSERT_NE(WaitForWindow(raw), nullptr);
  ASSERT_NE(WaitForWindow(dying), nullptr);
  ASSERT_NE(WaitForWindow(stopped), nullptr);
  ASSERT_EQ(kill(stoppedPeer.pid(), SIGSTOP), 0);

  std::string ok = RunGavio("", "send " + raw + " hello");
  EXPECT_NE(ok.find("sent 5 bytes to 1 window(s)"), std::string::npos) << ok;
  EXPECT_NE(ok.find("exit=0"), std::string::npos) << ok;
  for (const std::string& key : {dying, stopped, UniqueKey("nobody")}) {
    std::string failed = RunGavio("GAVIO_REMOTE_SEND_TIMEOUT_MS=500", "send " + key + " hello");
    EXPECT_EQ(failed.find("sent "), std::string::npos) << failed;
    EXPECT_NE(failed.find("exit=1"), std::string::npos) << failed;
  }
}

TEST(GavioIpc, ListenRefusesToStartWhenOtherProcessesCannotReachIt) {
  gavio_test::TempDir runtime, elsewhere;
  ASSERT_EQ(symlink(elsewhere.path().c_str(), runtime.File("gavio").c_str()), 0);
  std::string output =
      RunGavio("XDG_RUNTIME_DIR=" + runtime.path(), "listen " + UniqueKey("listen"));
  EXPECT_EQ(output.find("listening"), std::string::npos) << output;
  EXPECT_NE(output.find("folder"), std::string::npos) << output;
  EXPECT_NE(output.find("exit=1"), std::string::npos) << output;
}

}  // namespace
