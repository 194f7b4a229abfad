// gavio update RECORD: writes the update-info file for the packages that
// RECORD describes, starts the updater of the client tree through the
// version updater (1011), and prints each event and the outcome.
//
// RECORD is a text file of "[package]" lines, each opening one package,
// followed by "key=value" lines (see README); "#" starts a comment line.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "gavio/ids.h"
#include "gavio/update.h"
#include "platform/messages.h"
#include "platform/paths.h"

namespace gavio_tool {
namespace {

using gavio::UpdatePackage;

template <size_t N>
bool SetText(char (&field)[N], const std::string& value) {
  if (value.size() >= N) return false;
  memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

template <class T>
bool SetNumber(T* field, const std::string& value) {
  char* end = nullptr;
  long long number = strtoll(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0') return false;
  *field = static_cast<T>(number);
  return static_cast<long long>(*field) == number;
}

bool SetField(UpdatePackage* p, const std::string& key, const std::string& value) {
  if (key == "name") return SetText(p->name, value);
  if (key == "filename") return SetText(p->fileName, value);
  if (key == "filehash") return SetText(p->fileHash, value);
  if (key == "urlpath") return SetText(p->urlPath, value);
  if (key == "host") return SetText(p->host, value);
  if (key == "peerudpurl") return SetText(p->peerUdpUrl, value);
  if (key == "peertcpurl") return SetText(p->peerTcpUrl, value);
  if (key == "stun") return SetText(p->stunAddress, value);
  if (key == "torrenturl") return SetText(p->torrentUrl, value);
  if (key == "version") return SetNumber(&p->version, value);
  if (key == "strategy") return SetNumber(&p->updateStrategy, value);
  if (key == "mechanism") return SetNumber(&p->mechanism, value);
  if (key == "filesize") return SetNumber(&p->fileSize, value);
  if (key == "port") return SetNumber(&p->port, value);
  if (key == "peerudpport") return SetNumber(&p->peerUdpPort, value);
  if (key == "peertcpport") return SetNumber(&p->peerTcpPort, value);
  if (key == "stunport") return SetNumber(&p->stunPort, value);
  if (key == "httpspeedlimit") return SetNumber(&p->httpSpeedLimit, value);
  if (key == "httpconnectionlimit") return SetNumber(&p->httpConnectionLimit, value);
  if (key == "targetsharerate") return SetNumber(&p->targetShareRate, value);
  return false;
}

// Reads RECORD into the record's bytes: the count, then the packages.
bool ReadRecord(const char* path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "gavio update: cannot read %s\n", path);
    return false;
  }
  std::vector<UpdatePackage> packages;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line == "[package]") {
      packages.push_back(UpdatePackage{});
      continue;
    }
    size_t equals = line.find('=');
    if (packages.empty() || equals == std::string::npos ||
        !SetField(&packages.back(), line.substr(0, equals), line.substr(equals + 1))) {
      fprintf(stderr, "gavio update: %s:%d: not a package value: %s\n", path, number,
              line.c_str());
      return false;
    }
  }
  uint32_t count = static_cast<uint32_t>(packages.size());
  bytes->assign(sizeof count + packages.size() * sizeof(UpdatePackage) +
                    (packages.empty() ? sizeof(UpdatePackage) : 0),
                0);
  memcpy(bytes->data(), &count, sizeof count);
  if (!packages.empty()) {
    memcpy(bytes->data() + sizeof count, packages.data(), packages.size() * sizeof(UpdatePackage));
  }
  return true;
}

struct Printer : gavio::IVersionUpdateListener {
  const char* outcome = nullptr;
  void OnUpdateSuccess() override { Outcome("success"); }
  void OnUpdateFail() override { Outcome("failed"); }
  void OnIgnoreUpdate() override { Outcome("ignored"); }
  void OnNeedUpdate() override { puts("updater: an update is needed"); }
  void OnUpdateUnused() override {}
  void OnUpdaterAsksClientExit() override { puts("updater: asks the client to exit"); }
  void Outcome(const char* what) {
    printf("updater: %s\n", what);
    if (outcome == nullptr) outcome = what;
  }
};

int32_t PrintBox(HWND, const char* text, const char* caption, UINT type) {
  printf("message box [%s] %s\n", caption, text);
  return (type & 0xFu) == MB_YESNO ? IDNO : IDOK;
}

bool HasOutcome(void* context) { return static_cast<Printer*>(context)->outcome != nullptr; }

const char kUpdateUsage[] =
    "usage: gavio update [--startup] [--online] [--quit N] [--wait SECONDS] RECORD\n"
    "Writes the update-info file for the packages RECORD describes, starts the\n"
    "client tree's updater and prints what it reports (see README).\n"
    "  --startup       the updater runs at the client's start (-s)\n"
    "  --online        online update: the updater must keep reporting (-o)\n"
    "  --quit N        passed to the updater (-q)\n"
    "  --wait SECONDS  how long to wait for the outcome (120)\n";

