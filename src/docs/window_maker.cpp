// Window maker component (33): windows of a private class whose messages go
// to the sink given with each window.
//
// The class name carries the tick count of the instance's first creation
// and the instance keeps that one name: each creation registers it again
// only when it has gone (another instance of the same millisecond shares
// it and may have unregistered it). Every window of the instance stores the
// instance in its user data; a window's map entry goes with its
// WM_NCDESTROY, so a handle in the map always names a live window.
#include <stdio.h>

#include <map>
#include <new>

#include "gavio/docs.h"
#include "gavio/ids.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

constexpr size_t kClassNameSize = 100;
constexpr UINT kClassStyle = 11;  // vertical and horizontal redraw, double clicks

class CWindowMaker final : public Component<kWindowMakerId, IWindowMaker> {
 public:
  CWindowMaker() : log_(nullptr, kWindowMakerId) {}

  int32_t MakeWindow(HWND* window, IWindowSink* sink) override {
    return MakeWindowEx(0, 0, nullptr, nullptr, window, sink);
  }

  int32_t MakeWindowEx(uint32_t style, uint32_t exStyle, HWND parent, const WindowRect* rect,
                       HWND* window, IWindowSink* sink) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (window == nullptr || sink == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (!RegisterOwnClass()) return 0;
    WindowRect area = rect != nullptr ? *rect : WindowRect{0, 0, 0, 0};
    HWND made = CreateWindowExA(exStyle, className_, className_, style, area.left, area.top,
                                area.right - area.left, area.bottom - area.top, parent, nullptr,
                                nullptr, nullptr);
    if (made == nullptr) {
      log_.Error("创建窗口失败");
      return 0;
    }
    SetWindowLongPtrA(made, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    windows_[made] = sink;
    *window = made;
    return 1;
  }

  void ComponentFinalize() override {
    // Destroying a window removes its entry (WM_NCDESTROY), so walk a copy.
    std::map<HWND, IWindowSink*> alive = windows_;
    for (const auto& [window, sink] : alive) {
      if (IsWindow(window)) DestroyWindow(window);
    }
    // Whatever remains belongs to another thread: unhook it from us.
    for (const auto& [window, sink] : windows_) SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    windows_.clear();
    if (className_[0] != '\0') UnregisterClassA(className_, nullptr);
  }

 private:
  bool RegisterOwnClass() {
    if (className_[0] == '\0') {
      snprintf(className_, sizeof className_, "ClassName%d", static_cast<int>(GetTickCount()));
    }
    WNDCLASSA wc = {};
    wc.style = kClassStyle;
    wc.lpfnWndProc = WindowProc;
    wc.lpszClassName = className_;
    if (RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) return true;
    log_.Error("CWindowMaker, class %s not registered", className_);
    return false;
  }

  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* maker = reinterpret_cast<CWindowMaker*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (maker == nullptr || !maker->IsInitialised()) {
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    return maker->Route(hwnd, msg, wParam, lParam);
  }

  // The sink may destroy the window or this instance during the call: the
  // hold keeps the instance until Route returns.
  LRESULT Route(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    HoldGuard hold(this);
    auto found = windows_.find(hwnd);
    IWindowSink* sink = found != windows_.end() ? found->second : nullptr;
    LRESULT result = 0;
    bool handled = sink != nullptr && sink->OnWindowMessage(hwnd, msg, wParam, lParam, &result) != 0;
    if (msg == WM_NCDESTROY) windows_.erase(hwnd);
    return handled ? result : DefWindowProcA(hwnd, msg, wParam, lParam);
  }

  LogSink log_;
  char className_[kClassNameSize] = {};
  std::map<HWND, IWindowSink*> windows_;
};

}  // namespace

IComponent* NewWindowMaker() { return new (std::nothrow) CWindowMaker(); }

}  // namespace gavio
