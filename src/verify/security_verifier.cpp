// CSecurityVerifier (1185): keeps the white list, the control list and the
// verification servers in "Svconfig.xml", refreshes them from the
// verification service through a verify-info handler (1186) on demand and
// on its interval, answers the address and control checks from memory and
// verifies files through the hash-check manager (1189).
//
// Everything runs on the thread that created it: the interval timer, the
// handler's and the manager's events all arrive there, each entry holding
// the instance so a listener may destroy it from inside a report. The held
// lists change only when a refresh brings new data; a file that cannot be
// rewritten keeps them in memory and the refresh reports the write failure.
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "gavio/ids.h"
#include "gavio/timers.h"
#include "gavio/verify.h"
#include "gavio/xml.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "frame/client_path.h"
#include "runtime/memory_client.h"
#include "verify/svconfig_file.h"

namespace gavio {
namespace {

constexpr char kConfigFileName[] = "Svconfig.xml";
constexpr uint32_t kTickMs = 1000;

// The three lists a refresh fetches, by index, and their request flags.
enum ListKind { kServerList = 0, kWhiteList = 1, kControlList = 2, kListKinds = 3 };
constexpr uint32_t kKindFlags[kListKinds] = {kFetchVerifyServers, kFetchWhiteServers,
                                             kFetchControlIds};

enum RefreshStatus : uint8_t { kNotFetched = 0, kFetched = 1, kPending = 2 };

uint32_t ErrorCodeOf(const VerifyError* error) {
  if (error != nullptr && error->firstCode != 0) return error->firstCode;
  if (error != nullptr && error->secondCode != 0) return error->secondCode;
  return kVerifyErrorUnknown;
}

bool FileExists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

// Copies a fetched list, with every count held to the record's room and
// every text terminated inside its field.
void TakeWhiteList(const ServerListInfo& from, ServerListInfo* to) {
  memcpy(to, &from, sizeof *to);
  to->subServiceCount = std::min<uint32_t>(to->subServiceCount, kMaxSubServices);
  for (SubServiceInfo& info : to->subServices) {
    info.name[sizeof info.name - 1] = '\0';
    info.addressCount = std::min<uint32_t>(info.addressCount, kMaxSubServiceAddresses);
    info.recommendedCount = std::min(info.recommendedCount, info.addressCount);
  }
}

void TakeControlList(const ControlIdInfo& from, ControlIdInfo* to) {
  memcpy(to, &from, sizeof *to);
  to->classIdCount = std::min<uint32_t>(to->classIdCount, kMaxControlIds);
  to->dllCount = std::min<uint32_t>(to->dllCount, kMaxControlDlls);
  for (ControlIdEntry& entry : to->classIds) entry.classId[sizeof entry.classId - 1] = '\0';
  for (auto& name : to->dllNames) name[sizeof name - 1] = '\0';
}

class CSecurityVerifier final
    : public Component<kSecurityVerifierId, ISecurityVerifier, IEventSource>,
      public IVerifyInfoSink,
      public IHashCheckManagerSink,
      public IIntervalEvent {
 public:
  CSecurityVerifier()
      : log_(nullptr, kSecurityVerifierId),
        memory_(kSecurityVerifierId),
        config_(new (std::nothrow) SvConfig) {
    if (config_ != nullptr) ResetSvConfig(config_.get());
    snprintf(path_, sizeof path_, "%s\\%s", "Config", kConfigFileName);
    lastUpdateTick_ = GetTickCount();
  }

  // ISecurityVerifier
  void SetPath(const char* folder) override {
    if (initialised_ || folder == nullptr) return;
    char path[kVerifyPathMax];
    int length = snprintf(path, sizeof path, "%s\\%s", folder, kConfigFileName);
    if (length > 0 && static_cast<size_t>(length) < sizeof path) memcpy(path_, path, length + 1);
  }

  int32_t Initialize(const ProxySettings* proxy) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (config_ == nullptr) return 0;
    if (!initialised_) initialised_ = ReadConfigFile();
    if (timer_ == nullptr) {
      timer_ = CreateComponentAs<IInterval>(kIntervalId);
      if (timer_ != nullptr) {
        timer_->SetInterval(kTickMs, static_cast<IIntervalEvent*>(this), 0, 0, this);
      }
    }
    if (proxy != nullptr) {
      proxy_ = *proxy;
      hasProxy_ = true;
    }
    if (initialised_) {
      log_.Trace("Initialize SecurityVerifier Success!");
    } else {
      log_.Error("Initialize SecurityVerifier fail, LastErrorCode : 【 0x%x 】 ", lastError_);
      SetLastError(lastError_);
    }
    return initialised_ ? 1 : 0;
  }

