// CLiveUpdateConfig: see live_update_config.h.
#include "update/live_update_config.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "frame/factory_lookup.h"
#include "frame/log_sink.h"
#include "platform/ini.h"
#include "platform/paths.h"

namespace gavio {
namespace {

constexpr char kSection[] = "ProjectOption";
constexpr char kConfigName[] = "liveupdate.cfg";

struct Paths {
  std::mutex mutex;
  std::string appData;     // the folder configPath was worked out in
  std::string configPath;  // empty until worked out
};

Paths& ThePaths() {
  static Paths* paths = new Paths;
  return *paths;
}

void Copy(const std::string& text, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  snprintf(out, size, "%s", text.c_str());
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Creates the folder and any missing parent: the save folder may have gone
// since the path was worked out.
void MakeFolder(const std::string& path) {
  if (path.empty() || Exists(path)) return;
  size_t at = path.find_last_of("/\\");
  if (at != std::string::npos && at > 0) MakeFolder(path.substr(0, at));
  mkdir(path.c_str(), 0700);
}

std::string SettingsFile(const char* name) {
  return std::string(HostExecutableFolder()) + "/" + name;
}

bool LastSeparator(const char* path, size_t* at) {
  const char* slash = strrchr(path, '/');
  const char* back = strrchr(path, '\\');
  const char* last = slash > back ? slash : back;
  if (last == nullptr) return false;
  *at = static_cast<size_t>(last - path);
  return true;
}

}  // namespace

CLiveUpdateConfig::CLiveUpdateConfig() {
  char path[kUpdatePathSize];
  GetConfigFilePath(path, sizeof path);
}

void CLiveUpdateConfig::ReadSetting(const char* file, const char* section, const char* key,
                                    char* out, size_t size) {
  std::string path = SettingsFile(file);
  if (out[0] != '\0' || !Exists(path)) return;
  GetPrivateProfileStringA(section, key, "", out, static_cast<DWORD>(size), path.c_str());
}

bool CLiveUpdateConfig::GetAppDataFolder(char* out, size_t size) {
  return GavioGetAppDataFolder(out, static_cast<DWORD>(size)) != FALSE;
}

void CLiveUpdateConfig::GetSaveProjectName(char* out, size_t size) {
  out[0] = '\0';
  ReadSetting("liveupdateinfo.ini", kSection, "projectname", out, size);
  ReadSetting("taskinfo.ini", kSection, "projectname", out, size);
}

void CLiveUpdateConfig::GetConfigFilePath(char* out, size_t size) {
  char appData[kUpdatePathSize];
  bool haveAppData = GetAppDataFolder(appData, sizeof appData);
  if (!haveAppData) appData[0] = '\0';
  char project[kUpdatePathSize];
  GetSaveProjectName(project, sizeof project);
  Paths& paths = ThePaths();
  std::lock_guard<std::mutex> lock(paths.mutex);
  if (paths.configPath.empty() || paths.appData != appData) {
    std::string folder;
    if (haveAppData) {
      std::string save = std::string(appData) + "/" + project + "LiveUpdate";
      MakeFolder(save);
      folder = save + "/LiveUpdateConfig";
      MakeFolder(folder);
    }
    paths.appData = appData;
    paths.configPath = (folder + "/" + kConfigName).substr(0, kUpdatePathSize - 1);
  }
  Copy(paths.configPath, out, size);
}

void CLiveUpdateConfig::GetLiveupdatCFGPath(char* out, size_t size) {
  char path[kUpdatePathSize];
  GetConfigFilePath(path, sizeof path);
  size_t at = 0;
  if (LastSeparator(path, &at)) path[at] = '\0';
  if (path[0] != '\0') MakeFolder(path);
  Copy(path, out, size);
  DebugPrint("CLiveUpdateConfig::GetLiveupdatCFGPath, \t\t\t\t\tLiveupdateCFGPath=%s\n", out);
}

void CLiveUpdateConfig::RemoveAllConfig() {
  char path[kUpdatePathSize];
  GetConfigFilePath(path, sizeof path);
  int result = unlink(path) == 0 ? 1 : 0;
  DebugPrint("CLiveUpdateConfig::RemoveAllConfig, \t\t\t\t\tDeleteFile=%d\n", result);
}

int32_t CLiveUpdateConfig::CreateEmptyConfig() {
  char path[kUpdatePathSize];
  GetConfigFilePath(path, sizeof path);
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  int32_t created = fd >= 0 ? 1 : 0;
  if (fd >= 0) close(fd);
  DebugPrint("CLiveUpdateConfig::CreateEmptyConfig, \t\t\t\t\tCreated=%d\n", created);
  return created;
}

void CLiveUpdateConfig::UpdateLiveUpdateConfig(const char* section, const char* key,
                                               const char* value) {
  char path[kUpdatePathSize];
  GetConfigFilePath(path, sizeof path);
  int written = 0;
  if (Exists(path)) written = WritePrivateProfileStringA(section, key, value, path) ? 1 : 0;
  DebugPrint("CLiveUpdateConfig::UpdateLiveUpdateConfig, \t\t\t\t%s.%s=%s, Written=%d\n",
             section, key, value, written);
}

void CLiveUpdateConfig::UpdateLiveUpdateConfig(const char* section, const char* key,
                                               int32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  UpdateLiveUpdateConfig(section, key, text);
}

void CLiveUpdateConfig::GetTaskInfo(const char* section, const char* key, char* out,
                                    size_t size) {
  out[0] = '\0';
  ReadSetting("taskinfo.ini", section, key, out, size);
  DebugPrint("CLiveUpdateConfig::GetTaskInfo, \t\t\t\t\t%s=%s\n", key, out);
}

// The per-user folder is the one every supported system offers, as the
// systems of major version 6 and later do.
int32_t CLiveUpdateConfig::IsVistaOS() {
  DebugPrint("CLiveUpdateConfig::IsVistaOS, \t\t\t\tIsVista=%d\n", 1);
  return 1;
}

void CLiveUpdateConfig::GetIPCKey(char* out, size_t size) {
  out[0] = '\0';
  ReadSetting("taskinfo.ini", kSection, "projectname", out, size);
  ReadSetting("liveupdateinfo.ini", kSection, "projectname", out, size);
  DebugPrint("CLiveUpdateConfig::GetIPCKey, \t\t\t\t\tIPCKey=%s\n", out);
}

void CLiveUpdateConfig::GetLiveUpdaterPath(char* out, size_t size) {
  out[0] = '\0';
  ReadSetting("taskinfo.ini", kSection, "liveupdatpath", out, size);
  ReadSetting("liveupdateinfo.ini", kSection, "projectname", out, size);
  DebugPrint("CLiveUpdateConfig::GetLiveUpdaterPath, \t\t\t\tLiveUpdaterPath=%s\n", out);
}

void CLiveUpdateConfig::GetInstallPath(char* out, size_t size) {
  char relative[kUpdatePathSize] = {0};
  ReadSetting("taskinfo.ini", "InstallRelativePath", "installrelativepath", relative,
              sizeof relative);
  JoinInstallPath(RootPath(), relative, out, size);
}

void CLiveUpdateConfig::GetRunFolder(char* out, size_t size) {
  char appData[kUpdatePathSize];
  char project[kUpdatePathSize];
  if (!GetAppDataFolder(appData, sizeof appData)) appData[0] = '\0';
  GetSaveProjectName(project, sizeof project);
  Copy(std::string(appData) + "/" + project + "LiveUpdate/LiveUpdateRun", out, size);
}

void JoinInstallPath(const char* root, const char* relative, char* out, size_t size) {
  std::string path = root;
  if (strcmp(relative, "..") == 0) {
    size_t at = 0;
    if (LastSeparator(root, &at) && at > 1) path.resize(at);
  } else if (relative[0] != '\0') {
    path = path + "/" + relative;
  }
  Copy(path, out, size);
}

}  // namespace gavio
