// CLiveUpdateConfig: the names and places of the update's files.
//
// The client's settings come from "taskinfo.ini" and "liveupdateinfo.ini" in
// the host executable's folder (section "ProjectOption"). The updater's data
// lives in the per-user application-data folder: the save folder (project
// name and "LiveUpdate"), its "LiveUpdateConfig" folder holding
// "liveupdate.cfg" and the update-info files, and "LiveUpdateRun" holding the
// running copy of the updater.
//
// The path of "liveupdate.cfg" is worked out once per process and kept
// (worked out again only when the application-data folder itself changes).
// Every operation writes a debugger line naming itself and its result.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace gavio {

inline constexpr size_t kUpdatePathSize = 260;

class CLiveUpdateConfig {
 public:
  CLiveUpdateConfig();

  // The config folder, created when missing.
  void GetLiveupdatCFGPath(char* out, size_t size);
  // The full path of "liveupdate.cfg".
  void GetConfigFilePath(char* out, size_t size);
  void RemoveAllConfig();
  // Creates "liveupdate.cfg" only when it does not exist; 1 when created.
  int32_t CreateEmptyConfig();
  // Write one value when "liveupdate.cfg" exists.
  void UpdateLiveUpdateConfig(const char* section, const char* key, const char* value);
  void UpdateLiveUpdateConfig(const char* section, const char* key, int32_t value);
  // A value of "taskinfo.ini" (empty when missing).
  void GetTaskInfo(const char* section, const char* key, char* out, size_t size);
  int32_t IsVistaOS();
  void GetIPCKey(char* out, size_t size);
  void GetLiveUpdaterPath(char* out, size_t size);
  // The project name the save folder is named after.
  void GetSaveProjectName(char* out, size_t size);
  // The install path: the client root adjusted by "installrelativepath".
  void GetInstallPath(char* out, size_t size);
  // The application-data folder; false when there is none.
  bool GetAppDataFolder(char* out, size_t size);
  // The folder the updater runs from ("LiveUpdateRun" in the save folder).
  void GetRunFolder(char* out, size_t size);

 private:
  void ReadSetting(const char* file, const char* section, const char* key, char* out,
                   size_t size);
};

// The install path for a client root and a relative path: empty keeps the
// root, ".." cuts the root before its last separator (kept whole when that
// is at position 0 or 1, or there is none), anything else is appended.
void JoinInstallPath(const char* root, const char* relative, char* out, size_t size);

}  // namespace gavio
