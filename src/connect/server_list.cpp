#include "connect/server_list.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "gavio/connect.h"

namespace gavio {
namespace {

// Attribute texts longer than this are no number and no host we use.
constexpr int kAttributeCapacity = 64;

// Copies a host of at most 31 characters; a longer one is refused whole
// rather than cut into the name of some other machine.
bool CopyHost(const char* text, size_t length, char* out) {
  if (length == 0 || length > static_cast<size_t>(kMaxHostLength)) return false;
  memcpy(out, text, length);
  out[length] = '\0';
  return true;
}

int32_t ValidPort(int32_t port) { return port > 0 && port <= 65535 ? port : 0; }

}  // namespace

int32_t ReadIntAttribute(IXmlDocument* document, const char* name, int32_t fallback) {
  char text[kAttributeCapacity] = {};
  if (document->GetAttrib(name, text, sizeof text) != 1 || text[0] == '\0') return fallback;
  errno = 0;
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
    return fallback;
  }
  return static_cast<int32_t>(value);
}

bool IsDottedAddress(const char* text) {
  in_addr address;
  return inet_pton(AF_INET, text, &address) == 1;
}

void ServerTable::Clear() {
  memset(records_, 0, sizeof records_);
  memset(priority_, 0, sizeof priority_);
  count_ = 0;
  portCount_ = 0;
  detectPort_ = 0;
  refusedHosts_ = 0;
  ResetWalk();
}

ListReadResult ServerTable::Read(IXmlDocument* document, const char* listName) {
  Clear();
  document->ResetPos();
  if (document->FindElem("Server") != 1 || document->IntoElem() != 1) {
    return ListReadResult::kNoServerElement;
  }
  if (document->FindElem(listName) != 1) return ListReadResult::kNoList;
  int32_t declared = ReadIntAttribute(document, "count", 0);
  if (declared <= 0) return ListReadResult::kBadCount;
  int32_t detectPort = ReadIntAttribute(document, "DetectPort", 0);
  detectPort_ = ValidPort(detectPort);
  document->IntoElem();
  int wanted = declared < kMaxServers ? declared : kMaxServers;
  for (int i = 0; i < wanted; ++i) {
    char name[24];
    snprintf(name, sizeof name, "%s%d", "server", i + 1);
    document->ResetMainPos();
    if (document->FindElem(name) != 1) break;
    // One byte more than a host may hold tells an over-long host apart.
    char host[kMaxHostLength + 2] = {};
    if (document->GetAttrib("host", host, sizeof host) != 1 || host[0] == '\0') break;
    ServerRecord& record = records_[count_++];
    record.serverId = i + 1;
    record.catalogId = ReadIntAttribute(document, "catalog", 0);
    if (CopyHost(host, strlen(host), record.host)) {
      record.inUse = 1;
    } else {
      ++refusedHosts_;
    }
  }
  document->ResetMainPos();
  if (document->FindElem("portlist") == 1) {
    int32_t ports = ReadIntAttribute(document, "count", 0);
    portCount_ = ports < 0 ? 0 : (ports > kMaxPorts ? kMaxPorts : ports);
    int32_t list[kMaxPorts] = {};
    for (int k = 0; k < portCount_; ++k) {
      char name[16];
      snprintf(name, sizeof name, "port%d", k + 1);
      list[k] = ValidPort(ReadIntAttribute(document, name, 0));
    }
    for (int i = 0; i < count_; ++i) memcpy(records_[i].ports, list, sizeof list);
  }
  return ListReadResult::kOk;
}

int ServerTable::Add(const void* list) {
  if (list == nullptr) return 0;
  uint16_t entries;
  memcpy(&entries, list, sizeof entries);
  const char* entry = static_cast<const char*>(list) + sizeof entries;
  int added = 0;
  for (int i = 0; i < entries && count_ < kMaxServers; ++i, entry += sizeof(DetectRequestEntry)) {
    DetectRequestEntry request;
    memcpy(&request, entry, sizeof request);
    ServerRecord& record = records_[count_];
    memset(&record, 0, sizeof record);
    if (!CopyHost(request.host, strnlen(request.host, sizeof request.host), record.host)) {
      ++refusedHosts_;
      continue;
    }
    record.inUse = 1;
    record.serverId = ++count_;
    record.ports[0] = request.port;
    ++added;
  }
  if (added > 0 && portCount_ == 0) portCount_ = 1;
  return added;
}

int ServerTable::FindInUse(int32_t serverId, int from) const {
  for (int i = from; i < count_; ++i) {
    if (records_[i].inUse != 0 && records_[i].serverId == serverId) return i;
  }
  return -1;
}

void ServerTable::Swap(int a, int b) {
  if (a == b) return;
  ServerRecord saved = records_[a];
  records_[a] = records_[b];
  records_[b] = saved;
}

void ServerTable::ApplyPriority(const int32_t* priorityIds, int32_t successfulId,
                                int32_t successfulPort) {
  memset(priority_, 0, sizeof priority_);
  int last = -1;
  for (int i = 0; i < count_; ++i) {
    if (priorityIds[i] == 0) continue;
    // Only from i on: the positions before i are already settled, and a
    // repeated id must not pull a placed server out again.
    int found = FindInUse(priorityIds[i], i);
    if (found < 0) continue;
    Swap(i, found);
    priority_[i] = true;
    last = i;
  }
  if (successfulId == 0) return;
  int found = FindInUse(successfulId, last + 1);
  if (found < 0) return;
  int32_t* ports = records_[found].ports;
  for (int k = 0; k < kMaxPorts && ports[k] != 0; ++k) {
    if (ports[k] != successfulPort) continue;
    if (k > 0) std::swap(ports[0], ports[k]);
    break;
  }
  Swap(last + 1, found);
}

void ServerTable::FollowRanking(int from, const std::vector<std::string>& addresses) {
  std::vector<int> positions;
  std::vector<ServerRecord> movable;
  for (int i = from < 0 ? 0 : from; i < count_; ++i) {
    if (priority_[i]) continue;
    positions.push_back(i);
    movable.push_back(records_[i]);
  }
  auto rank = [&](const ServerRecord& r) {
    auto it = std::find(addresses.begin(), addresses.end(), std::string(r.host));
    return static_cast<size_t>(it - addresses.begin());
  };
  std::stable_sort(movable.begin(), movable.end(),
                   [&](const ServerRecord& a, const ServerRecord& b) { return rank(a) < rank(b); });
  for (size_t k = 0; k < positions.size(); ++k) records_[positions[k]] = movable[k];
}

void ServerTable::Shuffle(const std::function<uint32_t()>& random) {
  if (count_ < 2) return;
  for (int n = 0; n < count_; ++n) {
    Swap(static_cast<int>(random() % static_cast<uint32_t>(count_)),
         static_cast<int>(random() % static_cast<uint32_t>(count_)));
  }
}

bool ServerTable::Advance() {
  if (portCount_ > 0) portIndex_ = (portIndex_ + 1) % portCount_;
  if (portCount_ <= 0 || portIndex_ == 0) {
    portIndex_ = 0;
    if (current_ < count_) ++current_;
  }
  return current_ < count_;
}

int32_t ServerTable::CurrentPort() const {
  const ServerRecord* record = Current();
  if (record == nullptr || portIndex_ < 0 || portIndex_ >= kMaxPorts) return kFallbackPort;
  int32_t port = record->ports[portIndex_];
  return port != 0 ? port : kFallbackPort;
}

}  // namespace gavio
