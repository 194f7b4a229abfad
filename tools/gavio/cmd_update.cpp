// gavio update RECORD: writes the update-info file for the packages that
// RECORD describes, starts the updater of the client tree through the
// version updater (1011), and prints each event and the outcome.
//
// RECORD is a text file of "[package]" lines, each opening one package,
// followed by "key=value" lines (see README); "#" starts a comment line.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "gavio/ids.h"
#include "gavio/update.h"
#include "platform/messages.h"

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

void Usage() {
  fprintf(stderr,
          "usage: gavio update [--startup] [--online] [--quit N] [--wait SECONDS] RECORD\n");
}

}  // namespace

int RunUpdate(int argc, char** argv) {
  static const option kOptions[] = {{"startup", no_argument, nullptr, 's'},
                                    {"online", no_argument, nullptr, 'o'},
                                    {"quit", required_argument, nullptr, 'q'},
                                    {"wait", required_argument, nullptr, 'w'},
                                    {nullptr, 0, nullptr, 0}};
  int32_t startup = 0, online = 0;
  uint32_t quit = 0, waitSeconds = 120;
  optind = 1;
  for (int c; (c = getopt_long(argc, argv, "soq:w:", kOptions, nullptr)) != -1;) {
    if (c == 's') {
      startup = 1;
    } else if (c == 'o') {
      online = 1;
    } else if (c == 'q') {
      quit = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
    } else if (c == 'w') {
      waitSeconds = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
    } else {
      Usage();
      return 2;
    }
  }
  if (optind + 1 != argc) {
    Usage();
    return 2;
  }
  std::vector<uint8_t> bytes;
  if (!ReadRecord(argv[optind], &bytes)) return 1;
  auto* updater = CreateAs<gavio::IVersionUpdater>(gavio::kVersionUpdaterId);
  if (updater == nullptr) return 1;
  GavioMessageBoxHandler previous = GavioSetMessageBoxHandler(PrintBox);
  Printer printer;
  gavio::EventSourceOf(updater)->AddListener(static_cast<gavio::IVersionUpdateListener*>(&printer),
                                             0);
  updater->SetQuitValue(quit);
  int32_t started = updater->UpdateClient(
      reinterpret_cast<const gavio::UpdateInfoRecord*>(bytes.data()), startup, online);
  printf("update-info file %s\n", started ? "written, updater starting" : "not written");
  if (started && !PumpUntil(HasOutcome, &printer, waitSeconds * 1000)) {
    puts("updater: no outcome in time");
  }
  updater->Destroy(0);
  GavioSetMessageBoxHandler(previous);
  const char* outcome = printer.outcome != nullptr ? printer.outcome : "none";
  printf("outcome: %s\n", outcome);
  return strcmp(outcome, "success") == 0 || strcmp(outcome, "ignored") == 0 ? 0 : 1;
}

}  // namespace gavio_tool