  void Uninitialize() override {
    ReleaseHandler();
    ReleaseManager();
    if (timer_ != nullptr) timer_->Destroy(0);
    timer_ = nullptr;
    if (xml_ != nullptr) xml_->Destroy(0);
    xml_ = nullptr;
    initialised_ = false;
    refreshing_ = false;
  }

  void SetAutoUpdateInterval(uint32_t seconds) override {
    autoUpdateMs_ = AutoUpdateIntervalMs(seconds);
    lastUpdateTick_ = GetTickCount();
  }

  int32_t UpdateVerifyInfo() override {
    GAVIO_HOLD_OR_RETURN(0);
    if (config_ == nullptr) return 0;
    if (config_->valid == 0) {
      FireUpdate(1);
      return 1;
    }
    if (reloadHandler_) ReleaseHandler();
    IVerifyInfoHandler* handler = EnsureHandler();
    if (handler == nullptr) return FailRefresh();
    FetchRequest request{};
    request.flags = config_->requestFlags;
    request.verifyServerVersion = config_->verifyServerVersion;
    request.whiteServerVersion = config_->whiteList.version;
    request.controlIdVersion = config_->controlList.version;
    refreshFlags_ = request.flags;
    for (int kind = 0; kind < kListKinds; ++kind) {
      newData_[kind] = false;
      if (refreshFlags_ & kKindFlags[kind]) status_[kind] = kPending;
    }
    refreshing_ = true;
    serversSaved_ = true;
    const uint64_t refresh = ++lastRefresh_;
    int32_t started = handler->Fetch(config_->projectId, &request);
    if (!IsInitialised()) return started;
    // The handler may have answered, even failed, before Fetch returned:
    // that refresh has then been reported already.
    if (!started && refreshing_ && lastRefresh_ == refresh) {
      for (int kind = 0; kind < kListKinds; ++kind) {
        if (status_[kind] == kPending) status_[kind] = kNotFetched;
      }
      refreshing_ = false;
      return FailRefresh();
    }
    log_.Trace("SecurityVerifier UpdateVerifyInfo Success!");
    return 1;
  }

  int32_t VerifyFile(const HashCheckTask* task) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (task == nullptr || config_ == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    uint32_t count = std::min<uint32_t>(task->count, kHashCheckMaxFiles);
    log_.Trace("SecurityVerifier Verify file , Conut : %d", static_cast<int>(task->count));
    for (uint32_t i = 0; i < count; ++i) {
      log_.Trace("[ %d ] : %.259s", static_cast<int>(i), task->paths[i]);
    }
    if ((config_->valid & kVerifyFiles) == 0) return PassUnchecked(*task, count);
    IHashCheckManager* manager = EnsureManager();
    int32_t started = manager != nullptr ? manager->StartHashCheck(task) : 0;
    if (started) {
      log_.Trace("SecurityVerifier Submit to Verify File Success!");
    } else {
      lastError_ = GetLastError() != 0 ? GetLastError() : kVerifyErrorUnknown;
      log_.Error("SecurityVerifier Submit to Verify File fail, LastErrorCode : 【 0x%x 】 ",
                 lastError_);
      SetLastError(lastError_);
    }
    return started;
  }

