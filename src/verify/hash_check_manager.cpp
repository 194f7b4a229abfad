// CHashCheckManager (1189): verifies files on a pool of at most five busy
// hash-check handlers (1187), queues what finds them all busy in batches of
// up to 256 files, and reports every submission once, with its own files in
// its own order.
//
// A handler may report before its VerifyFile returns (a connection that
// fails at once); every start is therefore recorded as busy before the call
// and looked up again after it. Handlers are destroyed only outside their
// own running exchange or from inside their own report, where the hold
// guard defers the deletion. Everything runs on the owner's thread.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "gavio/ids.h"
#include "gavio/verify.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "runtime/memory_client.h"
#include "verify/hash_check_batches.h"
#include "verify/protocol_handler.h"
#include "verify/result_record.h"

namespace gavio {
namespace {

constexpr size_t kMaxBusyHandlers = 5;

struct BusyEntry {
  IHashCheckHandler* handler = nullptr;
  bool stopMark = false;
  // The batch the handler runs; null between its report and its next start.
  std::unique_ptr<HashCheckBatch> batch;
  uint64_t run = 0;  // which start this is, to recognise an early report
};

class CHashCheckManager final
    : public Component<kHashCheckManagerId, IHashCheckManager, IEventSource>,
      public IHashCheckHandlerSink {
 public:
  CHashCheckManager() : log_(nullptr, kHashCheckManagerId), memory_(kHashCheckManagerId) {}

  // IHashCheckManager
  void SetConfigPath(const char* path) override {
    if (path != nullptr && strlen(path) < sizeof configPath_) strcpy(configPath_, path);
  }

  void Stop() override {
    GAVIO_HOLD_OR_RETURN();
    for (auto& entry : busy_) entry->stopMark = true;
    std::vector<IHashCheckHandler*> idle;
    idle.swap(idle_);
    for (IHashCheckHandler* handler : idle) DropHandler(handler);
  }

  int32_t Initialize2(uint32_t attemptTimeoutMs, uint32_t totalTimeoutMs,
                      const ProxySettings* proxy) override {
    if (attemptTimeoutMs != 0) attemptTimeoutMs_ = attemptTimeoutMs;
    if (totalTimeoutMs != 0) totalTimeoutMs_ = totalTimeoutMs;
    if (proxy != nullptr) {
      proxy_ = *proxy;
      hasProxy_ = true;
    }
    return 1;
  }

  int32_t SetServiceName(const char* name) override {
    if (name == nullptr) return 0;
    if (strlen(name) < sizeof serviceName_) strcpy(serviceName_, name);
    return 1;
  }

  int32_t StartHashCheck(const HashCheckTask* task) override {
    GAVIO_HOLD_OR_RETURN(0);
    // An empty submission would have nothing to report.
    if (task == nullptr || task->count == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    uint32_t count = std::min<uint32_t>(task->count, kHashCheckMaxFiles);
    IHashCheckHandler* handler = nullptr;
    if (!idle_.empty()) {
      handler = idle_.front();
      idle_.erase(idle_.begin());
    } else if (busy_.size() < kMaxBusyHandlers) {
      handler = CreateHandler();
      if (handler == nullptr) return 0;
    } else {
      log_.Trace("there is no idle worker, put task in waiting list!");
      waiting_.Queue(task->paths, count);
      return 1;
    }
    auto batch = std::make_unique<HashCheckBatch>();
    batch->task.count = count;
    memcpy(batch->task.paths, task->paths, sizeof task->paths[0] * count);
    BusyEntry* entry = AddBusy(handler);
    if (Run(entry, std::move(batch))) {
      log_.Trace("Start Hash Check File Success");
      return 1;
    }
    log_.Error("Start Hash Check File Fail!LastErrorCode : 【 0x%x 】", GetLastError());
    RemoveBusy(handler);
    idle_.insert(idle_.begin(), handler);
    return 0;
  }

  void OnTimer() override {
    GAVIO_HOLD_OR_RETURN();
    std::vector<IHashCheckHandler*> handlers;
    for (auto& entry : busy_) handlers.push_back(entry->handler);
    // A tick may end an exchange, whose report may drop a handler: each is
    // looked up again before it is called.
    for (IHashCheckHandler* handler : handlers) {
      if (!IsInitialised()) return;
      if (FindBusy(handler) != nullptr) handler->OnTimer();
    }
  }

  void ComponentFinalize() override {
    std::vector<IHashCheckHandler*> handlers;
    for (auto& entry : busy_) handlers.push_back(entry->handler);
    handlers.insert(handlers.end(), idle_.begin(), idle_.end());
    busy_.clear();
    idle_.clear();
    waiting_.Clear();
    for (IHashCheckHandler* handler : handlers) DropHandler(handler);
    listeners_.clear();
  }

  // IEventSource
  void AddListener(void* listener, uint32_t value) override {
    if (listener != nullptr) listeners_[listener] = value;
  }
  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(listener));
  }

