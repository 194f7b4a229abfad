// Client update: the update-info writer (1071) and the version updater
// (1011).
//
// The update-info record is shared with the caller as bytes: little-endian,
// strings NUL-terminated narrow text, fields at their natural alignment.
// Every interface lists its operations in slot order from slot 5 on and ends
// with ComponentFinalize(). Both components belong to the thread that
// created them, which must pump messages while an update runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gavio/component.h"
#include "gavio/sink.h"

namespace gavio {

// One package to install; 2160 bytes.
struct UpdatePackage {
  uint32_t version;
  char name[260];
  char fileName[260];  // also the last part of the download address
  char fileHash[36];
  int32_t updateStrategy;
  uint32_t unused1;
  int32_t mechanism;
  char urlPath[260];  // middle part of the download address
  uint32_t fileSize;
  char host[260];
  uint16_t port;
  char peerUdpUrl[260];
  uint16_t peerUdpPort;
  char peerTcpUrl[260];
  uint16_t peerTcpPort;
  char stunAddress[260];
  uint16_t stunPort;
  char torrentUrl[260];
  uint32_t httpSpeedLimit;
  uint32_t httpConnectionLimit;
  uint32_t targetShareRate;
  uint32_t unused2;
};
static_assert(sizeof(UpdatePackage) == 2160, "package records are 2160 bytes");
static_assert(offsetof(UpdatePackage, peerUdpUrl) == 1098, "natural alignment");
static_assert(offsetof(UpdatePackage, httpSpeedLimit) == 2144, "natural alignment");

// The record: the count, then that many packages back to back.
struct UpdateInfoRecord {
  uint32_t packageCount;
  UpdatePackage packages[1];
};
static_assert(offsetof(UpdateInfoRecord, packages) == 4, "packages follow the count");

// Listener of the update-info writer (its event source, second base).
class IUpdateInfoListener : public ISink {
 public:
  // 1, 2: the outcome of SaveToUpdateInfoFile.
  virtual void OnSaveUpdateInfoSuccess() = 0;
  virtual void OnSaveUpdateInfoFail(int32_t errorCode) = 0;
  // 3: no update is needed (not raised by the writer itself).
  virtual void OnNotNeedLiveUpdate() = 0;
};

class IUpdateInfo : public IComponent {
 public:
  // 5: writes the update-info file ("updateinfo_" and the record's MD5 in
  // the config folder) and a fresh "liveupdate.cfg", then tells the
  // listeners. 1 on success. The caller's record is not changed.
  virtual int32_t SaveToUpdateInfoFile(const UpdateInfoRecord* record, uint32_t mode) = 0;
  // 6: 1 after construction, 0 after any save.
  virtual void GetTaskStrategy(uint32_t* out) = 0;
  // 7
  virtual void ComponentFinalize() = 0;
};

// Listener of the version updater (the client).
class IVersionUpdateListener : public ISink {
 public:
  virtual void OnUpdateSuccess() = 0;  // 1
  virtual void OnUpdateFail() = 0;     // 2
  virtual void OnIgnoreUpdate() = 0;   // 3
  virtual void OnNeedUpdate() = 0;     // 4
  virtual void OnUpdateUnused() = 0;   // 5: not raised by this library
  virtual void OnUpdaterAsksClientExit() = 0;  // 6
};

// Message ids of the updater's IPC channel: the first four bytes of each
// message, little-endian.
inline constexpr uint32_t kL2cUpdateSuccess = 1;
inline constexpr uint32_t kL2cUpdateFail = 2;
inline constexpr uint32_t kL2cIgnoreUpdate = 3;
inline constexpr uint32_t kL2cNeedUpdate = 4;
inline constexpr uint32_t kL2cNotifyOnline = 5;
inline constexpr uint32_t kL2cNotifyClientExit = 6;
inline constexpr uint32_t kC2lNotifyClientExit = 2;
inline constexpr uint32_t kC2lNotifyClientExitSize = 1032;

// Error codes handed to the error handler.
inline constexpr uint32_t kUpdateErrorSaveInfo = 0x2C000195;
inline constexpr uint32_t kUpdateErrorNullRecord = 0x2C000196;
inline constexpr uint32_t kUpdateErrorStartUpdater = 0x2C000197;
inline constexpr uint32_t kUpdateErrorCopyUpdater = 0x2C000198;

class IVersionUpdater : public IComponent {
 public:
  // 5: writes the update-info file, copies the updater into the per-user
  // "LiveUpdateRun" folder and starts it; the outcome reaches the listeners
  // later, through the message loop. 0 for a null record or a failed save.
  virtual int32_t UpdateClient(const UpdateInfoRecord* record, int32_t bStartup,
                               int32_t bOnline) = 0;
  // 6: the value passed to the updater with "-q" (0: not passed).
  virtual void SetQuitValue(uint32_t value) = 0;
  // 7: tells the updater that the client exits and releases everything.
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio
