// CConnectorManager (component 1131): turns a server-list file into a
// connection. It reads one named list, orders it (priority ids, the last
// server that worked, an optional shuffle and speed ranking), then walks it
// server by server and port by port through one connector, allowing each
// attempt 2900 ms and the whole walk 30000 ms, both watched by a 1000 ms
// check timer. The server and port that worked are written back to the file.
//
// Single-threaded: every operation and event runs on the creating thread.
// Every operation and event holds the instance, and after calling out
// (listeners, the connector) it looks again whether it was finalised or a
// newer attempt took over before it touches its state.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "connect/manager_timings.h"
#include "connect/server_list.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "gavio/timers.h"
#include "gavio/xml.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "platform/shell.h"

namespace gavio {
namespace {

// Read by every manager on its own thread; set by tests between walks.
std::atomic<uint32_t> g_checkPeriodMs{ManagerTimings{}.checkPeriodMs};
std::atomic<uint32_t> g_attemptLimitMs{ManagerTimings{}.attemptLimitMs};
std::atomic<uint32_t> g_overallLimitMs{ManagerTimings{}.overallLimitMs};

constexpr uint32_t kDetectTimeoutMs = 200;
constexpr size_t kMaxPathLength = 519;
constexpr size_t kMaxListNameLength = 259;
constexpr int kMaxDetectHostLength = 63;

// Proxy kinds of the settings block.
constexpr int32_t kProxyKindNone = 0;
constexpr int32_t kProxyKindSocks5 = 1;
constexpr int32_t kProxyKindHttp = 3;

// A restored copy may come read-only from its ".bak"; the manager writes
// the last successful server into it later.
void MakeWritable(const char* path) {
  char hostPath[kMaxPathLength + 1];
  snprintf(hostPath, sizeof hostPath, "%s", path);
  GavioToHostPath(hostPath);
  struct stat info;
  if (stat(hostPath, &info) == 0 && (info.st_mode & S_IWUSR) == 0) {
    chmod(hostPath, (info.st_mode & 07777) | S_IWUSR);
  }
}

class CConnectorManager final
    : public Component<kConnectorManagerId, IConnectorManager, IEventSource>,
      public IConnectorSink,
      public INetSpeedDetectorSink,
      public IIntervalEvent {
 public:
  CConnectorManager()
      : log_(nullptr, kConnectorManagerId),
        random_(static_cast<uint32_t>(time(nullptr))) {
    memset(priority_, 0, sizeof priority_);
    memset(excluded_, 0, sizeof excluded_);
  }

  // --- IConnectorManager ---------------------------------------------------

  int32_t LoadServers(const char* path, const char* listName) override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("读入服务器列表");
    log_.Trace("File: %s", path != nullptr ? path : "(null)");
    if (path == nullptr || listName == nullptr || *path == '\0' || *listName == '\0' ||
        strlen(path) > kMaxPathLength || strlen(listName) > kMaxListNameLength) {
      log_.Error("CConnectorManager::LoadServers Fail!, time : 【 %d 】", GetTickCount());
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    path_ = path;
    listName_ = listName;
    if (!ReadList()) {
      // No list: a walk must not go on with servers of an earlier one.
      table_ = ServerTable();
      log_.Error("CConnectorManager::LoadServers Fail!, time : 【 %d 】", GetTickCount());
      return 0;
    }
    Reorder();
    Dump();
    return 1;
  }

  void SetCatalogID(int32_t id) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("设置使用下面的服务器分类 ID:%d", id);
    catalogId_ = id;
  }

  void SetPriorityList(int32_t count, const int32_t* ids) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("设置优先服务器列表");
    CopyIds(count, ids, priority_);
    priorityCount_ = count < 0 ? 0 : (count > kMaxServers ? kMaxServers : count);
    Reorder();
    Dump();
  }

