// libFuzzer target: arbitrary text read as a server-list file. The text is
// parsed by the XML document component and read as a list; the table is
// then ordered (priority ids and a last success taken from the input),
// ranked, shuffled and walked to its end, as the connector manager does.
// Built with clang by fuzz/run.sh (the GAVIO_FUZZ build), linked with the
// connect and document layers and the frame they stand on.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "connect/server_list.h"
#include "gavio/xml.h"
#include "host/factories.h"

namespace {

using gavio::IXmlDocument;
using gavio::ServerTable;

// The list names tried: the usual one and one a fuzzer finds quickly.
const char* const kListNames[] = {"game", "a"};

int32_t TakeInt(const uint8_t*& data, size_t& size) {
  int32_t value = 0;
  if (size >= sizeof value) {
    memcpy(&value, data, sizeof value);
    data += sizeof value;
    size -= sizeof value;
  }
  return value;
}

void Exercise(ServerTable* table, int32_t seed) {
  int32_t priority[gavio::kMaxServers] = {};
  for (int i = 0; i < gavio::kMaxServers; ++i) priority[i] = (seed >> (i % 8)) & 7;
  table->ApplyPriority(priority, seed & 0x3F, seed >> 8);
  std::vector<std::string> ranking;
  for (int i = table->count() - 1; i >= 0; --i) ranking.emplace_back(table->at(i).host);
  table->FollowRanking(seed & 3, ranking);
  uint32_t state = static_cast<uint32_t>(seed);
  table->Shuffle([&state] { return state = state * 1103515245u + 12345u; });
  table->ResetWalk();
  // Every (server, port) pair once, then no more.
  int steps = 0;
  while (table->Advance()) {
    const gavio::ServerRecord* record = table->Current();
    if (record == nullptr || strnlen(record->host, sizeof record->host) >= sizeof record->host) {
      __builtin_trap();
    }
    int32_t port = table->CurrentPort();
    if (port < 1 || port > 65535) __builtin_trap();
    if (++steps > gavio::kMaxServers * gavio::kMaxPorts) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int32_t seed = TakeInt(data, size);
  std::string text(reinterpret_cast<const char*>(data), size);
  auto* document = static_cast<IXmlDocument*>(gavio::NewXmlDocument());
  if (document == nullptr) return 0;
  if (document->SetDoc(text.c_str()) == 1) {
    for (const char* name : kListNames) {
      ServerTable table;
      if (table.Read(document, name) == gavio::ListReadResult::kOk) {
        if (table.count() > gavio::kMaxServers || table.portCount() > gavio::kMaxPorts) {
          __builtin_trap();
        }
        Exercise(&table, seed);
      }
    }
  }
  // Servers added from the input as a detect-request list, too.
  ServerTable added;
  std::vector<uint8_t> list(data, data + size);
  list.resize(sizeof(uint16_t) + 40 * 72);
  uint16_t count = static_cast<uint16_t>(size / 72 < 40 ? size / 72 : 40);
  memcpy(list.data(), &count, sizeof count);
  added.Add(list.data());
  if (added.count() > gavio::kMaxServers) __builtin_trap();
  Exercise(&added, seed);
  document->Destroy(1);
  return 0;
}