constexpr int kQuitOption = 256;

// Starts the client tree's updater for the record and waits for its
// outcome. Returns the outcome ("success", "failed", "ignored" or "none").
const char* RunUpdater(const std::vector<uint8_t>& record, int32_t startup, int32_t online,
                       uint32_t quit, uint32_t waitMs) {
  auto* updater = CreateAs<gavio::IVersionUpdater>(gavio::kVersionUpdaterId);
  if (updater == nullptr) return "none";
  GavioMessageBoxHandler previous = GavioSetMessageBoxHandler(PrintBox);
  Printer printer;
  gavio::EventSourceOf(updater)->AddListener(static_cast<gavio::IVersionUpdateListener*>(&printer),
                                             0);
  updater->SetQuitValue(quit);
  int32_t started = updater->UpdateClient(
      reinterpret_cast<const gavio::UpdateInfoRecord*>(record.data()), startup, online);
  printf("update-info file %s\n", started ? "written, updater starting" : "not written");
  if (started && !PumpUntil(HasOutcome, &printer, waitMs)) puts("updater: no outcome in time");
  updater->Destroy(0);
  GavioSetMessageBoxHandler(previous);
  return printer.outcome != nullptr ? printer.outcome : "none";
}

}  // namespace

int RunUpdate(int argc, char** argv) {
  Arguments args;
  int status = ParseArguments(argc, argv, "update", kUpdateUsage,
                              {{"startup", 's', false},
                               {"online", 'o', false},
                               {"quit", kQuitOption, true},
                               {"wait", 'w', true}},
                              &args);
  if (status != -1) return status;
  if (args.operands.size() != 1) return UsageError("update", "give one RECORD");
  int32_t startup = args.Has('s') ? 1 : 0;
  int32_t online = args.Has('o') ? 1 : 0;
  uint64_t quit = 0, waitSeconds = 120;
  if (args.Has(kQuitOption) &&
      !ParseNumber("update", "--quit", args.Value(kQuitOption), 0, UINT32_MAX, &quit)) {
    return 2;
  }
  if (args.Has('w') && !ParseNumber("update", "--wait", args.Value('w'), 1, 86400, &waitSeconds)) {
    return 2;
  }
  std::vector<uint8_t> bytes;
  if (!ReadRecord(args.operands[0].c_str(), &bytes)) return 1;
  const char* outcome = RunUpdater(bytes, startup, online, static_cast<uint32_t>(quit),
                                   static_cast<uint32_t>(waitSeconds * 1000));
  printf("outcome: %s\n", outcome);
  return strcmp(outcome, "success") == 0 || strcmp(outcome, "ignored") == 0 ? 0 : 1;
}

// The build folder is a client tree of its own: its "updater" folder holds
// the stand-in and a script that reports an update found and applied. The
// round runs with a private application-data folder, so the updater's
// working copy never lands in the user's home.
bool DemoUpdate() {
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) folder[0] = '\0';
  std::string standIn = std::string(folder) + "/updater/liveupdate.exe";
  if (access(standIn.c_str(), X_OK) != 0) {
    printf("== update: no updater in %s/updater; step skipped\n", folder);
    return true;
  }
  char data[] = "/tmp/gavio-demo-update-XXXXXX";
  if (mkdtemp(data) == nullptr) {
    printf("== update: FAILED: no temporary folder: %s\n", strerror(errno));
    return false;
  }
  printf("== update: one package handed to the updater stand-in in %s/updater\n", folder);
  const char* saved = getenv("XDG_DATA_HOME");
  std::string previous = saved != nullptr ? saved : "";
  setenv("XDG_DATA_HOME", data, 1);
  gavio::UpdatePackage package{};
  SetText(package.name, "client");
  SetText(package.fileName, "patch.pak");
  SetText(package.host, "updates.example");
  package.version = 7;
  package.port = 80;
  std::vector<uint8_t> record(sizeof(uint32_t) + sizeof package);
  uint32_t count = 1;
  memcpy(record.data(), &count, sizeof count);
  memcpy(record.data() + sizeof count, &package, sizeof package);
  const char* outcome = RunUpdater(record, 0, 0, 0, 30000);
  if (saved != nullptr) {
    setenv("XDG_DATA_HOME", previous.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
  std::error_code ignored;
  std::filesystem::remove_all(data, ignored);
  printf("   outcome: %s\n", outcome);
  return strcmp(outcome, "success") == 0;
}

}  // namespace gavio_tool
