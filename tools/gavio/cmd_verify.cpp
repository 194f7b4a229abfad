// gavio verify: the security verifier (1185) against a configuration
// folder holding "Svconfig.xml": verdicts on files from the verification
// service, the address and control checks, and a refresh of the lists that
// prints what changed in the file.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "gavio/ids.h"
#include "gavio/verify.h"
#include "gavio/xml.h"
#include "platform/errors.h"

namespace gavio_tool {
namespace {

const char kVerifyUsage[] =
    "usage: gavio verify [OPTIONS] files FILE...\n"
    "       gavio verify [OPTIONS] ip TYPE ADDRESS\n"
    "       gavio verify [OPTIONS] control CLSID VERSION DLL\n"
    "       gavio verify [OPTIONS] update\n"
    "Checks against the security configuration DIR/Svconfig.xml.\n"
    "  files     asks the verification service about each FILE and prints its\n"
    "            verdict: passed, failed or not verified\n"
    "  ip        is ADDRESS trusted for the sub-service TYPE?\n"
    "  control   is the control CLSID (without braces) of VERSION in DLL trusted?\n"
    "  update    refreshes the lists from the service and prints what changed\n"
    "  -c, --config DIR     the folder holding Svconfig.xml (the current folder)\n"
    "  -r, --refresh        refresh the lists before an ip or control check\n"
    "  -w, --wait SECONDS   how long to wait for the service (60)\n"
    "Exit status: 0 when trusted, every file passed or the refresh succeeded;\n"
    "1 otherwise; 2 for usage errors.\n";

constexpr char kConfigName[] = "Svconfig.xml";

const char* ErrorText(uint32_t code) {
  switch (code) {
    case gavio::kVerifyErrorConnect: return "no verification server could be reached";
    case gavio::kVerifyErrorTimeout: return "the verification service did not answer in time";
    case gavio::kVerifyErrorDecode: return "the answer could not be decoded";
    case gavio::kVerifyErrorBuild: return "the request could not be built";
    case gavio::kVerifyErrorSend: return "the request could not be sent";
    case gavio::kVerifyErrorConfigPath: return "the configuration file does not exist";
    case gavio::kVerifyErrorConfigRead: return "the configuration file could not be read";
    case gavio::kVerifyErrorConfigWrite: return "the configuration file could not be written";
    case gavio::kVerifyErrorFileMissing: return "a file to check could not be found";
    case gavio::kVerifyErrorNotVerified: return "the service did not verify every file";
    case gavio::kVerifyErrorHashResult: return "the service refused the file check";
    case gavio::kVerifyErrorListResult: return "the service refused the list request";
    default: return "failed";
  }
}

const char* VerdictText(uint32_t verdict) {
  switch (verdict) {
    case gavio::kHashPassed: return "passed";
    case gavio::kHashFailed: return "FAILED";
    default: return "not verified";
  }
}

const char* AnswerText(int32_t answer, const char* list) {
  static std::string unknown;
  if (answer == gavio::kTrusted) return "trusted";
  if (answer == gavio::kNotTrusted) return "not trusted";
  unknown = std::string("not listed, and the ") + list + " could not be fetched";
  return unknown.c_str();
}

struct Reports : gavio::ISecurityVerifierSink {
  std::vector<uint32_t> updates;
  std::vector<std::vector<std::pair<std::string, uint32_t>>> files;
  void OnUpdateVerifyInfo(uint32_t result) override { updates.push_back(result); }
  void OnVerifyFileComplete(gavio::HashCheckResult* result) override {
    files.emplace_back();
    for (uint32_t i = 0; i < result->count && i < gavio::kHashCheckMaxFiles; ++i) {
      files.back().emplace_back(result->paths[i], result->verdicts[i]);
    }
  }
};

// What "update" compares: the versions and sizes of the three lists.
struct ListSummary {
  std::string verifyServers, whiteList, controlList;
};

std::string Attribute(gavio::IXmlDocument* xml, const char* name) {
  char value[64] = {0};
  return xml->GetAttrib(name, value, sizeof value) ? value : "0";
}

ListSummary Summarise(const std::string& file) {
  ListSummary summary;
  Owned<gavio::IXmlDocument> xml(gavio::kXmlDocumentId);
  if (!xml || !xml->Load(file.c_str())) return summary;
  xml->ResetPos();
  if (!xml->FindElem("Server") || !xml->IntoElem()) return summary;
  auto find = [&xml](const char* name) {
    xml->ResetMainPos();
    return xml->FindElem(name) != 0;
  };
  if (find("verifyserver")) {
    int servers = 0;
    xml->ResetChildPos();
    while (xml->FindChildElem(("server" + std::to_string(servers + 1)).c_str())) ++servers;
    summary.verifyServers =
        "version " + Attribute(xml.get(), "version") + ", " + std::to_string(servers) + " servers";
  }
  if (find("whitelist")) {
    summary.whiteList = "version " + Attribute(xml.get(), "version") + ", " +
                        Attribute(xml.get(), "count") + " sub-services";
  }
  if (find("controllist")) {
    std::string version = Attribute(xml.get(), "version");
    std::string ids = "0", dlls = "0";
    if (xml->IntoElem()) {
      if (find("classid")) ids = Attribute(xml.get(), "count");
      if (find("dll")) dlls = Attribute(xml.get(), "count");
      xml->OutOfElem();
    }
    summary.controlList = "version " + version + ", " + ids + " class ids, " + dlls + " DLLs";
  }
  return summary;
}

void PrintChange(const char* what, const std::string& before, const std::string& after) {
  if (before == after) {
    printf("%-20s unchanged (%s)\n", what, after.empty() ? "none" : after.c_str());
  } else {
    printf("%-20s %s -> %s\n", what, before.empty() ? "none" : before.c_str(),
           after.empty() ? "none" : after.c_str());
  }
}

class Session {
 public:
  Session(const std::string& folder, uint32_t waitMs)
      : verifier_(gavio::kSecurityVerifierId), file_(folder + "/" + kConfigName), waitMs_(waitMs) {}

