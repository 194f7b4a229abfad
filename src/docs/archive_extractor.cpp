// Background extractor component (355): unpacks a zip archive on a worker
// thread and tells its listeners on the thread that owns its hidden window.
//
// The worker sees only what Start stored before the thread began (the two
// paths, the flag, the window handle) and the cancel flag; it reports by
// posting one message and ends. Start, Stop and the finalisation wait for
// it before they touch any of that again, so the worker never reads a path
// while it is being rewritten and never outlives the component. A stop
// raises the cancel flag, which the unpacking polls between blocks of data:
// a stopped run removes its partial file.
#include <string.h>

#include <atomic>
#include <map>
#include <new>
#include <optional>

#include "docs/zip_archive.h"
#include "gavio/docs.h"
#include "gavio/ids.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sync.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

constexpr uint32_t kStopWaitMs = 100;
constexpr LPARAM kDoneMarker = 4;

bool CopyPath(const char* path, char* out) {
  size_t length = strnlen(path, zip::kMaxPath);
  if (length >= zip::kMaxPath) return false;
  memcpy(out, path, length + 1);
  return true;
}

class CArchiveExtractor final
    : public Component<kArchiveExtractorId, IArchiveExtractor, IEventSource> {
 public:
  CArchiveExtractor() : log_(nullptr, kArchiveExtractorId), workerLog_(log_) {}

  int32_t Start(const char* zipPath, const char* targetFolder, int32_t flatten) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (zipPath == nullptr || targetFolder == nullptr ||
        strnlen(zipPath, zip::kMaxPath) >= zip::kMaxPath ||
        strnlen(targetFolder, zip::kMaxPath) >= zip::kMaxPath) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (Reader() == nullptr || !EnsureWindow()) return 0;
    // One run at a time: the earlier worker ends before its inputs change.
    JoinWorker();
    CopyPath(zipPath, zipPath_);
    CopyPath(targetFolder, folder_);
    flatten_ = flatten != 0;
    cancel_.store(false);
    worker_ = CreateThread(nullptr, 0, WorkerMain, this, 0, nullptr);
    if (worker_ == nullptr) {
      log_.Error("CArchiveExtractor::Start(), the worker thread did not start");
      return 0;
    }
    return 1;
  }

  int32_t GetItemCount(const char* zipPath) override {
    GAVIO_HOLD_OR_RETURN(0);
    IZipReader* reader = Reader();
    return reader != nullptr ? reader->GetItemCount(zipPath) : 0;
  }

  int32_t GetItemName(const char* zipPath, int32_t index, char* buffer, int32_t capacity,
                      int32_t flatten) override {
    GAVIO_HOLD_OR_RETURN(0);
    IZipReader* reader = Reader();
    return reader != nullptr ? reader->GetItemName(zipPath, index, buffer, capacity, flatten) : 0;
  }

  int32_t Stop() override {
    GAVIO_HOLD_OR_RETURN(0);
    if (worker_ == nullptr) return 1;
    cancel_.store(true);
    if (WaitForSingleObject(worker_, kStopWaitMs) == WAIT_TIMEOUT) return 0;
    CloseHandle(worker_);
    worker_ = nullptr;
    return 1;
  }

  void ComponentFinalize() override {
    cancel_.store(true);
    JoinWorker();
    if (window_ != nullptr) {
      // Unhooked first: should the window outlive us (it belongs to another
      // thread), a late message finds no component behind it.
      SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
      SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
      DestroyWindow(window_);
      window_ = nullptr;
    }
    reader_.reset();
    listeners_.clear();
  }

  void AddListener(void* listener, uint32_t value) override {
    if (listener == nullptr) return;
    listeners_[static_cast<IExtractListener*>(listener)] = value;
  }

  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(static_cast<IExtractListener*>(listener)));
  }

 private:
  IZipReader* Reader() {
    if (!reader_) {
      reader_.emplace(nullptr, kZipReaderId);
      if (!*reader_) {
        reader_.reset();
        log_.Error("CArchiveExtractor, the zip reader cannot be created");
        return nullptr;
      }
    }
    return reader_->As<IZipReader>();
  }

  bool EnsureWindow() {
    if (window_ != nullptr) return true;
    window_ = CreateWindowExA(0, "Static", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (window_ == nullptr) {
      log_.Error("CArchiveExtractor, the hidden window cannot be created");
      return false;
    }
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    previousProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc)));
    return true;
  }

  void JoinWorker() {
    if (worker_ == nullptr) return;
    WaitForSingleObject(worker_, INFINITE);
    CloseHandle(worker_);
    worker_ = nullptr;
  }

  static DWORD WorkerMain(void* parameter) {
    auto* self = static_cast<CArchiveExtractor*>(parameter);
    int32_t result =
        zip::ExtractAll(self->zipPath_, self->folder_, self->flatten_, &self->cancel_,
                        &self->workerLog_);
    PostMessageA(self->window_, kExtractDoneMessage, static_cast<WPARAM>(result), kDoneMarker);
    return 0;
  }

  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CArchiveExtractor*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcA(hwnd, msg, wParam, lParam);
    if (msg == kExtractDoneMessage) {
      if (lParam > 0) self->Report(wParam != 0);
      return 0;
    }
    return CallWindowProcA(self->previousProc_, hwnd, msg, wParam, lParam);
  }

  // Listeners may add or remove listeners, start again or destroy the
  // extractor from inside the call; one removed meanwhile is not called.
  void Report(bool succeeded) {
    GAVIO_HOLD_OR_RETURN();
    std::map<IExtractListener*, uint32_t> snapshot = listeners_;
    for (const auto& [listener, value] : snapshot) {
      if (!IsInitialised() || listeners_.count(listener) == 0) continue;
      if (succeeded) {
        listener->OnExtractSucceeded();
      } else {
        listener->OnExtractFailed();
      }
    }
  }

  LogSink log_;
  LogSink workerLog_;  // the worker's own copy: a sink is not shared across threads
  std::optional<TGavioPtr> reader_;
  HWND window_ = nullptr;
  WNDPROC previousProc_ = nullptr;
  HANDLE worker_ = nullptr;
  std::atomic<bool> cancel_{false};
  char zipPath_[zip::kMaxPath] = {};
  char folder_[zip::kMaxPath] = {};
  bool flatten_ = false;
  std::map<IExtractListener*, uint32_t> listeners_;
};

}  // namespace

IComponent* NewArchiveExtractor() { return new (std::nothrow) CArchiveExtractor(); }

}  // namespace gavio