  int32_t VerifyIPAddress(const char* type, const char* address) override {
    if (config_ == nullptr || (config_->valid & kVerifyAddresses) == 0) return kTrusted;
    if (type == nullptr || address == nullptr) {
      log_.Error("SecurityVerifier VerifyIPAddress param invalid!");
      return kNotTrusted;
    }
    int32_t result = kNotTrusted;
    const SubServiceInfo* info = FindSubService(type);
    uint32_t wanted = winsock::inet_addr(address);
    if (info != nullptr && wanted != 0xFFFFFFFFu) {
      for (uint32_t i = 0; i < info->addressCount; ++i) {
        if (info->addresses[i] == wanted) result = kTrusted;
      }
    }
    if (result == kNotTrusted && status_[kWhiteList] == kNotFetched) result = kTrustUnknown;
    log_.Trace("SecurityVerifier VerifyIPAddress %s %s, result : %d ", type, address,
               static_cast<int>(result));
    return result;
  }

  int32_t VerityControlID(const char* classId, uint32_t version, const char* dllName) override {
    if (config_ == nullptr || (config_->valid & kVerifyControls) == 0) return kTrusted;
    int32_t result = kNotTrusted;
    if (classId != nullptr && dllName != nullptr) {
      if (IsTrustedControl(classId, version, dllName)) result = kTrusted;
    } else {
      log_.Error("SecurityVerifier VerityControlID param invalid!");
    }
    if (result == kNotTrusted && status_[kControlList] == kNotFetched) result = kTrustUnknown;
    if (classId != nullptr && dllName != nullptr) {
      log_.Trace("SecurityVerifier VerityControlID %s %d %s, result : %d ", classId,
                 static_cast<int>(version), dllName, static_cast<int>(result));
    }
    return result;
  }

  int32_t GetRecommendIPList(const char* type, RecommendIpList* out) override {
    if (type == nullptr || out == nullptr || config_ == nullptr) {
      log_.Error("SecurityVerifier GetRecommendIPList param invalid!");
      return 0;
    }
    memset(out, 0, sizeof *out);
    const SubServiceInfo* info = FindSubService(type);
    if (info != nullptr) {
      uint32_t count = std::min<uint32_t>(
          std::min(info->recommendedCount, info->addressCount), kMaxRecommended);
      out->count = static_cast<uint16_t>(count);
      memcpy(out->addresses, info->addresses, count * sizeof out->addresses[0]);
    }
    log_.Trace("SecurityVerifier GetRecommendIPList %s, Result is %d", type, info != nullptr);
    return info != nullptr ? 1 : 0;
  }

  void SetValid(uint32_t mask) override {
    GAVIO_HOLD_OR_RETURN();
    if (config_ == nullptr) return;
    config_->valid = mask;
    if (PrepareWrite() && WriteSvValid(Xml(), hostPath_, mask)) {
      log_.Trace("SecurityVerifier SetValid 0x%x Success!", mask);
      return;
    }
    lastError_ = kVerifyErrorConfigWrite;
    SetLastError(lastError_);
    log_.Error("SecurityVerifier SetValid 0x%x  fail, LastErrorCode : 【 0x%x 】 ", mask,
               lastError_);
  }

  void ComponentFinalize() override {
    Uninitialize();
    listeners_.clear();
  }