  // Opens the configuration; prints why not.
  bool Open(const std::string& folder) {
    if (!verifier_) return false;
    struct stat info;
    if (stat(file_.c_str(), &info) != 0) return FileError(file_, errno) == 0;
    if (!S_ISREG(info.st_mode)) return FileProblem(file_, "not a regular file") == 0;
    gavio::EventSourceOf(verifier_.get())
        ->AddListener(static_cast<gavio::ISecurityVerifierSink*>(&reports_), 0);
    verifier_->SetPath(folder.c_str());
    if (!verifier_->Initialize(nullptr)) {
      return FileProblem(file_, "not a complete security configuration") == 0;
    }
    return true;
  }

  // Runs a refresh to its report. Prints a failure.
  bool Refresh() {
    size_t before = reports_.updates.size();
    if (!verifier_->UpdateVerifyInfo()) {
      uint32_t code = GetLastError();
      fprintf(stderr, "gavio verify: the refresh could not start: %s (0x%x)\n", ErrorText(code),
              code);
      return false;
    }
    auto done = [](void* p) {
      auto* self = static_cast<Session*>(p);
      return self->reports_.updates.size() > self->updatesBefore_;
    };
    updatesBefore_ = before;
    if (!PumpUntil(done, this, waitMs_)) {
      fprintf(stderr, "gavio verify: no answer from the verification service in time\n");
      return false;
    }
    uint32_t result = reports_.updates[before];
    if (result != 1) {
      fprintf(stderr, "gavio verify: the refresh failed: %s (0x%x)\n", ErrorText(result), result);
      return false;
    }
    return true;
  }

  // Submits the files in tasks of at most 256 and waits for every report.
  bool VerifyFiles(const std::vector<std::string>& paths,
                   std::vector<std::pair<std::string, uint32_t>>* verdicts) {
    size_t expected = 0;
    auto task = std::make_unique<gavio::HashCheckTask>();
    for (size_t first = 0; first < paths.size(); first += gavio::kHashCheckMaxFiles) {
      memset(task.get(), 0, sizeof *task);
      for (size_t i = first; i < paths.size() && i < first + gavio::kHashCheckMaxFiles; ++i) {
        snprintf(task->paths[task->count++], gavio::kVerifyPathMax, "%s", paths[i].c_str());
      }
      if (!verifier_->VerifyFile(task.get())) {
        uint32_t code = GetLastError();
        fprintf(stderr, "gavio verify: the files could not be submitted: %s (0x%x)\n",
                ErrorText(code), code);
        return false;
      }
      ++expected;
    }
    expectedFiles_ = expected;
    auto done = [](void* p) {
      auto* self = static_cast<Session*>(p);
      return self->reports_.files.size() >= self->expectedFiles_;
    };
    if (!PumpUntil(done, this, waitMs_)) {
      fprintf(stderr, "gavio verify: no verdicts from the verification service in time\n");
      return false;
    }
    for (const auto& report : reports_.files) {
      verdicts->insert(verdicts->end(), report.begin(), report.end());
    }
    return true;
  }

  gavio::ISecurityVerifier* operator->() const { return verifier_.get(); }
  const std::string& file() const { return file_; }

