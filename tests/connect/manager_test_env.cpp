#include "manager_test_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/modules.h"
#include "support/test_support.h"

extern char** environ;

namespace connect_test {
namespace {

// Trace and errors on: the tests read the attempts from the log.
FactoryEnvironment& Environment() {
  static FactoryEnvironment environment("[Log]\nDebugMask=0x23\n");
  return environment;
}

}  // namespace

FactoryEnvironment::FactoryEnvironment(const std::string& iniText) : ini(dir.File("Gavio.ini")) {
  signal(SIGPIPE, SIG_IGN);
  std::string data = dir.File("data");
  mkdir(data.c_str(), 0700);
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  gavio_test::WriteFile(ini, iniText);
  gavio::HostSetRegistryPath(ini.c_str());
  gavio::HostSetFactoryHandle(LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str()));
}

gavio::IComponent* CreateConnectComponent(uint32_t componentId) {
  FactoryEnvironment& environment = Environment();
  // Again each time: the connector tests' environment in the same program
  // names an INI of its own, without logging.
  gavio::HostSetRegistryPath(environment.ini.c_str());
  return gavio::HostCreateComponent(componentId, 0);
}

PeerProcess::PeerProcess(const std::string& program, const std::vector<std::string>& args) {
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
  std::string path = gavio_test::BuildDir() + "/" + program;
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
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

PeerProcess::~PeerProcess() {
  if (stdinFd_ >= 0) close(stdinFd_);  // the peer ends at the end of its input
  Kill();
}

void PeerProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool ManagerEvents::Has(const std::string& kind) const {
  return std::find(events.begin(), events.end(), kind) != events.end();
}

std::string ServerListXml(const std::string& listName, const std::vector<ListServer>& servers,
                          const std::vector<int>& ports, const std::string& extra) {
  std::string xml = "<Server>\n  <" + listName + " count=\"" + std::to_string(servers.size()) +
                    "\" " + extra + ">\n";
  for (size_t i = 0; i < servers.size(); ++i) {
    xml += "    <server" + std::to_string(i + 1) + " catalog=\"" +
           std::to_string(servers[i].catalog) + "\" host=\"" + servers[i].host + "\"/>\n";
  }
  if (!ports.empty()) {
    xml += "    <portlist count=\"" + std::to_string(ports.size()) + "\"";
    for (size_t k = 0; k < ports.size(); ++k) {
      xml += " port" + std::to_string(k + 1) + "=\"" + std::to_string(ports[k]) + "\"";
    }
    xml += "/>\n";
  }
  return xml + "  </" + listName + ">\n</Server>\n";
}

uint16_t ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

std::vector<std::string> Attempts(const std::string& log) {
  std::vector<std::string> attempts;
  const std::string marker = "Connect Server -> ";
  for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    size_t hostStart = at + marker.size();
    size_t separator = log.find(" : ", hostStart);
    size_t portEnd = log.find(',', separator);
    if (separator == std::string::npos || portEnd == std::string::npos) break;
    attempts.push_back(log.substr(hostStart, separator - hostStart) + ":" +
                       log.substr(separator + 3, portEnd - separator - 3));
  }
  return attempts;
}

}  // namespace connect_test
