// CUpdateInfoStandard (1071): writes the update-info file and a fresh
// "liveupdate.cfg" for the external updater, then tells its listeners.
//
// Both files are written beside their final name and renamed over it, so the
// updater never reads half a file and a failed save leaves the old one. The
// caller's record is read, never changed: the URL paths are normalised in a
// copy, so saving the same record twice gives the same file twice.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "gavio/update.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "frame/component_base.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "update/live_update_config.h"
#include "update/update_info_text.h"

namespace gavio {
namespace {

constexpr size_t kIdBytes = 2160;

// The update id: the MD5 of the count and the first package without its
// last word. A record without packages may be only its count long, so the
// missing bytes count as zeros rather than being read.
std::string UpdateId(const UpdateInfoRecord* record) {
  std::vector<uint8_t> bytes(kIdBytes, 0);
  size_t available = record->packageCount > 0 ? kIdBytes : sizeof(uint32_t);
  memcpy(bytes.data(), record, available);
  uint8_t digest[16] = {0};
  TGavioPtr md5(nullptr, kDigestId);
  if (md5) md5.As<IDigest>()->DigestMemory(digest, bytes.data(), static_cast<int32_t>(kIdBytes));
  char hex[33];
  for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

// Written beside path and renamed over it, never through a link there.
bool WriteTextFile(const std::string& path, const std::string& text) {
  return GavioWriteFileAtomic(path.c_str(), text.data(), text.size(), 0) != FALSE;
}

class CUpdateInfoStandard final
    : public Component<kUpdateInfoStandardId, IUpdateInfo, IEventSource> {
 public:
  CUpdateInfoStandard() : log_(nullptr, kUpdateInfoStandardId) {}

  int32_t SaveToUpdateInfoFile(const UpdateInfoRecord* record, uint32_t mode) override {
    GAVIO_HOLD_OR_RETURN(0);
    mode_ = mode;
    taskStrategy_ = 0;
    std::string name;
    bool saved = false;
    if (record != nullptr) {
      name = "updateinfo_" + UpdateId(record);
      saved = SaveUpdateConfigFile(record, name) && WriteConfigFile(name);
    }
    if (saved) {
      log_.Trace("CUpdateInfoStandard::SaveToUpdateInfoFile,SaveUpdateConfigFile = TRUE,"
                 "strUpdateInfoFile = %s", name.c_str());
      for (auto& entry : Listeners()) entry->OnSaveUpdateInfoSuccess();
      return 1;
    }
    log_.Error("CUpdateInfoStandard::SaveToUpdateInfoFile,SaveUpdateConfigFile = FALSE,"
               "strUpdateInfoFile = %s", name.c_str());
    for (auto& entry : Listeners()) entry->OnSaveUpdateInfoFail(0);
    return 0;
  }

  void GetTaskStrategy(uint32_t* out) override {
    if (out != nullptr) *out = taskStrategy_;
  }

  void ComponentFinalize() override { listeners_.clear(); }

  void AddListener(void* listener, uint32_t value) override {
    if (listener != nullptr) listeners_[listener] = value;
  }
  int32_t RemoveListener(void* listener) override {
    return static_cast<int32_t>(listeners_.erase(listener));
  }

 private:
  // A copy, so a listener may add or remove listeners while being called.
  std::vector<IUpdateInfoListener*> Listeners() const {
    std::vector<IUpdateInfoListener*> out;
    for (auto& entry : listeners_) out.push_back(static_cast<IUpdateInfoListener*>(entry.first));
    return out;
  }

  bool SaveUpdateConfigFile(const UpdateInfoRecord* record, const std::string& name) {
    char folder[kUpdatePathSize];
    config_.GetLiveupdatCFGPath(folder, sizeof folder);
    // Without an application-data folder there is no config folder: the
    // file would land in the file system's root, so the save fails instead.
    std::string path = std::string(folder) + "/" + name;
    if (folder[0] == '\0' || !WriteTextFile(path, UpdateInfoText(record))) {
      log_.Error("CUpdateInfoStandard::SaveUpdateConfigFile, OpenFileForWrite=FALSE, "
                 "FileName=%s", path.c_str());
      return false;
    }
    return true;
  }

  // "liveupdate.cfg" from empty: built beside under a private name and
  // renamed over the old one, so no value of an earlier save survives.
  bool WriteConfigFile(const std::string& name) {
    char path[kUpdatePathSize];
    config_.GetConfigFilePath(path, sizeof path);
    std::string temporary = std::string(path) + ".new";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    close(fd);
    char install[kUpdatePathSize];
    config_.GetInstallPath(install, sizeof install);
    char number[16];
    bool ok = true;
    auto put = [&](const char* section, const char* key, const char* value) {
      ok = ok && WritePrivateProfileStringA(section, key, value, temporary.c_str());
    };
    snprintf(number, sizeof number, "%u", taskStrategy_);
    put("Task", "type", number);
    put("Task", "updateinfofile", name.c_str());
    put("InstallPath", "path", install);
    put("ClientPath", "path", RootPath());
    snprintf(number, sizeof number, "%u", GetCurrentProcessId());
    put("CurrentProcessID", "id", number);
    snprintf(number, sizeof number, "%u", mode_);
    put("LiveUpdateMode", "mode", number);
    ok = ok && rename(temporary.c_str(), path) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
  }

  LogSink log_;
  CLiveUpdateConfig config_;
  std::map<void*, uint32_t> listeners_;
  uint32_t taskStrategy_ = 1;
  uint32_t mode_ = 0;
};

}  // namespace

IComponent* NewUpdateInfoStandard() { return new CUpdateInfoStandard; }

}  // namespace gavio
