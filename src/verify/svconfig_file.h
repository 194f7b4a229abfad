// "Svconfig.xml", the security verifier's configuration: read whole into a
// SvConfig, and its three rewritable parts (the check mask, the white and
// control lists, the verification servers) written back through an XML
// document (1121), whose save writes beside the file and renames it over,
// so a failed write leaves the old file as it was.
//
// Counts in the file are clamped to the records' room (32 sub-services,
// 1024 addresses each, 512 class ids, 100 DLL names); a text longer than
// its field, an element that is missing or an address that is not one
// fails the read, which then leaves out untouched.
#pragma once

#include <stdint.h>

#include "gavio/verify.h"
#include "gavio/xml.h"

namespace gavio {

struct SvConfig {
  char projectId[kVerifyPathMax];
  uint32_t attemptTimeoutMs;
  uint32_t totalTimeoutMs;
  uint32_t autoUpdateIntervalMs;
  uint32_t valid;
  uint32_t versionCheck;  // 0: class ids match whatever their version
  uint32_t requestFlags;  // kFetch* bits of the lists the file has
  uint32_t verifyServerVersion;
  ServerListInfo whiteList;
  ControlIdInfo controlList;
};

// The state of a verifier whose file was never read.
void ResetSvConfig(SvConfig* config);

// Reads path into *config. False when the file cannot be loaded or is not
// a complete configuration.
bool ReadSvConfig(IXmlDocument* xml, const char* path, SvConfig* config);

// Sets Server/config "valid" and saves.
bool WriteSvValid(IXmlDocument* xml, const char* path, uint32_t mask);

// Replaces the white list and/or the control list (null: left as they are)
// and saves.
bool WriteSvSecurityLists(IXmlDocument* xml, const char* path, const ServerListInfo* whiteList,
                          const ControlIdInfo* controlList);

// Replaces the verification servers by the addresses of servers, keeping
// the port list and the port that last worked, and saves.
bool WriteSvVerifyServers(IXmlDocument* xml, const char* path, const SubServiceInfo& servers,
                          uint32_t version);

// Clears a read-only mark of path (gives the owner write permission), as a
// rewrite needs. True when the file is writable by its owner afterwards.
bool MakeOwnerWritable(const char* path);

// The automatic refresh interval in ms for a setting in seconds: 0 is off,
// anything below an hour is an hour, and a product past 32 bits is the
// longest interval there is.
uint32_t AutoUpdateIntervalMs(uint32_t seconds);

// Dotted text of an address held in network order.
void FormatAddress(uint32_t address, char (&out)[16]);

}  // namespace gavio
