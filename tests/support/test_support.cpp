#include "support/test_support.h"

#include <stdlib.h>
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

namespace {

// Dispatches until done() or the deadline timer fires; recheckMs > 0 adds
// a timer that only makes the loop look at done() again.
bool Pump(const std::function<bool()>& done, uint32_t limitMs, uint32_t recheckMs) {
  if (done()) return true;
  UINT_PTR deadline = SetTimer(nullptr, 0, limitMs, nullptr);
  UINT_PTR recheck = recheckMs > 0 ? SetTimer(nullptr, 0, recheckMs, nullptr) : 0;
  MSG msg;
  while (!done()) {
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int32_t>(msg.wParam));  // for the caller's own loop
      break;
    }
    if (got < 0) break;
    bool ownTimer = msg.message == WM_TIMER && msg.hwnd == nullptr && msg.lParam == 0;
    if (ownTimer && msg.wParam == deadline) break;
    if (ownTimer && msg.wParam == recheck) continue;
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, deadline);
  if (recheck != 0) KillTimer(nullptr, recheck);
  return done();
}

}  // namespace

bool PumpUntil(const std::function<bool()>& done, uint32_t limitMs) {
  return Pump(done, limitMs, 0);
}

bool PumpAndPollUntil(const std::function<bool()>& done, uint32_t limitMs) {
  return Pump(done, limitMs, 5);
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

}  // namespace gavio_test
