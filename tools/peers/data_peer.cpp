// data_peer: the other process of the data-safety tests. It loads the
// libraries as a client does and writes through the components, so the
// write-fault seam of the platform library (GAVIO_FAULT_KILL_AT,
// GAVIO_FAULT_ENOSPC_AT) acts on it.
//
//   data_peer edit ARCHIVE          one edit of every kind (add, remove a
//                                   file and a folder, rewrite smaller,
//                                   larger and same-size, 40 small files
//                                   added and 20 of them rewritten) in one
//                                   session
//   data_peer add ARCHIVE NAME TEXT adds one file (the archive is created
//                                   when missing)
//   data_peer registry KEY COUNT    sets COUNT values of KEY in the host's
//                                   registry, printing "ok N" for each one
//                                   acknowledged
//
// Exit status: 0 done, 3 the archive was refused because another process
// holds it, 1 any other failure, 2 usage. "edit" and "add" print the write
// steps they made ("steps N").
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>

#include "gavio/host.h"
#include "gavio/ids.h"
#include "gavio/vfs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/paths.h"

namespace {

constexpr int kRefused = 3;

using CreateFn = gavio::IComponent* (*)(uint32_t, uint32_t);

CreateFn Load(const char* name) {
  char folder[4096];
  if (!GavioGetExecutableFolder(folder, sizeof folder)) return nullptr;
  HMODULE factory = LoadLibraryA((std::string(folder) + "/GavFact.dll").c_str());
  if (strcmp(name, "GavFact.dll") == 0) {
    return reinterpret_cast<CreateFn>(GetProcAddress(factory, "CreateComponent"));
  }
  HMODULE library = LoadLibraryA((std::string(folder) + "/" + name).c_str());
  return reinterpret_cast<CreateFn>(GetProcAddress(library, "CreateComponent"));
}

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>(rng());
  return text;
}

// Writes whole files into roots of the manager.
class Session {
 public:
  Session(gavio::IFileSysMgr* mgr, CreateFn create) : mgr_(mgr), create_(create) {}
  bool Put(int32_t root, const char* path, const std::string& content) {
    auto* data = static_cast<gavio::IBuffer*>(create_(gavio::kBufferId, 0));
    if (data == nullptr || data->Init(static_cast<int32_t>(content.size()), static_cast<int32_t>(content.size())) == 0) {
      return false;
    }
    memcpy(data->Data(), content.data(), content.size());
    bool ok = mgr_->WriteFileToRoot(root, path, data) > 0;
    data->Release();
    return ok;
  }

 private:
  gavio::IFileSysMgr* mgr_;
  CreateFn create_;
};

int OpenFailure() { return GetLastError() == ERROR_LOCK_VIOLATION ? kRefused : 1; }

int Edit(gavio::IFileSysMgr* mgr, Session* session, const char* archive) {
  int32_t root = mgr->OpenRoot(archive, gavio::kRootReadWrite);
  if (root == -1) return OpenFailure();
  bool ok = session->Put(root, "new1", Noise(3000, 11)) && session->Put(root, "sub\\new2", Noise(700, 12)) &&
            mgr->DeleteFile(root, "f1") == 1 && mgr->DeleteDir(root, "dir\\") == 1 &&
            session->Put(root, "f2", "now small!") && session->Put(root, "f3", Noise(30000, 13)) &&
            session->Put(root, "f4", Noise(1500, 14));
  // Many small files, then half of them again at other sizes: free extents
  // are split, reused and appended to.
  for (uint32_t k = 0; ok && k < 40; ++k) {
    std::string name = "many\\" + std::to_string(k);
    ok = session->Put(root, name.c_str(), Noise(1 + (k * 397) % 3000, 100 + k));
  }
  for (uint32_t k = 0; ok && k < 40; k += 2) {
    std::string name = "many\\" + std::to_string(k);
    ok = session->Put(root, name.c_str(), Noise(1 + (k * 1013) % 5000, 200 + k));
  }
  return mgr->CloseRoot(root) == 1 && ok ? 0 : 1;
}

int Add(gavio::IFileSysMgr* mgr, Session* session, const char* archive, const char* name, const char* text) {
  int32_t root = mgr->OpenRoot(archive, gavio::kRootOpenAlways);
  if (root == -1) return OpenFailure();
  bool ok = session->Put(root, name, text);
  return mgr->CloseRoot(root) == 1 && ok ? 0 : 1;
}

int Registry(const char* key, int count) {
  CreateFn create = Load("GavFact.dll");
  auto* factory = create != nullptr ? static_cast<gavio::IComponentFactory*>(create(361, 0)) : nullptr;
  auto* registry = factory != nullptr
                       ? static_cast<gavio::IRegistry*>(factory->CreateComponentById(gavio::kRegistryId, nullptr))
                       : nullptr;
  if (registry == nullptr) return 1;
  for (int i = 0; i < count; ++i) {
    std::string name = "v" + std::to_string(i);
    if (registry->SetValue(key, name.c_str(), std::to_string(i).c_str()) == 1) {
      printf("ok %d\n", i);
      fflush(stdout);
    }
  }
  registry->Destroy(0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "registry" && argc == 4) return Registry(argv[2], atoi(argv[3]));
  if (!((verb == "edit" && argc == 3) || (verb == "add" && argc == 5))) {
    fprintf(stderr, "usage: data_peer edit ARCHIVE | add ARCHIVE NAME TEXT | registry KEY COUNT\n");
    return 2;
  }
  CreateFn create = Load("libgavio.so");
  auto* mgr = create != nullptr ? static_cast<gavio::IFileSysMgr*>(create(gavio::kFileSysMgrId, 0)) : nullptr;
  if (mgr == nullptr || mgr->Init() != 1) return 1;
  Session session(mgr, create);
  int status = verb == "edit" ? Edit(mgr, &session, argv[2]) : Add(mgr, &session, argv[2], argv[3], argv[4]);
  printf("steps %llu\n", static_cast<unsigned long long>(GavioFileWriteSteps()));
  mgr->Release();
  return status;
}
