// The connector manager's server table: the servers of one named list of a
// server-list XML file, the order they are tried in, and the walk over
// them server by server and port by port.
//
// The file:
//   <Server>
//     <LIST count="N" DetectPort="P" SuccessfulServerID="I" SuccessfulPort="Q">
//       <server1 catalog="C" host="H"/> ... <serverN .../>
//       <portlist count="K" port1="..." ... portK="..."/>
//     </LIST>
//   </Server>
// At most 32 servers and 10 ports are read; reading stops at the first
// missing server element or empty host.
//
// Not thread-safe: owned by one manager on its thread.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "gavio/xml.h"

namespace gavio {

constexpr int kMaxServers = 32;
constexpr int kMaxPorts = 10;
constexpr int kMaxHostLength = 31;
constexpr int kFallbackPort = 443;

struct ServerRecord {
  int32_t inUse;
  int32_t serverId;   // position in the file from 1, or the running count when added
  int32_t catalogId;
  int32_t reserved;   // 0
  char host[kMaxHostLength + 1];
  int32_t ports[kMaxPorts];  // 0 = none
};

// Why reading a list failed, for the caller's log.
enum class ListReadResult { kOk, kNoServerElement, kNoList, kBadCount };

class ServerTable {
 public:
  ServerTable() { Clear(); }

  // Reads the named list from a loaded document; the table is cleared
  // first. The document's cursor is left anywhere.
  ListReadResult Read(IXmlDocument* document, const char* listName);
  // Servers from {u16 count; 72-byte entries}, appended while there is
  // room; each with its port as its only port. Returns how many were added.
  int Add(const void* list);

  // Moves the servers named by the priority ids (non-zero, at their index)
  // to those positions, then the last successful server right after them
  // with its successful port first.
  void ApplyPriority(const int32_t* priorityIds, int32_t successfulId, int32_t successfulPort);
  // Reorders the servers at positions from `from` on that are not priority
  // positions so that they follow the order of addresses (fastest first);
  // servers not among them keep their relative order behind those that are.
  void FollowRanking(int from, const std::vector<std::string>& addresses);
  // Swaps count random pairs (count = the server count).
  void Shuffle(const std::function<uint32_t()>& random);

  // The walk. Moves to the next port, or to the next server with its first
  // port; true while a server remains.
  bool Advance();
  void ResetWalk() {
    current_ = -1;
    portIndex_ = -1;
  }
  // The port to try at the current position (443 when there is none).
  int32_t CurrentPort() const;
  const ServerRecord* Current() const {
    return current_ >= 0 && current_ < count_ ? &records_[current_] : nullptr;
  }

  int count() const { return count_; }
  int portCount() const { return portCount_; }
  int current() const { return current_; }
  int portIndex() const { return portIndex_; }
  int32_t detectPort() const { return detectPort_; }
  bool IsPriorityPosition(int i) const { return i >= 0 && i < kMaxServers && priority_[i]; }
  const ServerRecord& at(int i) const { return records_[i]; }
  // How many hosts were refused for being longer than 31 characters.
  int refusedHosts() const { return refusedHosts_; }

 private:
  void Clear();
  int FindInUse(int32_t serverId, int from) const;
  void Swap(int a, int b);

  ServerRecord records_[kMaxServers];
  bool priority_[kMaxServers];
  int count_ = 0;
  int portCount_ = 0;
  int current_ = -1;
  int portIndex_ = -1;
  int32_t detectPort_ = 0;
  int refusedHosts_ = 0;
};

// A whole decimal number of an attribute, or fallback when it is missing or
// not one (the list file is hand-edited; a stray character must not turn
// into a different server or port).
int32_t ReadIntAttribute(IXmlDocument* document, const char* name, int32_t fallback);

// True when text is a dotted IPv4 address.
bool IsDottedAddress(const char* text);

}  // namespace gavio
