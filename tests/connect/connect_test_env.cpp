#include "connect_test_env.h"

#include <string.h>

#include "gavio/ids.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "support/test_support.h"

namespace connect_test {

gavio::IComponent* Create(uint32_t componentId) {
  // The connector's lines go to the debugger output, which is dropped
  // unless a test captures it.
  static FactoryEnvironment environment("[Log]\nDebugMask=0x0\n[Log.322]\nDebugMask=0x23\n");
  return gavio::HostCreateComponent(componentId, 0);
}

gavio::IConnector* CreateConnector(int32_t maximum, int16_t width, int32_t offset) {
  auto* connector = static_cast<gavio::IConnector*>(Create(gavio::kConnectorId));
  if (connector == nullptr) return nullptr;
  gavio::SocketParam param{gavio::kProxyTypeTcp, nullptr};
  connector->SetSocketParam(&param);
  connector->SetPacketParam(maximum, width, offset);
  return connector;
}

gavio::ServerEntry Entry(const char* address, uint16_t port, const char* hostName) {
  gavio::ServerEntry entry{};
  entry.serverId = port;
  strncpy(entry.address, address, sizeof entry.address - 1);
  entry.port = port;
  strncpy(entry.hostName, hostName, sizeof entry.hostName - 1);
  return entry;
}

std::string Packet(uint32_t size, int width, uint32_t offset, uint32_t seed) {
  std::string packet(size, '\0');
  uint32_t header = offset + static_cast<uint32_t>(width);
  for (int i = 0; i < width && offset + i < size; ++i) {
    packet[offset + i] = static_cast<char>(size >> (8 * (width - 1 - i)));
  }
  for (uint32_t j = header; j < size; ++j) packet[j] = static_cast<char>((seed + j - header) & 0xFF);
  return packet;
}

int RecordingListener::Count(Kind kind) const {
  int n = 0;
  for (const Event& e : events) n += e.kind == kind ? 1 : 0;
  return n;
}

bool RecordingListener::WaitFor(Kind kind, int count, uint32_t limitMs) const {
  return gavio_test::PumpUntil([&] { return Count(kind) >= count; }, limitMs);
}

}  // namespace connect_test
