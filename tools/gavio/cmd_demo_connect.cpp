// The server-list step of "gavio demo": a list of two servers whose first
// refuses and whose second is game_peer (started as a process); the
// connector manager walks it, connects to the second, echoes a packet and
// writes the server that worked back into the list.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "gavio/connect.h"
#include "gavio/ids.h"
#include "peer_process.h"
#include "platform/errors.h"
#include "platform/paths.h"


namespace gavio_tool {
namespace {

class DemoListener : public gavio::IConnectorSink {
 public:
  void OnConnected() override { connected = true; }
  void OnConnectFailed(uint32_t error) override { failure = error; }
  void OnClose(int32_t) override { closed = true; }
  void OnPacket(const char* bytes, int32_t length) override { echo.assign(bytes, static_cast<size_t>(length)); }
  bool connected = false;
  bool closed = false;
  uint32_t failure = 0;
  std::string echo;
};

bool Walk(const std::string& file, uint16_t port) {
  Owned<gavio::IConnectorManager> manager(gavio::kConnectorManagerId);
  if (!manager) return false;
  DemoListener listener;
  gavio::EventSourceOf(manager.get())->AddListener(static_cast<gavio::IConnectorSink*>(&listener), 0);
  if (manager->LoadServers(file.c_str(), "game") != 1) {
    printf("   FAILED: the list did not load\n");
    return false;
  }
  manager->SetFraming(1);
  manager->SetPacketParam(4096, 2, 0);
  manager->StartConnect();
  PumpUntil([](void* l) {
    auto* listener = static_cast<DemoListener*>(l);
    return listener->connected || listener->failure != 0;
  }, &listener, 20000);
  if (!listener.connected) {
    printf("   FAILED: no connection (error 0x%X)\n", listener.failure);
    return false;
  }
  const std::string text = "hello through the server list";
  std::string packet(2, '\0');
  packet[0] = static_cast<char>((text.size() + 2) >> 8);
  packet[1] = static_cast<char>(text.size() + 2);
  packet += text;
  manager->Send(packet.data(), static_cast<int32_t>(packet.size()));
  PumpUntil([](void* l) {
    auto* listener = static_cast<DemoListener*>(l);
    return !listener->echo.empty() || listener->closed;
  }, &listener, 10000);
  bool echoed = listener.echo == packet;
  printf("   127.0.0.2 refused, 127.0.0.1:%u connected; packet %s: \"%s\"\n", port,
         echoed ? "echoed" : "NOT echoed", echoed ? text.c_str() : "");
  manager->Stop();
  return echoed;
}

}  // namespace

bool DemoServerList() {
  std::vector<uint32_t> ids = RegisteredIds();
  if (std::find(ids.begin(), ids.end(), gavio::kConnectorId) == ids.end()) {
    printf("== server list: this build has no connector; step skipped\n");
    return true;
  }
  char programFolder[4096];
  PeerProcess peer;
  if (GavioGetExecutableFolder(programFolder, sizeof programFolder)) {
    peer.Start(std::string(programFolder) + "/game_peer", {});
  }
  printf("== server list: a refusing server, then game_peer on 127.0.0.1:%u\n", peer.port());
  if (peer.port() == 0) {
    printf("   FAILED: game_peer did not start\n");
    return false;
  }
  char folder[] = "/tmp/gavio-demo-list-XXXXXX";
  if (mkdtemp(folder) == nullptr) return false;
  std::string file = std::string(folder) + "/servers.xml";
  std::string port = std::to_string(peer.port());
  std::string xml =
      "<Server>\n  <game count=\"2\">\n"
      "    <server1 catalog=\"0\" host=\"127.0.0.2\"/>\n"
      "    <server2 catalog=\"0\" host=\"127.0.0.1\"/>\n"
      "    <portlist count=\"1\" port1=\"" + port + "\"/>\n"
      "  </game>\n</Server>\n";
  FILE* out = fopen(file.c_str(), "wx");
  bool ok = out != nullptr && fputs(xml.c_str(), out) >= 0;
  if (out != nullptr && fclose(out) != 0) ok = false;
  ok = ok && Walk(file, peer.port());
  if (ok) {
    FILE* in = fopen(file.c_str(), "r");
    std::string saved;
    char chunk[512];
    size_t got;
    while (in != nullptr && (got = fread(chunk, 1, sizeof chunk, in)) > 0) saved.append(chunk, got);
    if (in != nullptr) fclose(in);
    bool remembered = saved.find("SuccessfulServerID=\"2\"") != std::string::npos;
    printf("   the list %s server 2 as the one that worked\n", remembered ? "remembers" : "does NOT remember");
    ok = remembered;
  }
  unlink(file.c_str());
  rmdir(folder);
  return ok;
}

}  // namespace gavio_tool
