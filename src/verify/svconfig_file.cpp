#include "verify/svconfig_file.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "platform/sockets.h"

namespace gavio {
namespace {

constexpr uint32_t kMaxKeptPorts = 10;
constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

// The cursor calls the reader and the writers share. Elements are looked up
// after the current one first (files are written in order) and from the
// start of their level when that fails, so hand-edited files in another
// order still read.
class Cursor {
 public:
  explicit Cursor(IXmlDocument* xml) : xml_(xml) {}

  bool Find(const char* name) {
    if (xml_->FindElem(name)) return true;
    xml_->ResetMainPos();
    return xml_->FindElem(name) != 0;
  }
  bool FindNumbered(const char* base, uint32_t n) {
    char name[64];
    snprintf(name, sizeof name, "%s%u", base, n);
    return Find(name);
  }
  bool FindOrAdd(const char* name) { return Find(name) || xml_->AddElem(name, "", 0) != 0; }
  bool AddNumbered(const char* base, uint32_t n) {
    char name[64];
    snprintf(name, sizeof name, "%s%u", base, n);
    return xml_->AddElem(name, "", 0) != 0;
  }
  bool Into() { return xml_->IntoElem() != 0; }
  bool Out() { return xml_->OutOfElem() != 0; }

  // The attribute as text in out (size bytes with the NUL); false when it
  // is absent or longer than that.
  bool Text(const char* name, char* out, size_t size) {
    char buffer[1024];
    if (size > sizeof buffer - 1) size = sizeof buffer - 1;
    if (!xml_->GetAttrib(name, buffer, static_cast<int32_t>(size + 1))) return false;
    size_t length = strlen(buffer);
    if (length >= size) return false;
    memcpy(out, buffer, length + 1);
    return true;
  }

  // A decimal attribute, spaces around it trimmed; 0 when absent or not a
  // number, and clamped to [0, max].
  uint32_t Number(const char* name, uint32_t max = 0xFFFFFFFFu, bool* present = nullptr) {
    char buffer[64];
    bool found = xml_->GetAttrib(name, buffer, sizeof buffer) != 0;
    if (present != nullptr) *present = found;
    if (!found) return 0;
    const char* p = buffer;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    long long value = strtoll(p, nullptr, 10);
    return static_cast<uint32_t>(std::clamp<long long>(value, 0, max));
  }

  bool SetText(const char* name, const char* value) { return xml_->SetAttrib(name, value) != 0; }
  bool SetNumber(const char* name, uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%u", value);
    return SetText(name, text);
  }

  // Removes every child element of the current parent position.
  void RemoveChildren() {
    xml_->ResetMainPos();
    while (xml_->FindElem(nullptr)) {
      if (!xml_->RemoveElem()) break;
    }
  }

  // Enters Server, the root.
  bool EnterRoot() {
    xml_->ResetPos();
    return Find("Server") && Into();
  }

