// Shared fixtures of the test programs: temporary folders, captured
// debugger output, message pumping with a bound, and the built libraries.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gavio_test {

// A fresh folder under /tmp, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sends the debugger output (GAVIO_DEBUG_OUTPUT) to a file for the
// capture's life and reads it back.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  std::string Text() const;
  void Clear() const;
  // Number of occurrences of a text in what was captured.
  int Count(const std::string& text) const;

 private:
  TempDir dir_;
  std::string file_;
  std::string previous_;
  bool had_previous_;
};

// Pumps the calling thread's messages until done() or the limit (generous;
// a test that hits it has failed). Returns done().
bool PumpUntil(const std::function<bool()>& done, uint32_t limitMs = 10000);
// Pumps for a while, for checking that something does NOT happen.
void PumpFor(uint32_t milliseconds);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

// The build folder (libraries, programs, "Gavio.ini").
std::string BuildDir();

// A program of the build folder run as a child process, with extra
// environment variables; its standard output is collected.
struct ProgramRun {
  std::vector<std::string> args;  // args[0]: the program's name in the build folder
  std::vector<std::pair<std::string, std::string>> environment;
};
struct ProgramResult {
  int exitCode = -1;  // -1 when a signal ended it
  int signal = 0;
  std::string output;
};
// Starts every run at once, then waits for all of them.
std::vector<ProgramResult> RunPrograms(const std::vector<ProgramRun>& runs);
inline ProgramResult RunProgram(const ProgramRun& run) { return RunPrograms({run}).front(); }

}  // namespace gavio_test
