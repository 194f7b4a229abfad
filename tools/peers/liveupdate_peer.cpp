// liveupdate_peer: a stand-in for the external updater, installed as
// "liveupdate.exe" in a test client tree. It takes the updater's switches
// (-s, -q "N", -o, -p "FOLDER"), opens the updater's side of the IPC channel
// (a "static" window titled "MOSK_IPC_LIVEUPDATER_<key>") and plays the
// script in "scenario.txt" beside it, one command a line:
//
//   key NAME        the project name the two window titles are built from
//   send ID         sends message ID (four bytes, little-endian) to the client
//   short           sends a two-byte message
//   online MS N     sends L2C_NOTIFYONLINE (5) N times, MS apart
//   wait MS         serves its window for MS
//   exit CODE       ends at once with CODE
//
// A run that finds "standin.log" already there (the client restarted the
// updater) plays "scenario2.txt" instead, when there is one.
//
// After the script it serves its window until the client's exit notice
// arrives (then it ends with 0) or 30 s pass (then 2). It appends what it
// saw to "standin.log" beside it: "args ..." and "pid N" at the start, "exit-notice"
// on the client's exit notice, "end CODE" when it ends by itself. It never
// lives longer than 120 s.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/paths.h"

namespace {

constexpr DWORD kLifetimeMs = 120000;
constexpr DWORD kAfterScriptMs = 30000;
constexpr uint32_t kClientExitNotice = 2;

std::string g_folder;
std::string g_clientKey;
bool g_exitNotice = false;
DWORD g_started = 0;

void Note(const std::string& line) {
  std::ofstream log(g_folder + "/standin.log", std::ios::app);
  log << line << "\n";
}

LRESULT UpdaterProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    uint32_t id = 0;
    if (record->cbData >= sizeof id) memcpy(&id, record->lpData, sizeof id);
    if (id == kClientExitNotice) {
      Note("exit-notice " + std::to_string(record->cbData));
      g_exitNotice = true;
    }
    return 1;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// Serves the window for milliseconds, or until the exit notice.
void Serve(DWORD milliseconds) {
  DWORD start = GetTickCount();
  while (!g_exitNotice && GetTickCount() - start < milliseconds) {
    if (GetTickCount() - g_started > kLifetimeMs) _exit(3);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    if (!g_exitNotice) WaitMessageTimeout(20);
  }
}

void Send(const void* data, DWORD size) {
  for (HWND peer = FindWindowExA(nullptr, nullptr, "static", g_clientKey.c_str());
       peer != nullptr; peer = FindWindowExA(nullptr, peer, "static", g_clientKey.c_str())) {
    COPYDATASTRUCT record{0, size, const_cast<void*>(data)};
    SendMessageA(peer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record));
  }
}

void SendId(uint32_t id) { Send(&id, sizeof id); }

}  // namespace

static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

static int Play(int argc, char** argv) {
  std::string scenario = g_folder + "/scenario.txt";
  if (Exists(g_folder + "/standin.log") && Exists(g_folder + "/scenario2.txt")) {
    scenario = g_folder + "/scenario2.txt";
  }
  std::string args = "args";
  for (int i = 1; i < argc; ++i) args += std::string(" ") + argv[i];
  Note(args);
  Note("pid " + std::to_string(getpid()));

  std::ifstream script(scenario);
  std::string line;
  HWND window = nullptr;
  while (std::getline(script, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "key") {
      std::string name;
      words >> name;
      g_clientKey = "MOSK_IPC_CLIENT_" + name;
      std::string own = "MOSK_IPC_LIVEUPDATER_" + name;
      window = CreateWindowExA(0, "static", own.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
      if (window == nullptr) return 3;
      SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(UpdaterProc));
    } else if (command == "send") {
      uint32_t id = 0;
      words >> id;
      SendId(id);
    } else if (command == "short") {
      uint16_t half = 1;
      Send(&half, sizeof half);
    } else if (command == "online") {
      DWORD every = 0, times = 0;
      words >> every >> times;
      for (DWORD i = 0; i < times && !g_exitNotice; ++i) {
        SendId(5);
        Serve(every);
      }
    } else if (command == "wait") {
      DWORD milliseconds = 0;
      words >> milliseconds;
      Serve(milliseconds);
    } else if (command == "exit") {
      int code = 0;
      words >> code;
      return code;
    }
    if (g_exitNotice) return 0;
  }
  Serve(kAfterScriptMs);
  return g_exitNotice ? 0 : 2;
}

int main(int argc, char** argv) {
  g_started = GetTickCount();
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return 3;
  g_folder = folder;
  int code = Play(argc, argv);
  Note("end " + std::to_string(code));
  return code;
}
