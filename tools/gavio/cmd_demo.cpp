// gavio demo: runs the library's main jobs end to end on this machine and
// says what happened. Each subsystem adds its step here.
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "cli.h"
#include "commands.h"
#include "gavio/ids.h"
#include "gavio/timers.h"
#include "platform/errors.h"

namespace gavio_tool {

namespace {

bool DemoLifecycle() {
  std::vector<uint32_t> ids = RegisteredIds();
  printf("== components: creating and destroying %zu registered classes\n", ids.size());
  int created = 0;
  for (uint32_t id : ids) {
    gavio::IComponent* component = Create(id);
    if (component == nullptr) continue;
    ++created;
    // Forced, so kept-alive classes (the memory manager) go too.
    component->Destroy(1);
  }
  bool empty = library().canUnload() != 0;
  printf("   created %d of %zu; live instances left: %s\n", created, ids.size(),
         empty ? "none" : "some (the leak report follows at exit)");
  return created == static_cast<int>(ids.size()) && empty;
}

struct TimeoutProbe : gavio::ITimeoutEvent {
  bool fired = false;
  uint32_t param = 0;
  void OnTimeout(uint32_t p) override {
    fired = true;
    param = p;
  }
};

bool DemoTimer() {
  printf("== timers: a 100 ms timeout on this thread\n");
  auto* timeout = CreateAs<gavio::ITimeout>(gavio::kTimeoutId);
  if (timeout == nullptr) return false;
  TimeoutProbe probe;
  DWORD start = GetTickCount();
  timeout->SetTimeout(100, &probe, 42, nullptr);
  bool fired = PumpUntil([](void* p) { return static_cast<TimeoutProbe*>(p)->fired; }, &probe,
                         5000);
  printf("   %s after %u ms with parameter %u\n", fired ? "fired" : "did NOT fire",
         GetTickCount() - start, probe.param);
  timeout->Destroy(0);
  return fired && probe.param == 42;
}

}  // namespace

int RunDemo(int argc, char** argv) {
  Arguments args;
  int status = ParseArguments(argc, argv, "demo",
                              "usage: gavio demo\n"
                              "Runs the library's main jobs end to end on this machine (components,\n"
                              "a timer, digest and cipher, an IPC round trip with a second process,\n"
                              "an archive, a proxy tunnel, an update round, a connection through a\n"
                              "server list, a security refresh and file check against a verification\n"
                              "service) and says what happened.\n"
                              "Exit status 0 when all succeeded.\n",
                              {}, &args);
  if (status != -1) return status;
  if (!args.operands.empty()) return UsageError("demo", "no operands expected");
  bool ok = true;
  ok = DemoLifecycle() && ok;
  ok = DemoTimer() && ok;
  ok = DemoRuntimeServices() && ok;
  ok = DemoVfs() && ok;
  ok = DemoZip() && ok;
  ok = DemoProxyTunnel() && ok;
  ok = DemoUpdate() && ok;
  ok = DemoServerList() && ok;
  ok = DemoSecurityVerification() && ok;
  if (library().canUnload() == 0) {
    // The leak report is written to the debugger output at unload: show it.
    setenv("GAVIO_DEBUG_OUTPUT", "stderr", 0);
    ok = false;
  }
  printf("%s\n", ok ? "demo: all steps succeeded" : "demo: some steps FAILED");
  return ok ? 0 : 1;
}

}  // namespace gavio_tool
