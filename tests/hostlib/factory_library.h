// Shared helpers of the factory library tests: the library loaded the way a
// host loads it, temporary folders and a bounded message pump.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "gavio/host.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "support/test_support.h"

namespace gavio::hostlib_test {

inline const char kFactoryLibraryPath[] = GAVIO_BUILD_DIR "/libgavfact.so";

// The factory library's handle, loaded once and never unloaded.
inline void* FactoryLibrary() {
  static void* library = dlopen(kFactoryLibraryPath, RTLD_NOW);
  return library;
}

inline GavioCreateComponentFn FactoryCreateComponent() {
  void* library = FactoryLibrary();
  if (library == nullptr) return nullptr;
  return reinterpret_cast<GavioCreateComponentFn>(dlsym(library, "CreateComponent"));
}

// What CreateComponent(361, 0) of the factory library returns.
inline IComponentFactory* FactoryObject() {
  GavioCreateComponentFn create = FactoryCreateComponent();
  return create != nullptr ? static_cast<IComponentFactory*>(create(361, 0)) : nullptr;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "gavfact-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteTextFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Dispatches this thread's messages until done() holds or limitMs passed.
// Returns done().
inline bool PumpUntil(const std::function<bool()>& done, DWORD limitMs) {
  return gavio_test::PumpUntil(done, limitMs);
}

// Dispatches for a while, to see that nothing more arrives.
inline void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

}  // namespace gavio::hostlib_test
