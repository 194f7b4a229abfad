#include "connect_test_env.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gavio/ids.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/modules.h"
#include "support/test_support.h"

extern char** environ;

namespace connect_test {

namespace {

// The factory library (host lookup, memory manager, log settings) and a
// private data folder.
struct Environment {
  gavio_test::TempDir dir;
  Environment() {
    signal(SIGPIPE, SIG_IGN);
    std::string data = dir.File("data");
    mkdir(data.c_str(), 0700);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    std::string ini = dir.File("Gavio.ini");
    // The connector's lines go to the debugger output, which is dropped
    // unless a test captures it.
    gavio_test::WriteFile(ini, "[Log]\nDebugMask=0x0\n[Log.322]\nDebugMask=0x23\n");
    gavio::HostSetRegistryPath(ini.c_str());
    gavio::HostSetFactoryHandle(LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str()));
  }
};

}  // namespace

gavio::IComponent* Create(uint32_t componentId) {
  static Environment environment;
  return gavio::HostCreateComponent(componentId, 0);
}

gavio::IConnector* CreateConnector(int32_t maximum, int16_t width, int32_t offset) {
  auto* connector = static_cast<gavio::IConnector*>(Create(gavio::kConnectorId));
  if (connector == nullptr) return nullptr;
  gavio::SocketParam param{gavio::kProxyTypeTcp, nullptr};
  connector->SetSocketParam(&param);
  connector->SetPacketParam(maximum, width, offset);
  return connector;
}

gavio::ServerEntry Entry(const char* address, uint16_t port, const char* hostName) {
  gavio::ServerEntry entry{};
  entry.serverId = port;
  strncpy(entry.address, address, sizeof entry.address - 1);
  entry.port = port;
  strncpy(entry.hostName, hostName, sizeof entry.hostName - 1);
  return entry;
}

std::string Packet(uint32_t size, int width, uint32_t offset, uint32_t seed) {
  std::string packet(size, '\0');
  uint32_t header = offset + static_cast<uint32_t>(width);
  for (int i = 0; i < width && offset + i < size; ++i) {
    packet[offset + i] = static_cast<char>(size >> (8 * (width - 1 - i)));
  }
  for (uint32_t j = header; j < size; ++j) packet[j] = static_cast<char>((seed + j - header) & 0xFF);
  return packet;
}

int RecordingListener::Count(Kind kind) const {
  int n = 0;
  for (const Event& e : events) n += e.kind == kind ? 1 : 0;
  return n;
}

bool RecordingListener::WaitFor(Kind kind, int count, uint32_t limitMs) const {
  return gavio_test::PumpUntil([&] { return Count(kind) >= count; }, limitMs);
}

GamePeer::GamePeer(const std::vector<std::string>& options) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string program = gavio_test::BuildDir() + "/game_peer";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& option : options) argv.push_back(const_cast<char*>(option.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
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

GamePeer::~GamePeer() {
  if (stdinFd_ >= 0) close(stdinFd_);  // the peer ends at the end of its input
  Kill();
}

void GamePeer::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace connect_test
