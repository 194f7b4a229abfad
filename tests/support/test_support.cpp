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

}  // namespace gavio_test
