// gavio: the command-line host. Loads the component library like a game
// client does (the platform library is linked, libgavio.so and the factory
// library are loaded at run time), pumps messages, and runs a subcommand.
#include <stdio.h>
#include <string.h>

#include <string>

#include "commands.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "platform/paths.h"

// Subcommand groups built by other files; a group not built yet is absent.
namespace gavio_tool {
int RunVfs(int argc, char** argv) __attribute__((weak));
int RunMd5(int argc, char** argv) __attribute__((weak));
int RunBase64(int argc, char** argv) __attribute__((weak));
int RunCipher(int argc, char** argv) __attribute__((weak));
int RunIpc(int argc, char** argv) __attribute__((weak));
int RunUpdate(int argc, char** argv) __attribute__((weak));
bool DemoRuntimeServices() __attribute__((weak));
bool DemoVfs() __attribute__((weak));
}  // namespace gavio_tool

namespace gavio_tool {
namespace {

Library g_library;

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* usage;
};

const Command kCommands[] = {
    {"components", RunComponents, "components              list the registered component classes"},
    {"demo", RunDemo, "demo                    run the main jobs end to end and report"},
    {"vfs", RunVfs, "vfs pack|ls|cat|extract|add|rm|info|mount ...   archive files"},
    {"md5", RunMd5, "md5 FILE...             MD5 digests, as md5sum prints them"},
    {"base64", RunBase64, "base64 encode|decode    standard input to standard output"},
    {"encrypt", RunCipher, "encrypt --key HEX32 IN OUT"},
    {"decrypt", RunCipher, "decrypt --key HEX32 IN OUT"},
    {"ipc", RunIpc, "ipc listen KEY | ipc send KEY TEXT"},
    {"update", RunUpdate, "update [--startup] [--online] [--quit N] RECORD   run the updater"},
};

void PrintUsage() {
  fprintf(stderr, "usage: gavio COMMAND [ARGS]\n");
  for (const Command& c : kCommands) {
    if (c.run != nullptr) fprintf(stderr, "  gavio %s\n", c.usage);
  }
}

bool LoadLibraries() {
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) {
    fprintf(stderr, "gavio: cannot find the program's folder\n");
    return false;
  }
  // The factory library goes first, as a client loads it: components log
  // only while it is loaded.
  std::string factory = std::string(folder) + "/GavFact.dll";
  if (LoadLibraryA(factory.c_str()) == nullptr) {
    fprintf(stderr, "gavio: cannot load the factory library beside the program (%s)\n",
            factory.c_str());
    return false;
  }
  std::string path = std::string(folder) + "/libgavio.so";
  g_library.module = LoadLibraryA(path.c_str());
  if (g_library.module == nullptr) {
    fprintf(stderr, "gavio: cannot load %s\n", path.c_str());
    return false;
  }
  g_library.create = reinterpret_cast<decltype(g_library.create)>(
      GetProcAddress(g_library.module, "CreateComponent"));
  g_library.get_ids = reinterpret_cast<decltype(g_library.get_ids)>(
      GetProcAddress(g_library.module, "GetComponentIDs"));
  g_library.can_unload = reinterpret_cast<decltype(g_library.can_unload)>(
      GetProcAddress(g_library.module, "GavioDllCanUnloadNow"));
  if (g_library.create == nullptr || g_library.get_ids == nullptr ||
      g_library.can_unload == nullptr) {
    fprintf(stderr, "gavio: %s lacks the component exports\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

const Library& library() { return g_library; }

gavio::IComponent* Create(uint32_t componentId) {
  gavio::IComponent* component = g_library.create(componentId, 0);
  if (component == nullptr) fprintf(stderr, "gavio: cannot create component %u\n", componentId);
  return component;
}

bool PumpUntil(bool (*done)(void*), void* context, uint32_t timeoutMs) {
  DWORD start = GetTickCount();
  while (!done(context)) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
      if (done(context)) return true;
    }
    WaitMessageTimeout(timeoutMs - elapsed < 50 ? timeoutMs - elapsed : 50);
  }
  return true;
}

void PumpFor(uint32_t milliseconds) {
  PumpUntil([](void*) { return false; }, nullptr, milliseconds);
}

}  // namespace gavio_tool

int main(int argc, char** argv) {
  using namespace gavio_tool;
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0) {
    PrintUsage();
    return argc < 2 ? 2 : 0;
  }
  for (const Command& c : kCommands) {
    if (strcmp(argv[1], c.name) != 0 || c.run == nullptr) continue;
    if (!LoadLibraries()) return 1;
    return c.run(argc - 1, argv + 1);
  }
  fprintf(stderr, "gavio: unknown command '%s'\n", argv[1]);
  PrintUsage();
  return 2;
}
