// Embedded browser host (383). Only what the control guard needs of it:
// every instance counts itself; the first installs the guard and the last
// one to go removes it, so the guard is in place exactly while a browser
// exists.
#include <string.h>

#include <mutex>
#include <new>

#include "browser/control_guard.h"
#include "com/control_registry.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "gavio/browser.h"
#include "gavio/ids.h"
#include "gavio/verify.h"
#include "host/factories.h"
#include "platform/errors.h"

namespace gavio {
namespace {

// The live instances of the process. Creating and destroying browsers may
// happen on several threads, so the count and the install decision go
// together under one lock.
struct BrowserCount {
  std::mutex mutex;
  int32_t live = 0;
};

BrowserCount& Count() {
  static BrowserCount* count = new BrowserCount;
  return *count;
}

class CGavWebBrowser final : public Component<kBrowserId, IWebBrowser> {
 public:
  CGavWebBrowser() : log_(nullptr, kBrowserId) {
    BrowserCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    if (++count.live == 1 && !ControlGuardInstalled()) {
      log_.Trace("InstallHooks");
      InstallControlGuard(ApproveByVerifier);
    }
  }

  int32_t CheckControl(const char* classId, ControlCheck* out) override {
    GAVIO_HOLD_OR_RETURN(0);
    Guid parsed;
    if (out == nullptr || !com::ClassIdFromText(classId, &parsed)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    memset(out, 0, sizeof *out);
    char text[kClassIdTextLength + 1];
    com::ClassIdToText(parsed, text);
    out->moduleFound = FindRegisteredModule(text, out->modulePath, sizeof out->modulePath);
    if (!out->moduleFound) return 1;
    out->version = ModuleVersionNumber(out->modulePath);
    TGavioPtr verifier(nullptr, kSecurityVerifierId);
    out->verifierFound = verifier ? 1 : 0;
    out->allowed = 1;
    if (verifier) {
      out->allowed = ApproveWith(verifier.As<ISecurityVerifier>(), out->modulePath, text,
                                 out->version, &out->verifierAnswer);
    }
    return 1;
  }

  int32_t IsGuardInstalled() override { return ControlGuardInstalled() ? 1 : 0; }

  void ComponentFinalize() override {
    log_.Trace("CGavWebBrowser::UnInstallGavioHook");
    BrowserCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    if (--count.live == 0 && ControlGuardInstalled()) {
      RemoveControlGuard();
      log_.Trace("UninstallHooks");
    }
  }

 private:
  LogSink log_;
};

}  // namespace

IComponent* NewWebBrowser() { return new (std::nothrow) CGavWebBrowser; }

}  // namespace gavio
