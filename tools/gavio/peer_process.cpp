#include "peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/errors.h"

extern char** environ;

namespace gavio_tool {

bool PeerProcess::Start(const std::string& program, const std::vector<std::string>& arguments) {
  Stop();
  int input[2], output[2];
  if (pipe2(input, O_CLOEXEC) != 0) return false;
  if (pipe2(output, O_CLOEXEC) != 0) {
    close(input[0]);
    close(input[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  input_ = input[1];
  output_ = output[0];
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  return ReadPort();
}

void PeerProcess::Stop() {
  if (input_ >= 0) close(input_);
  input_ = -1;
  if (pid_ > 0) {
    // It ends at the end of its input; a peer that does not is killed.
    DWORD start = GetTickCount();
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (GetTickCount() - start > 5000) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      poll(nullptr, 0, 10);
    }
  }
  pid_ = -1;
  if (output_ >= 0) close(output_);
  output_ = -1;
}

bool PeerProcess::ReadPort() {
  std::string line;
  DWORD start = GetTickCount();
  while (line.find('\n') == std::string::npos && GetTickCount() - start < 10000) {
    pollfd entry{output_, POLLIN, 0};
    if (poll(&entry, 1, 100) != 1) continue;
    char buffer[64];
    ssize_t got = read(output_, buffer, sizeof buffer);
    if (got <= 0) return false;
    line.append(buffer, static_cast<size_t>(got));
  }
  long port = strtol(line.c_str(), nullptr, 10);
  if (port <= 0 || port > 65535) return false;
  port_ = static_cast<uint16_t>(port);
  return true;
}

}  // namespace gavio_tool
