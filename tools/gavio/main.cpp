// gavio: the command-line host. Loads the component library like a game
// client does (the platform library is linked, libgavio.so and the factory
// library are loaded at run time), pumps messages, and runs a subcommand.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "cli.h"
#include "commands.h"
#include "gavio/gavio.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "platform/paths.h"

namespace gavio_tool {
namespace {

Library g_library;

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

const Command kCommands[] = {
    {"components", RunComponents, "components                 the registered component classes"},
    {"demo", RunDemo, "demo                       run the main jobs end to end and report"},
    {"vfs", RunVfs, "vfs pack|extract|ls|cat|add|rm|info|mount ...   archive files"},
    {"md5", RunMd5, "md5 [-c] [FILE...]         MD5 digests, as md5sum prints and checks them"},
    {"base64", RunBase64, "base64 encode|decode [FILE]   Base64, to standard output"},
    {"encrypt", RunCipher, "encrypt --key HEX32 IN OUT  seal a file with the block cipher"},
    {"decrypt", RunCipher, "decrypt --key HEX32 IN OUT  open a sealed file (a new OUT is private)"},
    {"ipc", RunIpc, "ipc listen KEY | ipc send KEY TEXT   messages between processes"},
    {"zip", RunZip, "zip ls|extract ZIP [DIR] [--flatten]   zip archives"},
    {"tcp", RunTcp, "tcp [--http-proxy|--socks5-proxy HOST:PORT] HOST PORT   a TCP session"},
    {"guard", RunGuard, "guard check CLSID          would a page script get this control, and why"},
    {"connect", RunConnect, "connect [OPTIONS] SERVERLIST.xml LISTNAME   a game server through a server list"},
    {"verify", RunVerify, "verify [--config DIR] files FILE... | ip TYPE ADDRESS | control CLSID VERSION DLL | update"},
    {"update", RunUpdate, "update [--startup] [--online] [--quit N] RECORD   run the client tree's updater"},
};

void PrintUsage(FILE* to) {
  fprintf(to,
          "usage: gavio [-v] [-q] COMMAND [ARGS]\n"
          "       gavio COMMAND --help     the command's own options\n"
          "\n");
  for (const Command& c : kCommands) fprintf(to, "  gavio %s\n", c.summary);
  fprintf(to,
          "\n"
          "  -v, --verbose   also show the components' trace and error lines\n"
          "  -q, --quiet     no progress line\n"
          "  -h, --help      this text\n"
          "      --version   the version\n");
}

// The folder of the libraries: the program's own in the build folder
// (where "Gavio.ini" names the factory library), else the installed
// library folder.
std::string LibraryFolder(bool* installed) {
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return std::string();
  std::string beside = folder;
  *installed = access((beside + "/libgavio.so").c_str(), F_OK) != 0;
#ifdef GAVIO_LIBDIR_FROM_BINDIR
  if (*installed) return beside + "/" + GAVIO_LIBDIR_FROM_BINDIR;
#endif
  return beside;
}

bool LoadLibraries() {
  bool installed = false;
  std::string folder = LibraryFolder(&installed);
  if (folder.empty()) {
    fprintf(stderr, "gavio: cannot find the program's folder\n");
    return false;
  }
  // The factory library goes first, as a client loads it: components log
  // only while it is loaded.
  std::string factory = folder + "/GavFact.dll";
  void* factoryModule = LoadLibraryA(factory.c_str());
  if (factoryModule == nullptr) {
    fprintf(stderr, "gavio: cannot load the factory library %s\n", factory.c_str());
    return false;
  }
  std::string path = folder + "/libgavio.so";
  g_library.factoryPath = factory;
  g_library.module = LoadLibraryA(path.c_str());
  if (g_library.module == nullptr) {
    fprintf(stderr, "gavio: cannot load %s\n", path.c_str());
    return false;
  }
  if (installed) {
    // No "Gavio.ini" beside an installed program: the library is told which
    // factory library to use, as a client may do.
    auto setFactory = reinterpret_cast<GavioSetFactoryHandleFn>(
        GetProcAddress(g_library.module, "SetFactoryHandle"));
    if (setFactory != nullptr) setFactory(factoryModule);
  }
  g_library.create = reinterpret_cast<decltype(g_library.create)>(
      GetProcAddress(g_library.module, "CreateComponent"));
  g_library.getIds = reinterpret_cast<decltype(g_library.getIds)>(
      GetProcAddress(g_library.module, "GetComponentIDs"));
  g_library.canUnload = reinterpret_cast<decltype(g_library.canUnload)>(
      GetProcAddress(g_library.module, "GavioDllCanUnloadNow"));
  if (g_library.create == nullptr || g_library.getIds == nullptr ||
      g_library.canUnload == nullptr) {
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
  constexpr int kVersionOption = 256;
  const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                             {"version", no_argument, nullptr, kVersionOption},
                             {"verbose", no_argument, nullptr, 'v'},
                             {"quiet", no_argument, nullptr, 'q'},
                             {nullptr, 0, nullptr, 0}};
  // '+': options end at the command; what follows is the command's.
  for (int c; (c = getopt_long(argc, argv, "+:hvq", kOptions, nullptr)) != -1;) {
    if (c == 'h') {
      PrintUsage(stdout);
      return FinishOutput(0);
    }
    if (c == kVersionOption) {
      printf("gavio %s\n", GAVIO_VERSION_STRING);
      return FinishOutput(0);
    }
    if (c == 'v') g_verbose = true;
    if (c == 'q') g_quiet = true;
    if (c == '?' || c == ':') {
      fprintf(stderr, "gavio: unknown option: %s\nTry 'gavio --help'.\n", argv[optind - 1]);
      return 2;
    }
  }
  if (optind >= argc) {
    PrintUsage(stderr);
    return 2;
  }
  // -v also shows the components' own log lines (their debugger output),
  // unless the environment already sends them somewhere.
  if (g_verbose) setenv("GAVIO_DEBUG_OUTPUT", "stderr", 0);
  char** commandArgv = argv + optind;
  int commandArgc = argc - optind;
  for (const Command& c : kCommands) {
    if (strcmp(commandArgv[0], c.name) != 0) continue;
    if (!LoadLibraries()) return 1;
    return FinishOutput(c.run(commandArgc, commandArgv));
  }
  fprintf(stderr, "gavio: unknown command '%s'\nTry 'gavio --help'.\n", commandArgv[0]);
  return 2;
}
