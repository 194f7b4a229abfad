// IPC channel component (1068): a receiver window titled with the own key,
// subclassed to take WM_COPYDATA records; sends go to every window titled
// with the peer key (the platform reaches windows of other processes).
//
// Received bytes are copied into a block of the channel's memory manager
// (creator 1068) and handed to the listeners either at once (non-zero
// dwData, while the sender waits) or later through a message posted to the
// own window (dwData 0). A deferred block is only delivered when this
// channel posted it, so a stray message 17477 cannot make the channel read
// or free memory it does not own.
#include <string.h>

#include <map>
#include <new>
#include <set>

#include "gavio/ids.h"
#include "gavio/ipc.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"
#include "runtime/memory_client.h"

namespace gavio {
namespace {

bool CopyKey(const char* key, char* out) {
  size_t length = strnlen(key, kIpcKeySize);
  if (length >= kIpcKeySize) return false;
  memcpy(out, key, length + 1);
  return true;
}

class CIPCChannel final : public Component<kIpcChannelId, IIpcChannel, IEventSource> {
 public:
  CIPCChannel() : log_(nullptr, kIpcChannelId), memory_(kIpcChannelId) {}

  int32_t Init(const IpcKeys* keys) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (keys == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    CopyKey(keys->ownKey, ownKey_);
    CopyKey(keys->peerKey, peerKey_);
    open_ = ownKey_[0] != '\0';
    if (open_ && window_ == nullptr) CreateReceiverWindow();
    return open_ ? 1 : 0;
  }

  int32_t Send(const void* data, uint32_t size, uint32_t dwData) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (data == nullptr || size == 0 || !open_ || peerKey_[0] == '\0') return 0;
    int32_t sent = 0;
    for (HWND peer = FindWindowExA(nullptr, nullptr, "static", peerKey_); peer != nullptr;
         peer = FindWindowExA(nullptr, peer, "static", peerKey_)) {
      if (peer == window_) continue;
      COPYDATASTRUCT record{dwData, size, const_cast<void*>(data)};
      SendMessageA(peer, WM_COPYDATA, reinterpret_cast<WPARAM>(window_),
                   reinterpret_cast<LPARAM>(&record));
      ++sent;
    }
    return sent;
  }

  void ComponentFinalize() override {
    if (window_ != nullptr) {
      MSG msg;
      while (PeekMessageA(&msg, window_, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
      SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
      DestroyWindow(window_);
      window_ = nullptr;
    }
    open_ = false;
    // Whatever the queue no longer held (the window belonged to another
    // thread, say) is given back rather than lost to the leak report.
    for (void* block : deferred_) memory_.Release(block);
    deferred_.clear();
    if (deliveries_ == 0) memory_.Close();
  }

  void AddListener(void* listener, uint32_t value) override {
    if (listener == nullptr) return;
    listeners_.erase(static_cast<IIpcListener*>(listener));
    listeners_[static_cast<IIpcListener*>(listener)] = value;
  }

  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(static_cast<IIpcListener*>(listener)));
  }

 private:
  void CreateReceiverWindow() {
    window_ = CreateWindowExA(0, "static", ownKey_, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    if (window_ != nullptr) {
      previousProc_ = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ReceiverProc)));
      SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    log_.Trace("Result(%d) : CIPCChannel::CreateReceiverWindow()", window_ != nullptr ? 1 : 0);
  }

  static LRESULT ReceiverProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* channel = reinterpret_cast<CIPCChannel*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (channel != nullptr) {
      if (msg == WM_COPYDATA) {
        channel->OnCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
      } else if (msg == kIpcDeferredDeliveryMessage) {
        channel->OnDeferredDelivery(reinterpret_cast<void*>(wParam), static_cast<uint32_t>(lParam));
      }
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }

  void OnCopyData(const COPYDATASTRUCT* record) {
    GAVIO_HOLD_OR_RETURN();
    if (record == nullptr || record->cbData == 0 || record->lpData == nullptr) return;
    void* block = memory_.AllocateZeroed(record->cbData);
    if (block == nullptr) return;
    memcpy(block, record->lpData, record->cbData);
    if (record->dwData != 0) {
      Deliver(block, record->cbData);
      return;
    }
    deferred_.insert(block);
    if (!PostMessageA(window_, kIpcDeferredDeliveryMessage, reinterpret_cast<WPARAM>(block),
                      static_cast<LPARAM>(record->cbData))) {
      deferred_.erase(block);
      memory_.Release(block);
    }
  }

  void OnDeferredDelivery(void* block, uint32_t size) {
    GAVIO_HOLD_OR_RETURN();
    if (deferred_.erase(block) == 0) return;  // not one of ours
    Deliver(block, size);
  }

  // Hands the block to every listener and gives it back. Listeners may add
  // or remove listeners, or destroy the channel, from inside the call; one
  // removed meanwhile is not called any more.
  void Deliver(void* block, uint32_t size) {
    GAVIO_HOLD_OR_RETURN();
    ++deliveries_;
    if (size > 0) {
      std::map<IIpcListener*, uint32_t> snapshot = listeners_;
      for (const auto& [listener, value] : snapshot) {
        if (listeners_.count(listener) != 0) listener->OnReceive(block, size);
      }
    }
    --deliveries_;
    memory_.Release(block);
    if (!IsInitialised() && deliveries_ == 0) memory_.Close();
  }

  LogSink log_;
  MemoryClient memory_;
  char ownKey_[kIpcKeySize] = {};
  char peerKey_[kIpcKeySize] = {};
  HWND window_ = nullptr;
  WNDPROC previousProc_ = nullptr;
  bool open_ = false;
  int deliveries_ = 0;
  std::map<IIpcListener*, uint32_t> listeners_;
  std::set<void*> deferred_;
};

}  // namespace

IComponent* NewIpcChannel() { return new (std::nothrow) CIPCChannel(); }

}  // namespace gavio