  void SetExcludeList(int32_t count, const int32_t* ids) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("设置排除服务器列表");
    CopyIds(count, ids, excluded_);
    Dump();
  }

  void AddServers(const void* list) override {
    GAVIO_HOLD_OR_RETURN();
    int added = table_.Add(list);
    log_.Trace("CConnectorManager::AddServers(), %d added", added);
  }

  void SetProxy(const ProxySettings* block) override {
    GAVIO_HOLD_OR_RETURN();
    if (block == nullptr) return;
    proxy_ = *block;
    switch (proxy_.proxyKind) {
      case kProxyKindNone: proxyType_ = kProxyTypeTcp; break;
      case kProxyKindSocks5: proxyType_ = kProxyTypeSocks5; break;
      case kProxyKindHttp: proxyType_ = kProxyTypeHttp; break;
      default: log_.Error("nProxyType=[%d] error,not support", proxy_.proxyKind); break;
    }
  }

  void SetSpeedTest(int32_t on) override { speedTest_ = on != 0; }
  void SetFraming(int32_t on) override { framing_ = on; }
  void SetPacketParam(int32_t maximum, int16_t width, int32_t offset) override {
    maximum_ = maximum;
    width_ = width;
    offset_ = offset;
  }

  int32_t Shuffle() override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("随机打乱");
    random_.seed(static_cast<uint32_t>(time(nullptr)) ^ GetTickCount());
    table_.Shuffle([this] { return static_cast<uint32_t>(random_()); });
    Reorder();
    Dump();
    return 1;
  }

  int32_t StartConnect() override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("开始建立一个连接");
    // A fresh walk: a connector still connected or connecting from an
    // earlier one would ignore the new connect until the attempt timed out.
    ReleaseConnector();
    ReleaseDetector();
    BeginWalk();
    table_.ResetWalk();
    if (!speedTest_ || table_.detectPort() == 0) {
      log_.Trace("不启动测速!");
      return TryConnection();
    }
    log_.Trace("启动测速!");
    if (StartDetection()) return 1;
    // Nothing to rank (a priority server leads the table, say): waiting for
    // an answer that cannot come would only end in the overall time-out.
    return TryConnection();
  }

  void Stop() override {
    GAVIO_HOLD_OR_RETURN();
    StopCheckTimer();
    ReleaseDetector();
    ReleaseConnector();
    connecting_ = false;
  }

  int32_t ConnectNext() override {
    GAVIO_HOLD_OR_RETURN(0);
    log_.Trace("开始建立一个连接");
    BeginWalk();
    return TryNext();
  }

  void Send(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    if (connector_ == nullptr) {
      SetLastError(kConnectErrorNotConnected);
      return;
    }
    connector_->Send(bytes, length);
  }

  uintptr_t GetSocket() override {
    GAVIO_HOLD_OR_RETURN(static_cast<uintptr_t>(-1));
    return connector_ != nullptr ? connector_->GetSocket() : static_cast<uintptr_t>(-1);
  }

  void SetLengthAdjust(int32_t adjust) override { lengthAdjust_ = adjust; }
  void KeepSocketOpen() override { keepSocketOpen_ = true; }

  void ComponentFinalize() override {
    StopCheckTimer();
    if (timer_ != nullptr) timer_->Destroy(1);
    timer_ = nullptr;
    ReleaseDetector();
    ReleaseConnector();
    if (document_ != nullptr) document_->Destroy(1);
    document_ = nullptr;
    listeners_.clear();
  }

  // --- IEventSource --------------------------------------------------------

  void AddListener(void* listener, uint32_t value) override {
    if (listener != nullptr) listeners_[static_cast<IConnectorSink*>(listener)] = value;
  }
  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(static_cast<IConnectorSink*>(listener)));
  }

  // --- IConnectorSink (the connector) ---------------------------------------

  void OnConnected() override {
    GAVIO_HOLD_OR_RETURN();
    connecting_ = false;
    lastAttempt_ = 0;
    StopCheckTimer();
    WriteLastSuccess();
    Tell([](IConnectorSink* l) { l->OnConnected(); });
  }

  void OnConnectFailed(uint32_t error) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("CConnectorManager::OnConnectFailed(), error : 【 0x%x 】", error);
    if (!running_) return;  // a stray result after Stop or the end of a walk
    TryNext();
  }

  void OnClose(int32_t reason) override {
    GAVIO_HOLD_OR_RETURN();
    Tell([reason](IConnectorSink* l) { l->OnClose(reason); });
  }

  void OnPacket(const char* bytes, int32_t length) override {
    GAVIO_HOLD_OR_RETURN();
    Tell([bytes, length](IConnectorSink* l) { l->OnPacket(bytes, length); });
  }

  // --- INetSpeedDetectorSink -------------------------------------------------

  void OnDetectReply(const char* address, uint16_t port, uint32_t timeMs) override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("CConnectorManager::OnDetectReply(), time : 【 %d 】", GetTickCount());
    if (address != nullptr) {
      log_.Trace("CConnectorManager::OnDetectReply( %s ), time : 【 %d 】", address,
                 GetTickCount());
    }
    detectAnswered_ = true;
    if (!connecting_ && running_) TryNext();
  }

  void OnDetectTimeout() override {
    GAVIO_HOLD_OR_RETURN();
    log_.Trace("CConnectorManager::OnDetectTimeout(), Detect timeout!");
    if (!connecting_ && running_) TryNext();
  }

  // --- IIntervalEvent (the check timer) ----------------------------------------

  void OnInterval(uint32_t) override {
    GAVIO_HOLD_OR_RETURN();
    if (!running_ || !started_) return;
    DWORD now = GetTickCount();
    if (now - startTime_ > g_overallLimitMs.load()) {
      log_.Error("连接总体超时, StartConnectTime : 【 %d 】,CurrentTime : 【 %d 】", startTime_, now);
      Fail(kConnectErrorFailed);
      return;
    }
    if (connecting_ && now - lastAttempt_ > g_attemptLimitMs.load()) {
      log_.Error("单次连接尝试超时, LastMakeConnectTime : 【 %d 】,\t\t\t\t\tcurrent time : [ %d ]",
                 lastAttempt_, now);
      TryNext();
    }
  }

 private:
  template <class Event>
  void Tell(Event event) {
    std::map<IConnectorSink*, uint32_t> copy = listeners_;
    for (auto& entry : copy) {
      if (!IsInitialised()) return;
      if (listeners_.count(entry.first) != 0) event(entry.first);
    }
  }

  static void CopyIds(int32_t count, const int32_t* ids, int32_t* out) {
    memset(out, 0, sizeof(int32_t) * kMaxServers);
    if (ids == nullptr || count <= 0) return;
    memcpy(out, ids, sizeof(int32_t) * static_cast<size_t>(count < kMaxServers ? count : kMaxServers));
  }

  // --- the file ---------------------------------------------------------------

  IXmlDocument* Document() {
    if (document_ == nullptr) document_ = CreateComponentAs<IXmlDocument>(kXmlDocumentId);
    return document_;
  }

  // Text without a root element (a truncated or overwritten file reads as
  // such) is no list file either.
  bool LoadDocument(IXmlDocument* document) {
    return document->Load(path_.c_str()) == 1 && document->IsWellFormed() == 1;
  }

  // Loads the file, restoring it once from its ".bak" copy when it cannot
  // be read, and reads the list.
  bool ReadList() {
    IXmlDocument* document = Document();
    if (document == nullptr) return false;
    if (!LoadDocument(document)) {
      // A fresh document, so nothing of the failed parse stays behind.
      document_->Destroy(1);
      document_ = nullptr;
      std::string backup = path_ + ".bak";
      if (GavioCopyFile(backup.c_str(), path_.c_str())) MakeWritable(path_.c_str());
      document = Document();
      if (document == nullptr || !LoadDocument(document)) {
        log_.Error("服务器列表配置文件不存在或内容错误！");
        return false;
      }
    }
    switch (table_.Read(document, listName_.c_str())) {
      case ListReadResult::kOk: break;
      case ListReadResult::kNoServerElement:
        log_.Error("CConnectorManager::LoadServers(), no <Server> element");
        return false;
      case ListReadResult::kNoList:
        log_.Error("CConnectorManager::LoadServers(), no list <%s>", listName_.c_str());
        return false;
      case ListReadResult::kBadCount:
        log_.Error("CConnectorManager::LoadServers(), the count of <%s> is not above 0",
                   listName_.c_str());
        return false;
    }
    if (table_.refusedHosts() > 0) {
      log_.Error("CConnectorManager::LoadServers(), %d host(s) longer than %d characters unused",
                 table_.refusedHosts(), kMaxHostLength);
    }
    // The list element, for SuccessfulServerID and SuccessfulPort.
    document->OutOfElem();
    successfulId_ = ReadIntAttribute(document, "SuccessfulServerID", 0);
    successfulPort_ = ReadIntAttribute(document, "SuccessfulPort", 0);
    log_.Trace("读出最后成功服务器 ServerID:%d Port:%d", successfulId_, successfulPort_);
    return true;
  }

  void Reorder() { table_.ApplyPriority(priority_, successfulId_, successfulPort_); }

  void WriteLastSuccess() {
    const ServerRecord* record = table_.Current();
    IXmlDocument* document = Document();
    if (record == nullptr || document == nullptr || path_.empty()) return;
    int32_t port = table_.CurrentPort();
    if (document->Load(path_.c_str()) != 1) return;
    document->ResetPos();
    if (document->FindElem("Server") != 1 || document->IntoElem() != 1 ||
        document->FindElem(listName_.c_str()) != 1) {
      return;
    }
    document->SetAttribInt("SuccessfulServerID", record->serverId);
    document->SetAttribInt("SuccessfulPort", port);
    document->OutOfElem();
    if (document->Save(path_.c_str()) != 1) {
      log_.Error("CConnectorManager::WriteLastSuccess(), cannot save %s", path_.c_str());
      return;
    }
    successfulId_ = record->serverId;
    successfulPort_ = port;
    log_.Trace("写入最后成功服务器 ServerID:%d Port:%d", record->serverId, port);
  }

  void Dump() {
    log_.Trace("================================================");
    log_.Trace("Dump of CConnectManager");
    log_.Trace("INI file:%s CatalogID:%d CurrentIndex:%d", path_.c_str(), catalogId_,
               table_.current());
    const int32_t* p = priority_;
    log_.Trace("优先列表:%d %d %d %d %d %d %d %d %d %d", p[0], p[1], p[2], p[3], p[4], p[5], p[6],
               p[7], p[8], p[9]);
    const int32_t* x = excluded_;
    log_.Trace("排除列表:%d %d %d %d %d %d %d %d %d %d", x[0], x[1], x[2], x[3], x[4], x[5], x[6],
               x[7], x[8], x[9]);
    log_.Trace("服务器列表");
    for (int i = 0; i < table_.count(); ++i) {
      const ServerRecord& r = table_.at(i);
      if (r.inUse == 0) continue;
      bool dotted = IsDottedAddress(r.host);
      log_.Trace("ServerID:%d CatalogID:%d IP:%s Host:%s", r.serverId, r.catalogId,
                 dotted ? r.host : "", dotted ? "" : r.host);
    }
    log_.Trace("================================================");
  }

  // --- the walk -----------------------------------------------------------------

  void BeginWalk() {
    StartCheckTimer();
    startTime_ = GetTickCount();
    started_ = true;
    lastAttempt_ = 0;
    connecting_ = false;
  }

  bool Usable(const ServerRecord& r) const {
    if (r.inUse == 0 || r.catalogId != catalogId_ || r.serverId == 0 || r.host[0] == '\0') {
      return false;
    }
    for (int32_t id : excluded_) {
      if (id == r.serverId) return false;
    }
    return true;
  }

  // Moves to the next port or server; true while a server remains.
  bool NextServer() {
    if (connector_ != nullptr) {
      EventSourceOf(connector_)->RemoveListener(static_cast<IConnectorSink*>(this));
      connector_->Disconnect();
      EventSourceOf(connector_)->AddListener(static_cast<IConnectorSink*>(this), 0);
    }
    if (detector_ != nullptr && detectAnswered_ && !InsidePriorityRun()) FollowDetector();
    bool remains = table_.Advance();
    if (remains) {
      log_.Trace("切换当前服务器到下一个服务器【 %d 】", table_.current());
    } else {
      log_.Error("所有服务器均试过!");
    }
    Dump();
    return remains;
  }

  bool InsidePriorityRun() const {
    int run = 0;
    while (run < table_.count() && table_.IsPriorityPosition(run)) ++run;
    return table_.current() >= 0 && table_.current() < run;
  }

  void FollowDetector() {
    std::vector<char> sorted(sizeof(uint32_t) + sizeof(SortedProbeEntry) * kMaxServers);
    if (detector_->GetSortedIPArray(sorted.data()) != 1) return;
    uint32_t count;
    memcpy(&count, sorted.data(), sizeof count);
    if (count > static_cast<uint32_t>(kMaxServers)) count = kMaxServers;
    std::vector<std::string> addresses;
    for (uint32_t i = 0; i < count; ++i) {
      SortedProbeEntry entry;
      memcpy(&entry, sorted.data() + sizeof count + i * sizeof entry, sizeof entry);
      addresses.emplace_back(entry.address, strnlen(entry.address, sizeof entry.address));
    }
    table_.FollowRanking(table_.current() + 1, addresses);
  }

  IConnector* Connector() {
    if (connector_ != nullptr) return connector_;
    connector_ = CreateComponentAs<IConnector>(kConnectorId);
    if (connector_ == nullptr) {
      log_.Error("CConnectorManager, cannot create the connector");
      return nullptr;
    }
    SocketParam param{proxyType_, &proxy_};
    connector_->SetSocketParam(&param);
    connector_->SetFraming(framing_);
    if (framing_ != 0) connector_->SetPacketParam(maximum_, width_, offset_);
    if (lengthAdjust_ > 0) connector_->SetLengthAdjust(lengthAdjust_);
    if (keepSocketOpen_) connector_->KeepSocketOpen();
    EventSourceOf(connector_)->AddListener(static_cast<IConnectorSink*>(this), 0);
    return connector_;
  }

  // Issues a connect to the first usable server from the current position
  // on. False when none remains or no connector can be had.
  bool MakeConnection() {
    if (Connector() == nullptr) {
      Dump();
      return false;
    }
    if (table_.current() < 0 && !NextServer()) return false;
    while (table_.Current() != nullptr && !Usable(*table_.Current())) {
      if (!NextServer()) {
        Dump();
        return false;
      }
    }
    const ServerRecord* record = table_.Current();
    if (record == nullptr) return false;
    ServerEntry entry{};
    if (IsDottedAddress(record->host)) {
      snprintf(entry.address, sizeof entry.address, "%s", record->host);
    } else {
      snprintf(entry.hostName, sizeof entry.hostName, "%s", record->host);
    }
    entry.port = static_cast<uint16_t>(table_.CurrentPort());
    uint32_t attempt = ++attempt_;
    connecting_ = true;
    lastAttempt_ = GetTickCount();
    log_.Trace("Connect Server -> %s : %d, time : 【 %d 】", record->host, entry.port,
               lastAttempt_);
    connector_->Connect(&entry);
    // The connector may have answered inside Connect: a newer attempt, a
    // failure or the listener's Destroy then owns the state.
    if (!IsInitialised() || attempt != attempt_) return true;
    Dump();
    return true;
  }

  // The first attempt of a walk (or its resumption).
  int32_t TryConnection() {
    if (MakeConnection()) return 1;
    if (!IsInitialised()) return 0;
    log_.Error("没有空闲IP去建立连接");
    Fail(kConnectErrorNoServerLeft);
    return 0;
  }

  int32_t TryNext() {
    connecting_ = false;
    if (!NextServer()) {
      log_.Error("没有空闲IP去建立连接");
      Fail(kConnectErrorNoServerLeft);
      return 0;
    }
    return TryConnection();
  }

  void Fail(uint32_t code) {
    ++attempt_;
    ReleaseConnector();
    StopCheckTimer();
    connecting_ = false;
    started_ = false;
    SetLastError(code);
    Tell([code](IConnectorSink* l) { l->OnConnectFailed(code); });
  }

  // --- detector, timer, connector ---------------------------------------------------

  bool StartDetection() {
    ReleaseDetector();
    detectAnswered_ = false;
    std::vector<char> request(sizeof(uint16_t) + sizeof(DetectRequestEntry) * kMaxServers);
    uint16_t count = 0;
    for (int i = 0; i < table_.count(); ++i) {
      const ServerRecord& r = table_.at(i);
      if (!Usable(r) || IsPriorityId(r.serverId)) break;
      DetectRequestEntry entry{};
      snprintf(entry.host, kMaxDetectHostLength + 1, "%s", r.host);
      entry.port = static_cast<uint16_t>(table_.detectPort());
      memcpy(request.data() + sizeof count + count * sizeof entry, &entry, sizeof entry);
      ++count;
    }
    memcpy(request.data(), &count, sizeof count);
    if (count == 0) {
      log_.Trace("CConnectorManager, nothing to rank: no detection");
      return false;
    }
    detector_ = CreateComponentAs<INetSpeedDetector>(kNetSpeedDetectorId);
    if (detector_ == nullptr || detector_->Initialize(this) != 1 ||
        detector_->Detect(request.data(), kDetectTimeoutMs) != 1) {
      log_.Error("CConnectorManager, the speed detection did not start");
      ReleaseDetector();
      return false;
    }
    return true;
  }

  bool IsPriorityId(int32_t id) const {
    for (int i = 0; i < priorityCount_; ++i) {
      if (priority_[i] == id) return true;
    }
    return false;
  }

  void StartCheckTimer() {
    if (running_) return;
    if (timer_ == nullptr) timer_ = CreateComponentAs<IInterval>(kIntervalId);
    if (timer_ == nullptr) {
      log_.Error("CConnectorManager, cannot create the check timer");
      return;
    }
    timer_->SetInterval(g_checkPeriodMs.load(), this, 0, 0, this);
    running_ = true;
  }

  void StopCheckTimer() {
    if (timer_ != nullptr) timer_->ClearInterval();
    running_ = false;
  }

  void ReleaseDetector() {
    if (detector_ == nullptr) return;
    INetSpeedDetector* detector = detector_;
    detector_ = nullptr;
    detector->Finalize();
    detector->Destroy(1);
  }

  void ReleaseConnector() {
    if (connector_ == nullptr) return;
    IConnector* connector = connector_;
    connector_ = nullptr;
    EventSourceOf(connector)->RemoveListener(static_cast<IConnectorSink*>(this));
    connector->Destroy(1);
  }

  LogSink log_;
  std::mt19937 random_;
  ServerTable table_;
  std::string path_;
  std::string listName_;
  int32_t catalogId_ = 0;
  int32_t priority_[kMaxServers];
  int32_t priorityCount_ = 0;
  int32_t excluded_[kMaxServers];
  int32_t successfulId_ = 0;
  int32_t successfulPort_ = 0;
  bool speedTest_ = false;
  bool detectAnswered_ = false;
  ProxySettings proxy_{};
  int32_t proxyType_ = kProxyTypeTcp;
  int32_t framing_ = 0;
  int32_t maximum_ = 0;
  int16_t width_ = 0;
  int32_t offset_ = 0;
  int32_t lengthAdjust_ = 0;
  bool keepSocketOpen_ = false;
  DWORD startTime_ = 0;
  bool started_ = false;
  DWORD lastAttempt_ = 0;
  bool connecting_ = false;
  bool running_ = false;
  uint32_t attempt_ = 0;
  IConnector* connector_ = nullptr;
  INetSpeedDetector* detector_ = nullptr;
  IXmlDocument* document_ = nullptr;
  IInterval* timer_ = nullptr;
  std::map<IConnectorSink*, uint32_t> listeners_;
};

}  // namespace

ManagerTimings GetManagerTimings() {
  ManagerTimings timings;
  timings.checkPeriodMs = g_checkPeriodMs.load();
  timings.attemptLimitMs = g_attemptLimitMs.load();
  timings.overallLimitMs = g_overallLimitMs.load();
  return timings;
}

void SetManagerTimings(const ManagerTimings& timings) {
  g_checkPeriodMs.store(timings.checkPeriodMs);
  g_attemptLimitMs.store(timings.attemptLimitMs);
  g_overallLimitMs.store(timings.overallLimitMs);
}

IComponent* NewConnectorManager() { return new (std::nothrow) CConnectorManager; }

}  // namespace gavio