 private:
  Owned<gavio::ISecurityVerifier> verifier_;
  std::string file_;
  uint32_t waitMs_;
  Reports reports_;
  size_t updatesBefore_ = 0;
  size_t expectedFiles_ = 0;
};

// Absolute paths, as the service's verifier needs them; prints why not.
bool AbsolutePaths(const std::vector<std::string>& names, std::vector<std::string>* paths) {
  for (const std::string& name : names) {
    char resolved[PATH_MAX];
    if (realpath(name.c_str(), resolved) == nullptr) return FileError(name, errno) == 0;
    struct stat info;
    if (stat(resolved, &info) != 0) return FileError(name, errno) == 0;
    if (S_ISDIR(info.st_mode)) return FileError(name, EISDIR) == 0;
    if (strlen(resolved) >= gavio::kVerifyPathMax) return FileError(name, ENAMETOOLONG) == 0;
    paths->push_back(resolved);
  }
  return true;
}

int RunFiles(Session& session, const std::vector<std::string>& names) {
  std::vector<std::string> paths;
  if (!AbsolutePaths(names, &paths)) return 1;
  std::vector<std::pair<std::string, uint32_t>> verdicts;
  if (!session.VerifyFiles(paths, &verdicts)) return 1;
  // Submissions of 256 files may come back in any order: each verdict is
  // shown under the name the file was given by.
  std::map<std::string, std::string> shownAs;
  for (size_t i = 0; i < names.size(); ++i) shownAs.emplace(paths[i], names[i]);
  bool allPassed = verdicts.size() == names.size();
  for (const auto& [path, verdict] : verdicts) {
    auto shown = shownAs.find(path);
    printf("%s: %s\n", PrintableName(shown != shownAs.end() ? shown->second : path).c_str(),
           VerdictText(verdict));
    if (verdict != gavio::kHashPassed) allPassed = false;
  }
  return allPassed ? 0 : 1;
}

int RunUpdateLists(Session& session) {
  ListSummary before = Summarise(session.file());
  bool refreshed = session.Refresh();
  ListSummary after = Summarise(session.file());
  PrintChange("verification servers", before.verifyServers, after.verifyServers);
  PrintChange("white list", before.whiteList, after.whiteList);
  PrintChange("control list", before.controlList, after.controlList);
  return refreshed ? 0 : 1;
}

}  // namespace

int RunVerify(int argc, char** argv) {
  Arguments args;
  int status = ParseArguments(argc, argv, "verify", kVerifyUsage,
                              {{"config", 'c', true}, {"refresh", 'r', false}, {"wait", 'w', true}},
                              &args);
  if (status != -1) return status;
  if (args.operands.empty()) return UsageError("verify", "give a check: files, ip, control or update");
  const std::string check = args.operands[0];
  const std::vector<std::string> rest(args.operands.begin() + 1, args.operands.end());
  if (check == "files") {
    if (rest.empty()) return UsageError("verify", "files needs at least one FILE");
  } else if (check == "ip") {
    if (rest.size() != 2) return UsageError("verify", "ip needs TYPE and ADDRESS");
  } else if (check == "control") {
    if (rest.size() != 3) return UsageError("verify", "control needs CLSID, VERSION and DLL");
  } else if (check == "update") {
    if (!rest.empty()) return UsageError("verify", "update takes no operands");
  } else {
    return UsageError("verify", "unknown check '" + check + "'");
  }
  uint64_t version = 0, waitSeconds = 60;
  if (check == "control" && !ParseNumber("verify", "VERSION", rest[1], 0, UINT32_MAX, &version)) {
    return 2;
  }
  if (args.Has('w') && !ParseNumber("verify", "--wait", args.Value('w'), 1, 86400, &waitSeconds)) {
    return 2;
  }
  std::string folder = args.Has('c') ? args.Value('c') : ".";
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return FileError(folder, errno);
  if (strlen(resolved) + sizeof kConfigName + 1 >= gavio::kVerifyPathMax) {
    return FileError(folder, ENAMETOOLONG);
  }
  Session session(resolved, static_cast<uint32_t>(waitSeconds * 1000));
  if (!session.Open(resolved)) return 1;
  if (check == "files") return RunFiles(session, rest);
  if (check == "update") return RunUpdateLists(session);
  if (args.Has('r') && !session.Refresh()) return 1;
  int32_t answer;
  if (check == "ip") {
    answer = session->VerifyIPAddress(rest[0].c_str(), rest[1].c_str());
    printf("%s %s: %s\n", PrintableName(rest[0]).c_str(), PrintableName(rest[1]).c_str(),
           AnswerText(answer, "white list"));
  } else {
    answer = session->VerityControlID(rest[0].c_str(), static_cast<uint32_t>(version),
                                      rest[2].c_str());
    printf("%s %s %s: %s\n", PrintableName(rest[0]).c_str(), rest[1].c_str(),
           PrintableName(rest[2]).c_str(), AnswerText(answer, "control list"));
  }
  return answer == gavio::kTrusted ? 0 : 1;
}

}  // namespace gavio_tool