  // IHashCheckHandlerSink
  void OnHashCheckComplete(HashCheckResult* result, IComponent* handler) override {
    OnHandlerReport(handler, result, nullptr);
  }
  void OnHashCheckError(HashCheckResult* result, VerifyError* error,
                        IComponent* handler) override {
    OnHandlerReport(handler, result, error);
  }

 private:
  IHashCheckHandler* CreateHandler() {
    auto* handler = CreateComponentAs<IHashCheckHandler>(kHashCheckHandlerId);
    bool ready = false;
    if (handler != nullptr) {
      EventSourceOf(handler)->AddListener(static_cast<IHashCheckHandlerSink*>(this), 0);
      handler->Initialize(configPath_);
      ready = handler->Initialize2(attemptTimeoutMs_, totalTimeoutMs_,
                                   hasProxy_ ? &proxy_ : nullptr) != 0;
      if (!ready) {
        DWORD error = GetLastError();
        DropHandler(handler);
        SetLastError(error);
        handler = nullptr;
      }
    }
    if (ready) {
      log_.Trace("HashCheckManager Create Worker Success, time : 【 %d 】",
                 static_cast<int>(GetTickCount()));
    } else {
      if (GetLastError() == 0) SetLastError(kVerifyErrorUnknown);
      log_.Error("HashCheckManager Create Worker Fail, LastErrorCode : 【 0x%x 】,\t\t\t\ttime : 【 %d 】",
                 GetLastError(), static_cast<int>(GetTickCount()));
    }
    return handler;
  }

  void DropHandler(IHashCheckHandler* handler) {
    EventSourceOf(handler)->RemoveListener(static_cast<IHashCheckHandlerSink*>(this));
    handler->Destroy(0);
  }

  BusyEntry* FindBusy(const IComponent* handler) {
    for (auto& entry : busy_) {
      if (static_cast<IComponent*>(entry->handler) == handler) return entry.get();
    }
    return nullptr;
  }

  BusyEntry* AddBusy(IHashCheckHandler* handler) {
    busy_.push_back(std::make_unique<BusyEntry>());
    busy_.back()->handler = handler;
    return busy_.back().get();
  }

  void RemoveBusy(const IComponent* handler) {
    busy_.erase(std::remove_if(busy_.begin(), busy_.end(),
                               [handler](const std::unique_ptr<BusyEntry>& entry) {
                                 return static_cast<IComponent*>(entry->handler) == handler;
                               }),
                busy_.end());
  }

  // Starts batch on the entry's handler. True when it runs, or when its
  // report already came during the call (the batch is then answered);
  // false when the handler refused it (the batch stays in the entry).
  bool Run(BusyEntry* entry, std::unique_ptr<HashCheckBatch> batch) {
    IHashCheckHandler* handler = entry->handler;
    entry->batch = std::move(batch);
    const uint64_t run = entry->run = ++lastRun_;
    int32_t started = handler->VerifyFile(serviceName_, &entry->batch->task);
    BusyEntry* now = FindBusy(handler);
    if (now == nullptr || now->run != run || now->batch == nullptr) return true;
    return started != 0;
  }

  void OnHandlerReport(IComponent* handler, HashCheckResult* result, VerifyError* error) {
    GAVIO_HOLD_OR_RETURN();
    BusyEntry* entry = FindBusy(handler);
    if (entry == nullptr || entry->batch == nullptr) return;
    std::unique_ptr<HashCheckBatch> batch = std::move(entry->batch);
    if (error != nullptr) lastError_ = *error;
    Fire(*batch, result, error);
    if (!IsInitialised()) return;
    PickUpWaitingWork(handler);
  }

