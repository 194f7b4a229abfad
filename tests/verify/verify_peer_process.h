// verify_peer, the verification service stand-in, as a child process of
// a test: started on an ephemeral loopback port, ended at the end of its
// input (or killed), its standard output read line by line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace verify_test {

// verify_peer as a child process; its standard output is read line by line.
class VerifyPeer {
 public:
  VerifyPeer(const std::string& folder, const std::vector<std::string>& switches) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> args = {gavio_test::BuildDir() + "/verify_peer", folder};
    args.insert(args.end(), switches.begin(), switches.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    pollfd p{stdout_, POLLIN, 0};
    while (pid_ > 0 && output_.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
      if (!ReadSome()) break;
    }
    port_ = static_cast<uint16_t>(atoi(output_.c_str()));
  }
  ~VerifyPeer() {
    close(stdin_);  // the peer ends at the end of its input
    Kill();
    close(stdout_);
  }
  uint16_t port() const { return port_; }
  // Reads what the peer printed so far (without blocking).
  int Count(const std::string& line) {
    pollfd p{stdout_, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && ReadSome()) {
    }
    int n = 0;
    for (size_t at = output_.find(line); at != std::string::npos; at = output_.find(line, at + 1)) ++n;
    return n;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  bool ReadSome() {
    char buffer[256];
    ssize_t n = read(stdout_, buffer, sizeof buffer);
    if (n > 0) output_.append(buffer, static_cast<size_t>(n));
    return n > 0;
  }
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  uint16_t port_ = 0;
  std::string output_;
};

}  // namespace verify_test
