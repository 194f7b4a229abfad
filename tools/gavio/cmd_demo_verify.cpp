// The security step of "gavio demo": the verification service peer
// (verify_peer) on a loopback port, a security verifier on a fresh
// "Svconfig.xml" pointing at it, one refresh of the three lists and one
// file verification, each printed.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "gavio/verify.h"
#include "peer_process.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"


namespace gavio_tool {
namespace {

struct Reports : gavio::ISecurityVerifierSink {
  std::vector<uint32_t> updates;
  std::vector<std::pair<std::string, uint32_t>> verdicts;
  bool filesReported = false;
  void OnUpdateVerifyInfo(uint32_t result) override { updates.push_back(result); }
  void OnVerifyFileComplete(gavio::HashCheckResult* result) override {
    for (uint32_t i = 0; i < result->count && i < gavio::kHashCheckMaxFiles; ++i) {
      verdicts.emplace_back(result->paths[i], result->verdicts[i]);
    }
    filesReported = true;
  }
};

// Every file is new in the demo's own fresh folder: created, never opened
// through whatever else may stand at its name.
bool Write(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    close(fd);
    return false;
  }
  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  return fclose(file) == 0 && ok;
}

std::string HexDigest(const std::string& path) {
  Owned<gavio::IDigest> digest(gavio::kDigestId);
  uint8_t bytes[16];
  if (!digest || !digest->DigestFile(bytes, path.c_str())) return std::string();
  std::string hex;
  for (uint8_t b : bytes) {
    hex += "0123456789ABCDEF"[b >> 4];
    hex += "0123456789ABCDEF"[b & 15];
  }
  return hex;
}

// The peer's lists and digests, two files to verify, and the configuration.
bool PrepareFolder(const std::string& folder, std::vector<std::string>* files) {
  std::string data = folder + "/data", config = folder + "/config";
  if (mkdir(data.c_str(), 0700) != 0 || mkdir(config.c_str(), 0700) != 0) return false;
  files->push_back(folder + "/genuine.dat");
  files->push_back(folder + "/tampered.dat");
  if (!Write((*files)[0], "the file as it was shipped\n") ||
      !Write((*files)[1], "the file as someone changed it\n")) {
    return false;
  }
  std::string genuine = HexDigest((*files)[0]);
  return !genuine.empty() &&
         Write(data + "/koraip.txt", "version 2\nverify 1 127.0.0.1\n") &&
         Write(data + "/whiteip.txt", "version 6\ngame 1 10.0.0.1 10.0.0.2\nchat 0 10.0.1.1\n") &&
         Write(data + "/clsid.txt", "version 4\n0002DF01-0000-0000-C000-000000000046 3\n") &&
         Write(data + "/hashes.txt", "genuine.dat " + genuine +
                                         "\ntampered.dat 00000000000000000000000000000000\n");
}

bool WriteConfig(const std::string& folder, uint16_t port) {
  return Write(folder + "/config/Svconfig.xml",
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Server>\n"
               "  <config projectid=\"demo\" sectiontimeout=\"0\" totaltimeout=\"10000\""
               " autoupdateInterval=\"0\" valid=\"7\"/>\n"
               "  <verifyserver version=\"1\" count=\"1\">\n"
               "    <server1 host=\"127.0.0.1\"/>\n"
               "    <portlist count=\"1\" port1=\"" + std::to_string(port) + "\"/>\n"
               "  </verifyserver>\n"
               "  <whitelist version=\"1\" count=\"0\"/>\n"
               "  <controllist version=\"1\"><classid count=\"0\"/><dll count=\"0\"/></controllist>\n"
               "</Server>\n");
}

bool RunVerifier(const std::string& folder, const std::vector<std::string>& files) {
  Owned<gavio::ISecurityVerifier> verifier(gavio::kSecurityVerifierId);
  if (!verifier) return false;
  Reports reports;
  gavio::EventSourceOf(verifier.get())
      ->AddListener(static_cast<gavio::ISecurityVerifierSink*>(&reports), 0);
  verifier->SetPath((folder + "/config").c_str());
  if (!verifier->Initialize(nullptr)) {
    printf("   the verifier did not read its configuration (0x%x)\n", GetLastError());
    return false;
  }
  printf("   before the refresh: game 10.0.0.1 is %s\n",
         verifier->VerifyIPAddress("game", "10.0.0.1") == gavio::kTrusted ? "trusted"
                                                                            : "not known");
  bool refreshed = verifier->UpdateVerifyInfo() != 0 &&
                   PumpUntil([](void* r) { return !static_cast<Reports*>(r)->updates.empty(); },
                             &reports, 20000) &&
                   reports.updates[0] == 1;
  printf("   refresh of the three lists: %s\n", refreshed ? "done, Svconfig.xml rewritten"
                                                          : "FAILED");
  bool trusted = verifier->VerifyIPAddress("game", "10.0.0.2") == gavio::kTrusted &&
                 verifier->VerityControlID("0002DF01-0000-0000-C000-000000000046", 3,
                                           "x.dll") == gavio::kTrusted;
  printf("   after it: game 10.0.0.2 and the listed control are %s\n",
         trusted ? "trusted" : "NOT trusted");
  auto task = std::make_unique<gavio::HashCheckTask>();
  for (const std::string& file : files) {
    snprintf(task->paths[task->count++], gavio::kVerifyPathMax, "%s", file.c_str());
  }
  bool verified = verifier->VerifyFile(task.get()) != 0 &&
                  PumpUntil([](void* r) { return static_cast<Reports*>(r)->filesReported; },
                            &reports, 20000);
  const char* kVerdicts[] = {"passed", "FAILED", "not verified"};
  for (const auto& [path, verdict] : reports.verdicts) {
    printf("   %s: %s\n", strrchr(path.c_str(), '/') + 1, kVerdicts[verdict > 2 ? 2 : verdict]);
  }
  verified = verified && reports.verdicts.size() == 2 &&
             reports.verdicts[0].second == gavio::kHashPassed &&
             reports.verdicts[1].second == gavio::kHashFailed;
  if (!verified) printf("   file verification FAILED\n");
  return refreshed && trusted && verified;
}

}  // namespace

bool DemoSecurityVerification() {
  printf("== security: a refresh and a file check against a verification service\n");
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return false;
  std::string program = std::string(folder) + "/verify_peer";
  if (access(program.c_str(), X_OK) != 0) {
    printf("   no verification service peer beside the program; step skipped\n");
    return true;
  }
  char work[] = "/tmp/gavio-demo-verify-XXXXXX";
  if (mkdtemp(work) == nullptr) return false;
  std::vector<std::string> files;
  PeerProcess peer;
  bool ok = PrepareFolder(work, &files) && peer.Start(program, {std::string(work) + "/data"});
  if (!ok) printf("   cannot start %s\n", program.c_str());
  if (ok) {
    printf("   verify_peer listening on 127.0.0.1:%u\n", peer.port());
    ok = WriteConfig(work, peer.port()) && RunVerifier(work, files);
  }
  peer.Stop();
  if (!GavioRemoveTree(work)) printf("   could not remove %s\n", work);
  return ok;
}

}  // namespace gavio_tool