  // One listener call per submission of batch.
  void Fire(const HashCheckBatch& batch, const HashCheckResult* answer, VerifyError* error) {
    static const char kRefusedLog[] =
        "CHashCheckManager::FireHashCheckComplete,\t\t\t\t\talloc HashCheckResult fail";
    WithResultRecord(&memory_, &log_, kRefusedLog, [&](HashCheckResult* piece) {
      SplitBySubmission(batch, answer, piece,
                        [this, error](HashCheckResult* result) { Tell(result, error); });
    });
  }

  // Every listener, slot 1 for a completion, slot 2 for a failure.
  void Tell(HashCheckResult* result, VerifyError* error) {
    if (!IsInitialised()) return;
    std::vector<void*> listeners;
    for (auto& entry : listeners_) listeners.push_back(entry.first);
    for (void* listener : listeners) {
      if (!IsInitialised()) break;
      if (listeners_.count(listener) == 0) continue;
      auto* sink = static_cast<IHashCheckManagerSink*>(listener);
      if (error == nullptr) {
        sink->OnHashCheckComplete(result);
      } else {
        sink->OnHashCheckError(result, error);
      }
    }
  }

  // A refused batch still answers each of its submissions: nothing was
  // verified.
  void FireRefused(const HashCheckBatch& batch) {
    VerifyError error{};
    error.firstCode = GetLastError() != 0 ? GetLastError() : kVerifyErrorUnknown;
    snprintf(error.reason, sizeof error.reason, "the files could not be submitted");
    lastError_ = error;
    Fire(batch, nullptr, &error);
  }

  void PickUpWaitingWork(IComponent* reporter) {
    BusyEntry* entry = FindBusy(reporter);
    if (entry == nullptr || entry->batch != nullptr) return;
    IHashCheckHandler* handler = entry->handler;
    if (entry->stopMark) {
      RemoveBusy(handler);
      DropHandler(handler);
      if (waiting_.Empty()) return;
      handler = CreateHandler();
      if (handler == nullptr) {
        FailAllWaiting();
        return;
      }
      entry = AddBusy(handler);
    }
    while (!waiting_.Empty()) {
      std::unique_ptr<HashCheckBatch> batch = waiting_.TakeFirst();
      LogWaitingBatch(*batch);
      if (Run(entry, std::move(batch))) {
        log_.Trace("Submit Waiting HashCheck Task Success!time : 【 %d 】",
                   static_cast<int>(GetTickCount()));
        return;
      }
      log_.Error("Submit VerifyFile Task Fail, LastErrorCode : 【 0x%x 】,\t\t\t\t\t\t\t\ttime : 【 %d 】",
                 GetLastError(), static_cast<int>(GetTickCount()));
      std::unique_ptr<HashCheckBatch> refused = std::move(entry->batch);
      FireRefused(*refused);
      if (!IsInitialised()) return;
      entry = FindBusy(handler);
      if (entry == nullptr || entry->batch != nullptr) return;
    }
    log_.Trace("there is not Waiting VerifyFile Task or Submit Waiting task fail!");
    RemoveBusy(handler);
    idle_.push_back(handler);
  }

  void FailAllWaiting() {
    while (IsInitialised() && !waiting_.Empty()) {
      std::unique_ptr<HashCheckBatch> batch = waiting_.TakeFirst();
      FireRefused(*batch);
    }
  }

  void LogWaitingBatch(const HashCheckBatch& batch) {
    log_.Trace("Pick up a Waiting HashCheck Task To Start, time : 【 %d 】!",
               static_cast<int>(GetTickCount()));
    log_.Trace("File Count : %d", static_cast<int>(batch.task.count));
    for (uint32_t i = 0; i < batch.task.count; ++i) {
      log_.Trace("[ %d ] %s", static_cast<int>(i), batch.task.paths[i]);
    }
  }

  LogSink log_;
  MemoryClient memory_;
  char serviceName_[kVerifyPathMax] = {0};
  char configPath_[kVerifyPathMax] = {0};
  uint32_t attemptTimeoutMs_ = kDefaultAttemptTimeoutMs;
  uint32_t totalTimeoutMs_ = kDefaultTotalTimeoutMs;
  ProxySettings proxy_{};
  bool hasProxy_ = false;
  std::vector<std::unique_ptr<BusyEntry>> busy_;
  std::vector<IHashCheckHandler*> idle_;
  WaitingBatches waiting_;
  std::map<void*, uint32_t> listeners_;
  VerifyError lastError_{};
  uint64_t lastRun_ = 0;
};

}  // namespace

IComponent* NewHashCheckManager() { return new (std::nothrow) CHashCheckManager; }

}  // namespace gavio
