// A minimal gavio client: loads the libraries as a game client does,
// creates a component, pumps its thread's messages until the component
// calls back, and reads a file through the virtual file system.
//
// Build against an installed package, with CMake (see CMakeLists.txt
// here) or with pkg-config:
//   c++ -std=c++20 gavio_example.cpp $(pkg-config --cflags --libs gavio) \
//       -DGAVIO_LIBDIR="\"$(pkg-config --variable=libdir gavio)\""
//
// libgavio.so and libgavfact.so both export CreateComponent, so a client
// never links them: it loads each with dlopen and looks its functions up
// in the library it means. Only the platform library (messages, timers)
// is linked.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "gavio/gavio.h"
#include "gavio/ids.h"
#include "gavio/timers.h"
#include "gavio/vfs.h"
#include "platform/messages.h"

#ifndef GAVIO_LIBDIR
#define GAVIO_LIBDIR "/usr/local/lib"
#endif

namespace {

struct TimeoutSink : gavio::ITimeoutEvent {
  bool fired = false;
  void OnTimeout(uint32_t) override { fired = true; }
};

// Pumps this thread's messages until the sink fired or 5 s passed.
bool PumpUntilFired(const TimeoutSink& sink) {
  UINT_PTR deadline = SetTimer(nullptr, 0, 5000, nullptr);
  MSG msg;
  while (!sink.fired && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == deadline) break;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, deadline);
  return sink.fired;
}

int Fail(const char* what) {
  fprintf(stderr, "gavio_example: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = argc > 1 ? argv[1] : GAVIO_LIBDIR;
  // The factory library first: the components create their helpers and
  // log through it.
  void* factory = dlopen((folder + "/libgavfact.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  void* library = dlopen((folder + "/libgavio.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (factory == nullptr || library == nullptr) return Fail(dlerror());
  auto create = reinterpret_cast<GavioCreateComponentFn>(dlsym(library, "CreateComponent"));
  auto setFactory = reinterpret_cast<GavioSetFactoryHandleFn>(dlsym(library, "SetFactoryHandle"));
  auto canUnload = reinterpret_cast<GavioDllCanUnloadNowFn>(dlsym(library, "GavioDllCanUnloadNow"));
  if (create == nullptr || setFactory == nullptr || canUnload == nullptr) return Fail("missing exports");
  setFactory(factory);

  // A component that calls back on this thread, through its messages.
  auto* timeout = static_cast<gavio::ITimeout*>(create(gavio::kTimeoutId, 0));
  if (timeout == nullptr) return Fail("no timeout component");
  TimeoutSink sink;
  timeout->SetTimeout(50, &sink, 0, nullptr);
  bool fired = PumpUntilFired(sink);
  timeout->Destroy(0);
  if (!fired) return Fail("the timeout never fired");
  printf("timeout fired\n");

  // A file read through the file-system manager.
  char dir[] = "/tmp/gavio-example-XXXXXX";
  if (mkdtemp(dir) == nullptr) return Fail("no temporary folder");
  std::string file = std::string(dir) + "/hello.txt";
  FILE* out = fopen(file.c_str(), "w");
  if (out == nullptr) return Fail("cannot write the sample file");
  fputs("hello through the file system\n", out);
  fclose(out);
  auto* files = static_cast<gavio::IFileSysMgr*>(create(gavio::kFileSysMgrId, 0));
  if (files == nullptr || files->Init() == 0) return Fail("no file-system manager");
  int32_t root = files->OpenRoot(dir, gavio::kRootReadOnly);
  gavio::IBuffer* content = root == -1 ? nullptr : files->ReadFileFromRoot(root, "hello.txt");
  if (content == nullptr) return Fail("cannot read the sample file");
  printf("read %d bytes: %.*s", content->Size(), content->Size(),
         reinterpret_cast<const char*>(content->Data()));
  content->Release();
  files->CloseRoot(root);
  files->Release();
  unlink(file.c_str());
  rmdir(dir);
  printf("instances left: %s\n", canUnload() ? "none" : "some");
  return 0;
}
