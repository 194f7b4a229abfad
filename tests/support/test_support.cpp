#include "support/test_support.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/errors.h"
#include "platform/messages.h"

namespace gavio_test {

TempDir::TempDir() {
  char pattern[] = "/tmp/gavio-test-XXXXXX";
  char* made = mkdtemp(pattern);
  path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (path_ != "/tmp") std::filesystem::remove_all(path_, ignored);
}

DebugCapture::DebugCapture() : file_(dir_.File("debug.txt")) {
  const char* previous = getenv("GAVIO_DEBUG_OUTPUT");
  had_previous_ = previous != nullptr;
  if (had_previous_) previous_ = previous;
  setenv("GAVIO_DEBUG_OUTPUT", file_.c_str(), 1);
}

DebugCapture::~DebugCapture() {
  if (had_previous_) {
    setenv("GAVIO_DEBUG_OUTPUT", previous_.c_str(), 1);
  } else {
    unsetenv("GAVIO_DEBUG_OUTPUT");
  }
}

std::string DebugCapture::Text() const { return ReadFile(file_); }

void DebugCapture::Clear() const { WriteFile(file_, ""); }

int DebugCapture::Count(const std::string& text) const {
  std::string all = Text();
  int count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

bool PumpUntil(const std::function<bool()>& done, uint32_t limitMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limitMs) return false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageA(&msg);
      if (done()) return true;
    }
    WaitMessageTimeout(limitMs - elapsed < 20 ? limitMs - elapsed : 20);
  }
  return true;
}

void PumpFor(uint32_t milliseconds) {
  PumpUntil([] { return false; }, milliseconds);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string BuildDir() { return GAVIO_BUILD_DIR; }

std::vector<ProgramResult> RunPrograms(const std::vector<ProgramRun>& runs) {
  struct Child {
    pid_t pid = -1;
    int out = -1;
  };
  std::vector<Child> children(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) continue;
    std::string program = BuildDir() + "/" + runs[i].args.at(0);
    std::vector<char*> argv;
    for (const std::string& arg : runs[i].args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(pipe_fds[1], 1);
      close(pipe_fds[0]);
      close(pipe_fds[1]);
      for (const auto& [name, value] : runs[i].environment) setenv(name.c_str(), value.c_str(), 1);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(pipe_fds[1]);
    children[i] = Child{pid, pipe_fds[0]};
  }
  std::vector<ProgramResult> results(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    if (children[i].pid < 0) continue;
    char chunk[4096];
    for (ssize_t n; (n = read(children[i].out, chunk, sizeof chunk)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      results[i].output.append(chunk, static_cast<size_t>(n));
    }
    close(children[i].out);
    int status = 0;
    while (waitpid(children[i].pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) results[i].exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) results[i].signal = WTERMSIG(status);
  }
  return results;
}

}  // namespace gavio_test
