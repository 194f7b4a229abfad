// CVersionUpdater (1011): has the update-info file written, copies the
// external updater into the per-user "LiveUpdateRun" folder, starts it and
// follows it over the IPC channel and two timers, then tells the client.
//
// Everything runs on the creating thread: the channel and the timers deliver
// through its message loop, and the message boxes block it. Every entry
// point that calls out holds the instance, so a listener may destroy the
// updater from inside a call.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/ipc.h"
#include "gavio/runtime.h"
#include "gavio/timers.h"
#include "gavio/update.h"
#include "platform/address.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "update/live_update_config.h"
#include "update/updater_timings.h"

namespace gavio {
namespace {

// Narrow texts in code page 936.
constexpr char kErrorCaption[] = "VersionUpdater\xcc\xe1\xca\xbe";
constexpr char kQuestionCaption[] = "\xcc\xe1\xca\xbe";
constexpr char kSaveFailText[] =
    "\xb1\xa3\xb4\xe6\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc\x21";
constexpr char kCommonErrorText[] =
    "\xba\xdc\xb1\xa7\xc7\xb8\xa3\xac\xc9\xfd\xbc\xb6\xb9\xfd\xb3\xcc\xd3\xf6\xb5\xbd\xce\xca"
    "\xcc\xe2\xa3\xac\xc7\xeb\xc4\xe3\xd6\xd8\xca\xd4\xa3\xac\xbb\xf2\xd5\xdf\xca\xd6\xb6\xaf"
    "\xb5\xc7\xc2\xbc\xb9\xd9\xcd\xf8\xbd\xf8\xd0\xd0\xc9\xfd\xbc\xb6\xa3\xa1";
constexpr char kRetryText[] =
    "\xd7\xd4\xb6\xaf\xc9\xfd\xbc\xb6\xb9\xfd\xb3\xcc\xd6\xd0\xd3\xf6\xb5\xbd\xce\xca\xcc\xe2"
    "\x2c\xb5\xe3\xbb\xf7\xca\xc7\xbd\xf8\xd0\xd0\xd6\xd8\xca\xd4\x2c\xb7\xf1\xd4\xf2\xcd\xcb"
    "\xb3\xf6\xc9\xfd\xbc\xb6\x21";

constexpr uint32_t kRequestTimer = 1;  // UPDTE_REQUEST_ID
constexpr uint32_t kOnlineTimer = 2;   // UPDTE_ONLINEREQUEST_ID

std::atomic<uint32_t> g_firstAnswerMs{10000};
std::atomic<uint32_t> g_onlineCheckMs{20000};
std::atomic<int64_t> g_onlineSilenceSeconds{60};

// The updater's last sign of life is timed on the monotonic clock in
// milliseconds: a change of the wall clock must not end a healthy updater,
// and whole seconds are counted from the real moment, not from the start of
// its second.
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Splits a command line at blanks; double quotes group and are dropped.
std::vector<std::string> SplitCommandLine(const char* line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (const char* p = line; *p != '\0'; ++p) {
    if (*p == '"') {
      quoted = !quoted;
      any = true;
    } else if (*p == ' ' && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += *p;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

class CVersionUpdater final : public Component<kVersionUpdaterId, IVersionUpdater, IEventSource>,
                              public IUpdateInfoListener,
                              public IIpcListener,
                              public IIntervalEvent {
 public:
  CVersionUpdater()
      : log_(nullptr, kVersionUpdaterId),
        channel_(nullptr, kIpcChannelId),
        writer_(nullptr, kUpdateInfoStandardId),
        requestTimer_(nullptr, kIntervalId),
        onlineTimer_(nullptr, kIntervalId) {
    EnterState(0);
    InitIPCChannel();
    EnterState(1);
  }

  // IVersionUpdater
  int32_t UpdateClient(const UpdateInfoRecord* record, int32_t bStartup,
                       int32_t bOnline) override {
    GAVIO_HOLD_OR_RETURN(0);
    startup_ = bStartup;
    online_ = bOnline;
    log_.Trace("CVersionUpdater::UpdateClient Enter, bStartup(%d), bOnline(%d)", bStartup,
               bOnline);
    EnterState(2);
    if (record == nullptr) {
      UpdateErrorHandler(kUpdateErrorNullRecord);
      log_.Trace("CVersionUpdater::UpdateClient, lpParam = NULL");
      return 0;
    }
    auto* writer = writer_.As<IUpdateInfo>();
    if (writer == nullptr) {
      UpdateErrorHandler(kUpdateErrorSaveInfo);
      return 0;
    }
    EventSourceOf(writer)->AddListener(static_cast<IUpdateInfoListener*>(this), 0);
    return writer->SaveToUpdateInfoFile(record, static_cast<uint32_t>(bOnline));
  }

  void SetQuitValue(uint32_t value) override { quitValue_ = value; }

  void ComponentFinalize() override {
    log_.Trace("CVersionUpdater::ComponentFinalize");
    DumpStates();
    EnterState(21);
    log_.Trace("CVersionUpdater -- NotifyLiveUpdateExit");
    KillTimer(kOnlineTimer);
    KillTimer(kRequestTimer);
    NotifyLiveUpdateAndClientExit();
    if (auto* channel = channel_.Get()) {
      EventSourceOf(channel)->RemoveListener(static_cast<IIpcListener*>(this));
    }
    if (auto* writer = writer_.Get()) {
      EventSourceOf(writer)->RemoveListener(static_cast<IUpdateInfoListener*>(this));
    }
    if (process_ != nullptr) CloseHandle(process_);
    process_ = nullptr;
    listeners_.clear();
    requestTimer_.Reset();
    onlineTimer_.Reset();
    writer_.Reset();
    channel_.Reset();
  }

  // IEventSource: the client's listeners.
  void AddListener(void* listener, uint32_t value) override {
    if (listener != nullptr) listeners_[listener] = value;
  }
  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(listener));
  }

  // IUpdateInfoListener
  void OnSaveUpdateInfoSuccess() override {
    GAVIO_HOLD_OR_RETURN();
    EnterState(3);
    if (CopyLiveupdaterToAppdataPath()) {
      BuildCommandLine();
      StartLiveUpdate();
    } else {
      log_.Trace("CVersionUpdater::UpdateClient, CheckLiveUpdateRunVersion() = FALSE");
    }
  }
  void OnSaveUpdateInfoFail(int32_t) override {
    GAVIO_HOLD_OR_RETURN();
    EnterState(4);
    UpdateErrorHandler(kUpdateErrorSaveInfo);
  }
  void OnNotNeedLiveUpdate() override {
    GAVIO_HOLD_OR_RETURN();
    Tell(&IVersionUpdateListener::OnUpdateSuccess);
  }

  // IIpcListener
  void OnReceive(const void* data, uint32_t size) override {
    GAVIO_HOLD_OR_RETURN();
    // A message is at least its id; anything shorter is not one.
    if (ignoreUpdater_ || data == nullptr || size < sizeof(uint32_t)) return;
    uint32_t id;
    memcpy(&id, data, sizeof id);
    switch (id) {
      case kL2cUpdateSuccess:
        EnterState(19);
        if (online_) KillTimer(kOnlineTimer);
        Tell(&IVersionUpdateListener::OnUpdateSuccess);
        break;
      case kL2cUpdateFail:
        EnterState(state_ == 10 ? 13 : 20);
        if (online_) KillTimer(kOnlineTimer);
        KillTimer(kRequestTimer);
        Tell(&IVersionUpdateListener::OnUpdateFail);
        break;
      case kL2cIgnoreUpdate:
        KillTimer(kRequestTimer);
        Tell(&IVersionUpdateListener::OnIgnoreUpdate);
        break;
      case kL2cNeedUpdate:
        if (online_) SetTimer(kOnlineTimer, g_onlineCheckMs.load());
        KillTimer(kRequestTimer);
        if (state_ != 18) {
          EnterState(12);
          Tell(&IVersionUpdateListener::OnNeedUpdate);
        }
        break;
      case kL2cNotifyOnline:
        lastSignOfLife_ = NowMs();
        break;
      case kL2cNotifyClientExit:
        Tell(&IVersionUpdateListener::OnUpdaterAsksClientExit);
        break;
      default:
        break;
    }
  }

  // IIntervalEvent: both timers, told apart by their parameter.
  void OnInterval(uint32_t param) override {
    GAVIO_HOLD_OR_RETURN();
    if (param == kRequestTimer) {
      OnRequestTimeout();
    } else if (param == kOnlineTimer) {
      OnOnlineCheck();
    }
  }

 private:
  void EnterState(int32_t state) {
    state_ = state;
    history_.push_back(state);
  }

  void Tell(void (IVersionUpdateListener::*event)()) {
    std::vector<void*> copy;
    for (auto& entry : listeners_) copy.push_back(entry.first);
    for (void* listener : copy) (static_cast<IVersionUpdateListener*>(listener)->*event)();
  }

  void InitIPCChannel() {
    auto* channel = channel_.As<IIpcChannel>();
    if (channel == nullptr) return;
    // Room for the longer prefix, so both keys hold the whole name.
    char key[kIpcKeySize - sizeof "MOSK_IPC_LIVEUPDATER_"];
    config_.GetIPCKey(key, sizeof key);
    IpcKeys keys{};
    snprintf(keys.ownKey, sizeof keys.ownKey, "MOSK_IPC_CLIENT_%s", key);
    snprintf(keys.peerKey, sizeof keys.peerKey, "MOSK_IPC_LIVEUPDATER_%s", key);
    EventSourceOf(channel)->AddListener(static_cast<IIpcListener*>(this), 0);
    int32_t opened = channel->Init(&keys);
    log_.Trace("CVersionUpdater::InitIPCChannel, LIVEUPDATE_IPC_KEY = %s, IPCInit = %d",
               keys.ownKey, opened);
  }

  void SetTimer(uint32_t which, uint32_t milliseconds) {
    TGavioPtr& timer = which == kRequestTimer ? requestTimer_ : onlineTimer_;
    if (auto* interval = timer.As<IInterval>()) {
      interval->SetInterval(milliseconds, static_cast<IIntervalEvent*>(this), which, 0, this);
    }
  }

  void KillTimer(uint32_t which) {
    TGavioPtr& timer = which == kRequestTimer ? requestTimer_ : onlineTimer_;
    if (auto* interval = timer.As<IInterval>()) interval->ClearInterval();
  }

  // Copies the updater's folder breadth-first into the run folder. A file
  // that cannot be copied aborts the copy unless an earlier copy is there.
  bool CopyLiveupdaterToAppdataPath() {
    char updater[kUpdatePathSize];
    config_.GetLiveUpdaterPath(updater, sizeof updater);
    std::string source = std::string(RootPath()) + "/" + updater;
    char target[kUpdatePathSize];
    config_.GetRunFolder(target, sizeof target);
    TGavioPtr utilsPtr(nullptr, kFileUtilsId);
    auto* utils = utilsPtr.As<IFileUtils>();
    if (utils != nullptr) utils->CreateFolder(target);
    EnterState(6);
    bool ok = utils != nullptr && CopyTree(utils, source, target);
    if (!ok) {
      EnterState(8);
      UpdateErrorHandler(kUpdateErrorCopyUpdater);
      return false;
    }
    log_.Trace("CVersionUpdater::CopyLiveupdaterToAppdataPath, Copy file is TRUE");
    EnterState(7);
    return true;
  }

  bool CopyTree(IFileUtils* utils, const std::string& source, const std::string& target) {
    std::vector<std::string> work{""};
    for (size_t next = 0; next < work.size(); ++next) {
      const std::string relative = work[next];
      std::string pattern = source + relative + "/*";
      int32_t count = utils->ListFolder(pattern.c_str(), nullptr, 0);
      if (count <= 0) continue;
      std::vector<FolderEntry> entries(static_cast<size_t>(count));
      count = utils->ListFolder(pattern.c_str(), entries.data(), count);
      for (int32_t i = 0; i < count; ++i) {
        const FolderEntry& entry = entries[static_cast<size_t>(i)];
        std::string name = relative + "/" + entry.name;
        if (entry.isFolder) {
          if (entry.name[0] != '.') work.push_back(name);
          continue;
        }
        std::string to = target + name;
        utils->CreateFolder((target + relative).c_str());
        if (utils->CopyFile((source + name).c_str(), to.c_str())) continue;
        bool kept = Exists(to) && !IsFolder(to);
        log_.Error("CVersionUpdater::CopyLiveupdaterToAppdataPath, Failed When Copying %s, "
                   "ErrorCode %d, %s", (source + name).c_str(), static_cast<int>(GetLastError()),
                   kept ? "Continue" : "Abort");
        if (!kept) return false;
      }
    }
    return true;
  }

  void BuildCommandLine() {
    std::string line;
    auto add = [&line](const std::string& word) {
      if (!line.empty()) line += ' ';
      line += word;
    };
    if (startup_) add("-s");
    if (quitValue_ != 0) add("-q \"" + std::to_string(quitValue_) + "\"");
    if (online_) add("-o");
    char appData[kUpdatePathSize];
    if (!config_.GetAppDataFolder(appData, sizeof appData)) appData[0] = '\0';
    add(std::string("-p \"") + appData + "\"");
    EnterState(9);
    snprintf(commandLine_, sizeof commandLine_, "%s", line.c_str());
  }

  // Starts the updater with the kept command line; keeps its handle.
  bool CreateUpdaterProcess() {
    char folder[kUpdatePathSize];
    config_.GetRunFolder(folder, sizeof folder);
    std::string program = std::string(folder) + "/liveupdate.exe";
    std::vector<std::string> words = SplitCommandLine(commandLine_);
    std::vector<const char*> argv{program.c_str()};
    for (const std::string& word : words) argv.push_back(word.c_str());
    argv.push_back(nullptr);
    DWORD id = 0;
    HANDLE process = GavioCreateProcess(program.c_str(), argv.data(), &id);
    if (process == nullptr) return false;
    if (process_ != nullptr) CloseHandle(process_);
    process_ = process;
    processId_ = id;
    lastSignOfLife_ = NowMs();
    return true;
  }

  void StartLiveUpdate() {
    if (!CreateUpdaterProcess()) {
      log_.Error("CVersionUpdater::StartLiveUpdate, Create Liveupdate Process fail");
      EnterState(11);
      UpdateErrorHandler(kUpdateErrorStartUpdater);
      return;
    }
    log_.Trace("CVersionUpdater::StartLiveUpdate, Create Liveupdate Process Success");
    EnterState(10);
    SetTimer(kRequestTimer, g_firstAnswerMs.load());
  }

  void OnRequestTimeout() {
    log_.Error("CVersionUpdater::OnUpdteRequestTimeout, UPDTE_REQUEST_ID timeout!");
    EnterState(14);
    ignoreUpdater_ = 1;
    KillTimer(kRequestTimer);
    Tell(&IVersionUpdateListener::OnUpdateFail);
  }

  void OnOnlineCheck() {
    int64_t elapsed = (NowMs() - lastSignOfLife_) / 1000;
    if (elapsed <= g_onlineSilenceSeconds.load()) return;
    EnterState(15);
    log_.Trace("CVersionUpdater::OnUpdteRequestTimeout, UPDTE_ONLINEREQUEST_ID timeout, so "
               "restart liveupdate! nTimeOut=%d", static_cast<int>(elapsed));
    LiveupdateOnlineTimeout();
  }

  void LiveupdateOnlineTimeout() {
    KillTimer(kOnlineTimer);
    bool terminated = false;
    if (process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
      EnterState(16);
      terminated = TerminateProcess(process_, 0) != FALSE;
      if (terminated) {
        log_.Trace("CVersionUpdater::LiveupdateOnlineTimeout, TerminateProcess = TRUE");
      } else {
        log_.Trace("CVersionUpdater::LiveupdateOnlineTimeout, TerminateProcess = FALSE, "
                   "ErrorCode = %d", static_cast<int>(GetLastError()));
      }
    } else {
      log_.Error("LiveUpdate Process Is Not Runing");
    }
    EnterState(17);
    char text[1024];
    GetNotifyMsg("OnlineLiveupdateTimeout", text, sizeof text, kRetryText);
    int32_t answer = MessageBoxA(nullptr, text, kQuestionCaption, MB_YESNO);
    if (answer == IDYES && terminated) {
      EnterState(18);
      log_.Trace("CVersionUpdater::RestartLiveupdate,liveupdate is not online in "
                 "onlineliveupdate mode!,so restart liveupdate");
      if (CreateUpdaterProcess()) {
        SetTimer(kOnlineTimer, g_onlineCheckMs.load());
        log_.Trace("CVersionUpdater::LiveupdateOnlineTimeout, RestartLiveupdate =  True");
        return;
      }
      log_.Trace("CVersionUpdater::LiveupdateOnlineTimeout, RestartLiveupdate = False");
    }
    log_.Trace("CVersionUpdater::LiveupdateOnlineTimeout, OnUpdateFail");
    Tell(&IVersionUpdateListener::OnUpdateFail);
  }

  void GetNotifyMsg(const char* key, char* out, size_t size, const char* fallback) {
    out[0] = '\0';
    std::string ini = std::string(RootPath()) + "/taskinfo.ini";
    if (Exists(ini)) config_.GetTaskInfo("FriendlyTips", key, out, size);
    if (out[0] == '\0') snprintf(out, size, "%s", fallback);
  }

  int32_t UpdateErrorHandler(uint32_t code) {
    log_.Error("CVersionUpdater::UpdateErrorHandler, Error = %d", static_cast<int>(code));
    EnterState(-1);
    DumpStates();
    char text[1024];
    if (code == kUpdateErrorSaveInfo) {
      GetNotifyMsg("SaveUpdateInfoFileFail", text, sizeof text, kSaveFailText);
    } else if (code == kUpdateErrorCopyUpdater) {
      GetNotifyMsg("CopyLiveUpdateFail", text, sizeof text, kCommonErrorText);
      DelVersion();
    } else {
      GetNotifyMsg("CommonErrorTipMessage", text, sizeof text, kCommonErrorText);
    }
    MessageBoxA(nullptr, text, kErrorCaption, MB_OK);
    OpenAddr();
    log_.Trace("CVersionUpdater::UpdateErrorHandler, OnUpdateFail");
    Tell(&IVersionUpdateListener::OnUpdateFail);
    log_.Trace("CVersionUpdater::UpdateErrorHandler, Error(%d) Message = %s",
               static_cast<int>(code), text);
    return 1;
  }

  void DelVersion() {
    char folder[kUpdatePathSize];
    config_.GetRunFolder(folder, sizeof folder);
    std::string version = std::string(folder) + "/version.ini";
    if (Exists(version)) unlink(version.c_str());
  }

  void OpenAddr() {
    char address[1024];
    GetNotifyMsg("OpenAddr", address, sizeof address, "");
    if (address[0] != '\0') GavioOpenAddress(address, SW_SHOWNORMAL);
  }

  void DumpStates() {
    log_.Trace("Dump UpdateCenter state Info ==>");
    char line[kUpdatePathSize] = {0};
    size_t used = 0;
    for (int32_t state : history_) {
      int n = snprintf(line + used, sizeof line - used, "%d->", state);
      if (n < 0 || used + static_cast<size_t>(n) >= sizeof line) break;
      used += static_cast<size_t>(n);
    }
    line[used] = '\0';
    log_.Trace("%s", line);
    log_.Trace("m_bOnlineUpdate = %d", online_);
    log_.Trace("Dump UpdateCenter state Info <==");
  }

  void NotifyLiveUpdateAndClientExit() {
    auto* channel = channel_.As<IIpcChannel>();
    if (channel == nullptr) return;
    uint8_t message[kC2lNotifyClientExitSize] = {0};
    memcpy(message, &kC2lNotifyClientExit, sizeof kC2lNotifyClientExit);
    channel->Send(message, sizeof message, 0);
    log_.Trace("CVersionUpdater::NotifyLiveUpdateAndClientExit, send IPCmessage to "
               "liveupdate--C2L_NOTIFYCLIENTEXIT");
  }

  LogSink log_;
  CLiveUpdateConfig config_;
  TGavioPtr channel_;
  TGavioPtr writer_;
  TGavioPtr requestTimer_;
  TGavioPtr onlineTimer_;
  std::map<void*, uint32_t> listeners_;
  int32_t startup_ = 0;
  int32_t online_ = 0;
  uint32_t quitValue_ = 0;
  char commandLine_[kUpdatePathSize] = {0};
  HANDLE process_ = nullptr;
  DWORD processId_ = 0;
  int64_t lastSignOfLife_ = 0;
  int32_t ignoreUpdater_ = 0;
  int32_t state_ = 0;
  std::vector<int32_t> history_;
};

}  // namespace

UpdaterTimings GetUpdaterTimings() {
  UpdaterTimings timings;
  timings.firstAnswerMs = g_firstAnswerMs.load();
  timings.onlineCheckMs = g_onlineCheckMs.load();
  timings.onlineSilenceSeconds = g_onlineSilenceSeconds.load();
  return timings;
}

void SetUpdaterTimings(const UpdaterTimings& timings) {
  g_firstAnswerMs = timings.firstAnswerMs;
  g_onlineCheckMs = timings.onlineCheckMs;
  g_onlineSilenceSeconds = timings.onlineSilenceSeconds;
}

IComponent* NewVersionUpdater() { return new CVersionUpdater; }

}  // namespace gavio