 private:
  IXmlDocument* xml_;
};

// Dotted text to an address; false for anything else (the empty address
// and the broadcast address included: neither names a server).
bool ParseAddress(const char* text, uint32_t* address) {
  uint32_t value = winsock::inet_addr(text);
  if (value == 0 || value == kNoAddress) return false;
  *address = value;
  return true;
}

bool ReadSubService(Cursor* c, SubServiceInfo* info) {
  if (!c->Text("type", info->name, sizeof info->name)) return false;
  info->addressCount = c->Number("count", kMaxSubServiceAddresses);
  info->recommendedCount = c->Number("recommendcount", info->addressCount);
  if (!c->Into()) return false;
  for (uint32_t m = 0; m < info->addressCount; ++m) {
    char ip[32];
    if (!c->FindNumbered("item", m + 1) || !c->Text("ip", ip, sizeof ip) ||
        !ParseAddress(ip, &info->addresses[m])) {
      return false;
    }
  }
  return c->Out();
}

bool ReadWhiteList(Cursor* c, ServerListInfo* list) {
  list->version = c->Number("version");
  list->subServiceCount = c->Number("count", kMaxSubServices);
  if (!c->Into()) return false;
  for (uint32_t n = 0; n < list->subServiceCount; ++n) {
    if (!c->FindNumbered("whitelist", n + 1) || !ReadSubService(c, &list->subServices[n])) {
      return false;
    }
  }
  return c->Out();
}

bool ReadControlList(Cursor* c, SvConfig* config) {
  ControlIdInfo* list = &config->controlList;
  list->version = c->Number("version");
  if (!c->Into() || !c->Find("classid")) return false;
  list->classIdCount = c->Number("count", kMaxControlIds);
  bool present = false;
  uint32_t versionValid = c->Number("versionvalid", 0xFFFFFFFFu, &present);
  if (present && versionValid == 0) config->versionCheck = 0;
  if (!c->Into()) return false;
  for (uint32_t n = 0; n < list->classIdCount; ++n) {
    ControlIdEntry* entry = &list->classIds[n];
    if (!c->FindNumbered("item", n + 1)) return false;
    entry->version = c->Number("version");
    // 36 characters and the NUL: a longer id is not a class id.
    if (!c->Text("value", entry->classId, 37)) return false;
  }
  if (!c->Out() || !c->Find("dll")) return false;
  list->dllCount = c->Number("count", kMaxControlDlls);
  if (!c->Into()) return false;
  for (uint32_t n = 0; n < list->dllCount; ++n) {
    if (!c->FindNumbered("item", n + 1) ||
        !c->Text("name", list->dllNames[n], sizeof list->dllNames[n])) {
      return false;
    }
  }
  return c->Out() && c->Out();
}

bool ReadInto(IXmlDocument* xml, const char* path, SvConfig* config) {
  if (!xml->Load(path)) return false;
  Cursor c(xml);
  if (!c.EnterRoot() || !c.Find("config")) return false;
  bool validPresent = false;
  if (!c.Text("projectid", config->projectId, sizeof config->projectId)) return false;
  config->attemptTimeoutMs = c.Number("sectiontimeout");
  config->totalTimeoutMs = c.Number("totaltimeout");
  config->autoUpdateIntervalMs = c.Number("autoupdateInterval");
  config->valid = c.Number("valid", 0xFFFFFFFFu, &validPresent);
  if (!validPresent) return false;
  // Without verification servers there is nothing more to read.
  if (!c.Find("verifyserver")) return true;
  config->verifyServerVersion = c.Number("version");
  if (c.Find("whitelist")) {
    config->requestFlags |= kFetchWhiteServers;
    if (!ReadWhiteList(&c, &config->whiteList)) return false;
  }
  if (c.Find("controllist")) {
    config->requestFlags |= kFetchControlIds;
    if (!ReadControlList(&c, config)) return false;
  }
  return true;
}

bool WriteWhiteList(Cursor* c, const ServerListInfo& list) {
  uint32_t count = std::min<uint32_t>(list.subServiceCount, kMaxSubServices);
  if (!c->FindOrAdd("whitelist") || !c->SetNumber("version", list.version) ||
      !c->SetNumber("count", count) || !c->Into()) {
    return false;
  }
  c->RemoveChildren();
  for (uint32_t n = 0; n < count; ++n) {
    const SubServiceInfo& info = list.subServices[n];
    uint32_t addresses = std::min<uint32_t>(info.addressCount, kMaxSubServiceAddresses);
    char name[sizeof info.name];
    memcpy(name, info.name, sizeof name);
    name[sizeof name - 1] = '\0';
    if (!c->AddNumbered("whitelist", n + 1) || !c->SetText("type", name) ||
        !c->SetNumber("count", addresses) ||
        !c->SetNumber("recommendcount", std::min(info.recommendedCount, addresses)) ||
        !c->Into()) {
      return false;
    }
    for (uint32_t m = 0; m < addresses; ++m) {
      char ip[16];
      FormatAddress(info.addresses[m], ip);
      if (!c->AddNumbered("item", m + 1) || !c->SetText("ip", ip)) return false;
    }
    if (!c->Out()) return false;
  }
  return c->Out();
}

bool WriteControlList(Cursor* c, const ControlIdInfo& list) {
  uint32_t ids = std::min<uint32_t>(list.classIdCount, kMaxControlIds);
  uint32_t dlls = std::min<uint32_t>(list.dllCount, kMaxControlDlls);
  if (!c->FindOrAdd("controllist") || !c->SetNumber("version", list.version) || !c->Into() ||
      !c->FindOrAdd("classid") || !c->SetNumber("count", ids) || !c->Into()) {
    return false;
  }
  c->RemoveChildren();
  for (uint32_t n = 0; n < ids; ++n) {
    char value[sizeof list.classIds[n].classId];
    memcpy(value, list.classIds[n].classId, sizeof value);
    value[sizeof value - 1] = '\0';
    if (!c->AddNumbered("item", n + 1) || !c->SetNumber("version", list.classIds[n].version) ||
        !c->SetText("value", value)) {
      return false;
    }
  }
  if (!c->Out() || !c->FindOrAdd("dll") || !c->SetNumber("count", dlls) || !c->Into()) {
    return false;
  }
  c->RemoveChildren();
  for (uint32_t n = 0; n < dlls; ++n) {
    char name[sizeof list.dllNames[n]];
    memcpy(name, list.dllNames[n], sizeof name);
    name[sizeof name - 1] = '\0';
    if (!c->AddNumbered("item", n + 1) || !c->SetText("name", name)) return false;
  }
  return c->Out() && c->Out();
}

}  // namespace

void ResetSvConfig(SvConfig* config) {
  memset(config, 0, sizeof *config);
  config->valid = kVerifyAddresses | kVerifyFiles | kVerifyControls;
  config->versionCheck = 1;
  config->requestFlags = kFetchVerifyServers;
}

bool ReadSvConfig(IXmlDocument* xml, const char* path, SvConfig* config) {
  if (xml == nullptr || path == nullptr) return false;
  auto fresh = std::make_unique<SvConfig>();
  ResetSvConfig(fresh.get());
  if (!ReadInto(xml, path, fresh.get())) return false;
  memcpy(config, fresh.get(), sizeof *config);
  return true;
}

bool WriteSvValid(IXmlDocument* xml, const char* path, uint32_t mask) {
  if (xml == nullptr || path == nullptr || !xml->Load(path)) return false;
  Cursor c(xml);
  return c.EnterRoot() && c.Find("config") && c.SetNumber("valid", mask) && xml->Save(path) != 0;
}

bool WriteSvSecurityLists(IXmlDocument* xml, const char* path, const ServerListInfo* whiteList,
                          const ControlIdInfo* controlList) {
  if (xml == nullptr || path == nullptr || !xml->Load(path)) return false;
  Cursor c(xml);
  if (!c.EnterRoot()) return false;
  if (whiteList != nullptr && !WriteWhiteList(&c, *whiteList)) return false;
  if (controlList != nullptr && !WriteControlList(&c, *controlList)) return false;
  return xml->Save(path) != 0;
}

bool WriteSvVerifyServers(IXmlDocument* xml, const char* path, const SubServiceInfo& servers,
                          uint32_t version) {
  if (xml == nullptr || path == nullptr || !xml->Load(path)) return false;
  Cursor c(xml);
  if (!c.EnterRoot() || !c.FindOrAdd("verifyserver")) return false;
  uint32_t successfulPort = c.Number("SuccessfulPort");
  if (!c.Into()) return false;
  uint32_t ports[kMaxKeptPorts] = {0};
  uint32_t portCount = 0;
  bool hadPortList = c.Find("portlist");
  if (hadPortList) {
    portCount = c.Number("count", kMaxKeptPorts);
    for (uint32_t n = 0; n < portCount; ++n) {
      char name[16];
      snprintf(name, sizeof name, "port%u", n + 1);
      ports[n] = c.Number(name);
    }
  }
  if (!c.Out()) return false;
  uint32_t count = std::min<uint32_t>(servers.addressCount, kMaxSubServiceAddresses);
  if (!c.SetNumber("version", version) || !c.SetNumber("count", count) ||
      !c.SetNumber("SuccessfulServerID", 1) || !c.SetNumber("SuccessfulPort", successfulPort) ||
      !c.Into()) {
    return false;
  }
  c.RemoveChildren();
  for (uint32_t n = 0; n < count; ++n) {
    char host[16];
    FormatAddress(servers.addresses[n], host);
    if (!c.AddNumbered("server", n + 1) || !c.SetText("host", host)) return false;
  }
  if (hadPortList) {
    if (!c.FindOrAdd("portlist") || !c.SetNumber("count", portCount)) return false;
    for (uint32_t n = 0; n < portCount; ++n) {
      char name[16];
      snprintf(name, sizeof name, "port%u", n + 1);
      if (!c.SetNumber(name, ports[n])) return false;
    }
  }
  return c.Out() && xml->Save(path) != 0;
}

bool MakeOwnerWritable(const char* path) {
  // Opened without following a link, so only the file itself changes.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            ((info.st_mode & S_IWUSR) != 0 || fchmod(fd, (info.st_mode & 07777) | S_IWUSR) == 0);
  close(fd);
  return ok;
}

uint32_t AutoUpdateIntervalMs(uint32_t seconds) {
  constexpr uint32_t kMinSeconds = 3600;
  if (seconds == 0) return 0;
  uint64_t ms = uint64_t{std::max(seconds, kMinSeconds)} * 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFFu));
}

void FormatAddress(uint32_t address, char (&out)[16]) {
  uint8_t bytes[4];
  memcpy(bytes, &address, sizeof bytes);
  snprintf(out, sizeof out, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

}  // namespace gavio
