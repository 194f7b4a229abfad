// ipc_peer: the other process of the cross-process window tests, the IPC
// benchmark and the demo.
//
//   ipc_peer echo OWN PEER   an IPC channel (from libgavio.so, as a client
//                            loads it) keyed OWN/PEER that answers every
//                            message M with "echo:M" (synchronous delivery)
//                            and ends on "quit"
//   ipc_peer raw OWN         a plain "static" window titled OWN whose
//                            procedure answers WM_COPYDATA with
//                            cbData * 1000 + dwData; ends on dwData 99
//   ipc_peer hang OWN        a window titled OWN whose thread never pumps
//   ipc_peer die OWN         a window titled OWN that exits on WM_COPYDATA
//   ipc_peer send PEER TEXT  sends TEXT (dwData 5) to the window titled PEER
//                            and exits 0 when its procedure answered 42
//
// Every mode ends by itself after 60 seconds, so a failed test never
// leaves it behind.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "gavio/ids.h"
#include "gavio/ipc.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "platform/paths.h"

namespace {

constexpr DWORD kLifetimeMs = 60000;
bool g_done = false;

// Blocks in GetMessageA like a client's loop, with a timer for the
// lifetime; an end asked for from a window procedure posts the quit.
void Pump() {
  UINT_PTR lifetime = SetTimer(nullptr, 0, kLifetimeMs, nullptr);
  MSG msg;
  while (!g_done && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == lifetime) break;
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, lifetime);
}

void Finish() {
  g_done = true;
  PostQuitMessage(0);
}

HWND TitledWindow(const char* title, WNDPROC proc) {
  HWND window = CreateWindowExA(0, "static", title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
  if (window != nullptr && proc != nullptr) {
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
  }
  return window;
}

LRESULT RawProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (record->dwData == 99) Finish();
    return static_cast<LRESULT>(record->cbData) * 1000 + static_cast<LRESULT>(record->dwData);
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT DyingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) _exit(7);
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class Echo : public gavio::IIpcListener {
 public:
  explicit Echo(gavio::IIpcChannel* channel) : channel_(channel) {}
  void OnReceive(const void* data, uint32_t size) override {
    std::string text(static_cast<const char*>(data), size);
    if (text == "quit") {
      Finish();
      return;
    }
    std::string answer = "echo:" + text;
    channel_->Send(answer.data(), static_cast<uint32_t>(answer.size()), 1);
  }

 private:
  gavio::IIpcChannel* channel_;
};

int RunEcho(const char* own, const char* peer) {
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return 3;
  LoadLibraryA((std::string(folder) + "/GavFact.dll").c_str());
  HMODULE library = LoadLibraryA((std::string(folder) + "/libgavio.so").c_str());
  auto create = reinterpret_cast<gavio::IComponent* (*)(uint32_t, uint32_t)>(
      GetProcAddress(library, "CreateComponent"));
  if (create == nullptr) return 3;
  auto* channel = static_cast<gavio::IIpcChannel*>(create(gavio::kIpcChannelId, 0));
  if (channel == nullptr) return 3;
  gavio::IpcKeys keys{};
  snprintf(keys.ownKey, sizeof keys.ownKey, "%s", own);
  snprintf(keys.peerKey, sizeof keys.peerKey, "%s", peer);
  Echo echo(channel);
  gavio::EventSourceOf(channel)->AddListener(&echo, 0);
  if (channel->Init(&keys) != 1) return 3;
  Pump();
  channel->Destroy(0);
  return g_done ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: ipc_peer echo OWN PEER | raw OWN | hang OWN | die OWN | send PEER TEXT\n");
    return 1;
  }
  std::string mode = argv[1];
  if (mode == "echo" && argc >= 4) return RunEcho(argv[2], argv[3]);
  if (mode == "raw") {
    if (TitledWindow(argv[2], RawProc) == nullptr) return 3;
    Pump();
    return g_done ? 0 : 2;
  }
  if (mode == "hang") {
    if (TitledWindow(argv[2], nullptr) == nullptr) return 3;
    Sleep(kLifetimeMs);
    return 2;
  }
  if (mode == "send" && argc >= 4) {
    HWND peer = FindWindowExA(nullptr, nullptr, "static", argv[2]);
    COPYDATASTRUCT record{5, static_cast<DWORD>(strlen(argv[3])), argv[3]};
    return peer != nullptr &&
                   SendMessageA(peer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)) == 42
               ? 0
               : 4;
  }
  if (mode == "die") {
    if (TitledWindow(argv[2], DyingProc) == nullptr) return 3;
    Pump();
    return 2;
  }
  return 1;
}