  // IEventSource
  void AddListener(void* listener, uint32_t value) override {
    if (listener != nullptr) listeners_[listener] = value;
  }
  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(listener));
  }

  // IVerifyInfoSink
  void OnGetVerifyServer(ServerListInfo* info) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("Fetch Verify Server Success!time : 【 %d 】", static_cast<int>(GetTickCount()));
    status_[kServerList] = kFetched;
    if (info != nullptr && info->subServiceCount > 0) {
      newData_[kServerList] = true;
      SaveVerifyServers(*info);
      if (manager_ != nullptr) manager_->Stop();
    }
    CompleteRefresh();
  }
  void OnGetVerifyServerFail(VerifyError* error) override {
    GAVIO_HOLD_OR_RETURN();
    lastError_ = ErrorCodeOf(error);
    log_.Error("Fetch Verify Server fail, LastErrorCode : 【 0x%x 】,\t\t\t\t\t\ttime : 【 %d 】",
               lastError_, static_cast<int>(GetTickCount()));
    log_.Error("ErrorCode : %d , Reason : %s!", static_cast<int>(lastError_), ReasonOf(error));
    status_[kServerList] = kNotFetched;
    CompleteRefresh();
  }
  void OnGetWhiteServer(ServerListInfo* info) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("Fetch White Server Success!time : 【 %d 】", static_cast<int>(GetTickCount()));
    status_[kWhiteList] = kFetched;
    if (info == nullptr || info->subServiceCount == 0) {
      log_.Trace("Local info is newest version, need not update!");
    } else {
      log_.Trace("Update Security verify info success!");
      newData_[kWhiteList] = true;
      TakeWhiteList(*info, &config_->whiteList);
    }
    CompleteRefresh();
  }
  void OnGetWhiteServerFail(VerifyError* error) override {
    GAVIO_HOLD_OR_RETURN();
    lastError_ = ErrorCodeOf(error);
    log_.Error("Fetch White Server fail, LastErrorCode : 【 0x%x 】,time : 【 %d 】", lastError_,
               static_cast<int>(GetTickCount()));
    log_.Error("ErrorCode : %d, Reason : %s!", static_cast<int>(lastError_), ReasonOf(error));
    status_[kWhiteList] = kNotFetched;
    CompleteRefresh();
  }
  void OnGetControlID(ControlIdInfo* info) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("Fetch ControlID Success!time : 【 %d 】", static_cast<int>(GetTickCount()));
    status_[kControlList] = kFetched;
    if (info == nullptr || (info->classIdCount == 0 && info->dllCount == 0)) {
      log_.Trace("Local info is newest version, need not update!");
    } else {
      log_.Trace("Update Security verify info success!");
      newData_[kControlList] = true;
      TakeControlList(*info, &config_->controlList);
    }
    CompleteRefresh();
  }
  void OnGetControlIDFail(VerifyError* error) override {
    GAVIO_HOLD_OR_RETURN();
    lastError_ = ErrorCodeOf(error);
    log_.Error("Fetch ControlID fail, LastErrorCode : 【 0x%x 】,time : 【 %d 】", lastError_,
               static_cast<int>(GetTickCount()));
    log_.Error("ErrorCode : %d, Reason : %s!", static_cast<int>(lastError_), ReasonOf(error));
    status_[kControlList] = kNotFetched;
    CompleteRefresh();
  }

  // IHashCheckManagerSink
  void OnHashCheckComplete(HashCheckResult* result) override {
    GAVIO_HOLD_OR_RETURN();
    FireVerifyFile(result);
  }
  void OnHashCheckError(HashCheckResult* result, VerifyError* error) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Error("SecurityVerifier Hash Check File fail, LastErrorCode : 【 0x%x 】,\t\t\t\ttime : 【 %d 】",
               ErrorCodeOf(error), static_cast<int>(GetTickCount()));
    if (result != nullptr) {
      uint32_t count = std::min<uint32_t>(result->count, kHashCheckMaxFiles);
      log_.Error("File Count : %d", static_cast<int>(count));
      for (uint32_t i = 0; i < count; ++i) {
        log_.Error("[ %d ] %.259s", static_cast<int>(i), result->paths[i]);
      }
    }
    FireVerifyFile(result);
  }

  // IIntervalEvent: the handler's and the manager's time-outs, then the
  // automatic refresh.
  void OnInterval(uint32_t) override {
    GAVIO_HOLD_OR_RETURN();
    if (handler_ != nullptr) handler_->OnTimer();
    if (!IsInitialised()) return;
    if (manager_ != nullptr) manager_->OnTimer();
    if (!IsInitialised()) return;
    DWORD now = GetTickCount();
    // A refresh still running is left to finish: the handler's own total
    // time-out ends it.
    if (autoUpdateMs_ == 0 || refreshing_ || now - lastUpdateTick_ <= autoUpdateMs_) return;
    log_.Trace("定时器触发更新检验信息! time : 【 %d 】", static_cast<int>(now));
    if (UpdateVerifyInfo()) return;
    if (!IsInitialised()) return;
    // The next attempt waits a whole interval, like the next refresh after
    // a completed one, instead of failing again on every tick.
    lastUpdateTick_ = GetTickCount();
    log_.Error("SecurityVerifier UpdateVerifyInfo fail OnInterval, LastErrorCode : 【 0x%x 】,\t\t\t\t\ttime : 【 %d 】",
               lastError_, static_cast<int>(GetTickCount()));
    FireUpdate(lastError_);
  }

 private:
  bool ReadConfigFile() {
    if (!ResolveClientPath(path_, hostPath_) || !FileExists(hostPath_)) {
      lastError_ = kVerifyErrorConfigPath;
      log_.Error("SecurityVerifier Config file %s is not Exist!", path_);
      return false;
    }
    if (!ReadSvConfig(Xml(), hostPath_, config_.get())) {
      ResetSvConfig(config_.get());
      lastError_ = kVerifyErrorConfigRead;
      log_.Error("SecurityVerifier Read Config %s Fail!", hostPath_);
      return false;
    }
    autoUpdateMs_ = config_->autoUpdateIntervalMs;
    return true;
  }

  IXmlDocument* Xml() {
    if (xml_ == nullptr) xml_ = CreateComponentAs<IXmlDocument>(kXmlDocumentId);
    return xml_;
  }

  // Resolves the file's host path when no read did, and clears a read-only
  // mark of the file. False when there is nothing to write to.
  bool PrepareWrite() {
    if (hostPath_[0] == '\0' && !ResolveClientPath(path_, hostPath_)) return false;
    if (!MakeOwnerWritable(hostPath_)) {
      log_.Error("SecurityVerifier Adapt File %s Attributes Fail!", hostPath_);
    }
    return Xml() != nullptr;
  }

  IVerifyInfoHandler* EnsureHandler() {
    if (handler_ != nullptr) return handler_;
    auto* handler = CreateComponentAs<IVerifyInfoHandler>(kVerifyInfoHandlerId);
    bool ready = false;
    if (handler != nullptr) {
      EventSourceOf(handler)->AddListener(static_cast<IVerifyInfoSink*>(this), 0);
      // The configuration path as set: the handler takes a relative one in
      // the client root itself, so the root is applied once.
      ready = handler->Initialize(path_) != 0 &&
              handler->Initialize2(config_->attemptTimeoutMs, config_->totalTimeoutMs,
                                   hasProxy_ ? &proxy_ : nullptr) != 0;
      handler_ = handler;
    }
    if (ready) {
      log_.Trace("SecurityVerifier Init VerifyServiceProtocalHandler Success!");
      return handler_;
    }
    DWORD error = GetLastError() != 0 ? GetLastError() : kVerifyErrorUnknown;
    log_.Error("SecurityVerifier Init VerifyServiceProtocalHandler Fail, LastErrorCode : 【 0x%x 】",
               error);
    // A handler that did not initialise cannot fetch: the next refresh
    // tries a fresh one.
    ReleaseHandler();
    SetLastError(error);
    return nullptr;
  }

  void ReleaseHandler() {
    reloadHandler_ = false;
    if (handler_ == nullptr) return;
    IVerifyInfoHandler* handler = handler_;
    handler_ = nullptr;
    EventSourceOf(handler)->RemoveListener(static_cast<IVerifyInfoSink*>(this));
    handler->Destroy(0);
  }

  IHashCheckManager* EnsureManager() {
    if (manager_ != nullptr) return manager_;
    manager_ = CreateComponentAs<IHashCheckManager>(kHashCheckManagerId);
    if (manager_ == nullptr) {
      lastError_ = GetLastError() != 0 ? GetLastError() : kVerifyErrorUnknown;
      log_.Error("SecurityVerifier Init HashCheckManager Fail, LastErrorCode : 【 0x%x 】",
                 lastError_);
      SetLastError(lastError_);
      return nullptr;
    }
    EventSourceOf(manager_)->AddListener(static_cast<IHashCheckManagerSink*>(this), 0);
    manager_->SetServiceName(config_->projectId);
    manager_->SetConfigPath(path_);  // resolved by each handler, like the verify-info one
    manager_->Initialize2(config_->attemptTimeoutMs, config_->totalTimeoutMs,
                          hasProxy_ ? &proxy_ : nullptr);
    log_.Trace("SecurityVerifier Init HashCheckManager Success!");
    return manager_;
  }

  void ReleaseManager() {
    if (manager_ == nullptr) return;
    IHashCheckManager* manager = manager_;
    manager_ = nullptr;
    EventSourceOf(manager)->RemoveListener(static_cast<IHashCheckManagerSink*>(this));
    manager->Destroy(0);
  }

  int32_t FailRefresh() {
    lastError_ = GetLastError() != 0 ? GetLastError() : kVerifyErrorUnknown;
    log_.Error("SecurityVerifier UpdateVerifyInfo fail, LastErrorCode : 【 0x%x 】 ", lastError_);
    SetLastError(lastError_);
    return 0;
  }

  // After each answer: once no requested list is pending, the refresh is
  // over and reported once.
  void CompleteRefresh() {
    if (!refreshing_) return;
    bool allFetched = true;
    for (int kind = 0; kind < kListKinds; ++kind) {
      if ((refreshFlags_ & kKindFlags[kind]) == 0) continue;
      if (status_[kind] == kPending) return;
      if (status_[kind] != kFetched) allFetched = false;
    }
    refreshing_ = false;
    uint32_t fetchError = lastError_;
    bool saved = Persist();
    DWORD now = GetTickCount();
    if (allFetched && saved) {
      log_.Trace("SecurityVerifier UpdateVerifyInfo Success, time : 【 %d 】",
                 static_cast<int>(now));
      lastError_ = 0;
      FireUpdate(1);
      return;
    }
    if (!allFetched) lastError_ = fetchError;
    log_.Error("SecurityVerifier UpdateVerifyInfo Fail, time : 【 %d 】\t\t\t\tLastErrorCode : 【 0x%x 】",
               static_cast<int>(now), lastError_);
    FireUpdate(lastError_);
  }

  // Writes what the refresh changed. False when a write failed (the lists
  // stay in memory).
  bool Persist() {
    lastUpdateTick_ = GetTickCount();
    const ServerListInfo* white = status_[kWhiteList] == kFetched && newData_[kWhiteList]
                                      ? &config_->whiteList
                                      : nullptr;
    const ControlIdInfo* control = status_[kControlList] == kFetched && newData_[kControlList]
                                       ? &config_->controlList
                                       : nullptr;
    bool saved = serversSaved_;
    if (white != nullptr || control != nullptr) {
      bool written = PrepareWrite() && WriteSvSecurityLists(Xml(), hostPath_, white, control);
      if (written) {
        log_.Trace("Save security info to %s success!", hostPath_);
      } else {
        lastError_ = kVerifyErrorConfigWrite;
        log_.Error("Save secutity info to %s error!", hostPath_);
        saved = false;
      }
    }
    // The handler read the old server list; the next refresh uses a new
    // one (not released here: this runs inside the handler's own report).
    if (newData_[kServerList]) reloadHandler_ = true;
    return saved;
  }

  void SaveVerifyServers(const ServerListInfo& info) {
    SubServiceInfo servers;
    memcpy(&servers, &info.subServices[0], sizeof servers);
    servers.addressCount = std::min<uint32_t>(servers.addressCount, kMaxSubServiceAddresses);
    if (PrepareWrite() && WriteSvVerifyServers(Xml(), hostPath_, servers, info.version)) {
      // Taken only once the file has it: otherwise the next refresh would
      // be told the list is current while the file still holds the old one.
      config_->verifyServerVersion = info.version;
      log_.Trace("Save Verify server to %s success!", hostPath_);
      return;
    }
    lastError_ = kVerifyErrorConfigWrite;
    serversSaved_ = false;
    log_.Error("Save Verify server to %s fail!", hostPath_);
  }

  int32_t PassUnchecked(const HashCheckTask& task, uint32_t count) {
    auto* result = static_cast<HashCheckResult*>(memory_.AllocateZeroed(sizeof(HashCheckResult)));
    if (result == nullptr) {
      log_.Error("error, CSecurityVerifier::VerifyFile,\t\t\t\t\t\talloc HASHCHECKRESULT fail!");
      return 0;
    }
    result->count = count;
    memcpy(result->paths, task.paths, count * sizeof task.paths[0]);
    FireVerifyFile(result);
    memory_.Release(result);
    return 1;
  }

  const SubServiceInfo* FindSubService(const char* type) const {
    const ServerListInfo& list = config_->whiteList;
    for (uint32_t i = 0; i < list.subServiceCount && i < kMaxSubServices; ++i) {
      if (strcasecmp(list.subServices[i].name, type) == 0) return &list.subServices[i];
    }
    return nullptr;
  }

  bool IsTrustedControl(const char* classId, uint32_t version, const char* dllName) const {
    const ControlIdInfo& list = config_->controlList;
    // Empty entries name nothing and trust nothing.
    for (uint32_t i = 0; i < list.dllCount; ++i) {
      if (list.dllNames[i][0] != '\0' && strcasecmp(list.dllNames[i], dllName) == 0) return true;
    }
    for (uint32_t i = 0; i < list.classIdCount; ++i) {
      const ControlIdEntry& entry = list.classIds[i];
      if (entry.classId[0] == '\0' || strcasecmp(entry.classId, classId) != 0) continue;
      if (config_->versionCheck == 0 || entry.version == version) return true;
    }
    return false;
  }

  static const char* ReasonOf(const VerifyError* error) {
    return error != nullptr ? error->reason : "";
  }

  std::vector<void*> ListenerCopy() const {
    std::vector<void*> copy;
    for (auto& entry : listeners_) copy.push_back(entry.first);
    return copy;
  }

  void FireUpdate(uint32_t result) {
    for (void* listener : ListenerCopy()) {
      if (!IsInitialised()) return;
      if (listeners_.count(listener) == 0) continue;
      static_cast<ISecurityVerifierSink*>(listener)->OnUpdateVerifyInfo(result);
    }
  }

  void FireVerifyFile(HashCheckResult* result) {
    for (void* listener : ListenerCopy()) {
      if (!IsInitialised()) return;
      if (listeners_.count(listener) == 0) continue;
      static_cast<ISecurityVerifierSink*>(listener)->OnVerifyFileComplete(result);
    }
  }

  LogSink log_;
  MemoryClient memory_;
  std::unique_ptr<SvConfig> config_;
  char path_[kVerifyPathMax] = {0};
  char hostPath_[kClientPathSize] = {0};
  bool initialised_ = false;
  uint32_t autoUpdateMs_ = 0;
  DWORD lastUpdateTick_ = 0;
  uint8_t status_[kListKinds] = {kNotFetched, kNotFetched, kNotFetched};
  bool newData_[kListKinds] = {false, false, false};
  uint32_t refreshFlags_ = 0;
  bool refreshing_ = false;
  bool serversSaved_ = true;
  bool reloadHandler_ = false;
  uint64_t lastRefresh_ = 0;
  ProxySettings proxy_{};
  bool hasProxy_ = false;
  uint32_t lastError_ = 0;
  IXmlDocument* xml_ = nullptr;
  IInterval* timer_ = nullptr;
  IVerifyInfoHandler* handler_ = nullptr;
  IHashCheckManager* manager_ = nullptr;
  std::map<void*, uint32_t> listeners_;
};

}  // namespace

IComponent* NewSecurityVerifier() { return new (std::nothrow) CSecurityVerifier; }

}  // namespace gavio
