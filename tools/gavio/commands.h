// The gavio command-line host: each subcommand group lives in its own
// source file and is listed in main.cpp's command table.
//
// Commands reach the library only like a client does: through the exported
// functions of libgavio.so (loaded at start) and the component interfaces
// in include/gavio/. Each returns the process exit code (0 = success) and
// writes errors to stderr.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "gavio/component.h"

namespace gavio_tool {

// The loaded libgavio.so.
struct Library {
  void* module = nullptr;
  std::string factoryPath;  // the factory library loaded with it
  gavio::IComponent* (*create)(uint32_t id, uint32_t creator) = nullptr;
  uint32_t (*getIds)(uint32_t* ids, uint32_t max) = nullptr;
  int32_t (*canUnload)() = nullptr;
};
const Library& library();

// Creates a component through the library; prints an error when it fails.
gavio::IComponent* Create(uint32_t componentId);
template <class T>
T* CreateAs(uint32_t componentId) {
  return static_cast<T*>(Create(componentId));
}

// Destroys a component at scope end.
template <class T>
class Owned {
 public:
  explicit Owned(uint32_t id) : component_(CreateAs<T>(id)) {}
  ~Owned() {
    if (component_ != nullptr) component_->Destroy(0);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* operator->() const { return component_; }
  T* get() const { return component_; }
  explicit operator bool() const { return component_ != nullptr; }

 private:
  T* component_;
};

// Pumps the calling thread's messages until done() is true or the time
// passes. Returns done().
bool PumpUntil(bool (*done)(void*), void* context, uint32_t timeoutMs);
// Pumps for a fixed time.
void PumpFor(uint32_t milliseconds);

// Subcommand groups: argv[0] is the group's name.
int RunComponents(int argc, char** argv);
int RunDemo(int argc, char** argv);
int RunVfs(int argc, char** argv);
int RunMd5(int argc, char** argv);
int RunBase64(int argc, char** argv);
int RunCipher(int argc, char** argv);  // "encrypt" and "decrypt"
int RunIpc(int argc, char** argv);
int RunZip(int argc, char** argv);

// The registered ids, in registration order, and the class behind an id.
std::vector<uint32_t> RegisteredIds();
const char* ClassNameOf(uint32_t id);
int RunTcp(int argc, char** argv);
int RunUpdate(int argc, char** argv);
int RunGuard(int argc, char** argv);
int RunVerify(int argc, char** argv);
int RunConnect(int argc, char** argv);

// Steps of "gavio demo", one per subsystem; each prints what happened and
// returns false when something failed.
bool DemoRuntimeServices();
bool DemoVfs();
bool DemoZip();
bool DemoProxyTunnel();
bool DemoUpdate();
bool DemoSecurityVerification();
bool DemoServerList();

}  // namespace gavio_tool
