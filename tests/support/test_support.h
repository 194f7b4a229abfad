// Shared fixtures of the test programs: temporary folders, captured
// debugger output, message pumping with a bound, and the built libraries.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>

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
// a test that hits it has failed). Returns done(). It blocks in GetMessageA
// with a deadline timer and looks at done() after each message, so a
// condition must be made true by a message to this thread (a window
// procedure, a timer, a post from the thread that changed it): a lost
// wake-up then fails the test instead of hiding behind a polling slice.
bool PumpUntil(const std::function<bool()>& done, uint32_t limitMs = 10000);
// The same for a condition no message to this thread announces: another
// process ended or opened a window, or sent to this thread's windows across
// processes (served inside the wait, as Windows serves sent messages, so
// GetMessageA does not return for it). done() is also looked at every few
// milliseconds.
bool PumpAndPollUntil(const std::function<bool()>& done, uint32_t limitMs = 10000);
// Pumps for a while, for checking that something does NOT happen.
void PumpFor(uint32_t milliseconds);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

// The build folder (libraries, programs, "Gavio.ini").
std::string BuildDir();

}  // namespace gavio_test
