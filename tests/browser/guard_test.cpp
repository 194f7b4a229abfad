// The script control guard, met as a client meets it: the factory library
// and libgavio.so are loaded, browsers (383) are created through
// CreateComponent, the script engines and two control modules are real
// modules, and the controls are registered in the host's registry (991) of
// a private data folder. This program also calls CoGetClassObject itself
// (it links libgavcom.so), as the client's own code would.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "browser/control_guard.h"
#include "browser/import_hooks.h"
#include "com/control_registry.h"
#include "gavio/browser.h"
#include "gavio/gavio.h"
#include "gavio/host.h"
#include "gavio/ids.h"
#include "platform/modules.h"
#include "support/test_support.h"

extern "C" gavio::HResult CoGetClassObject(const gavio::Guid* classId, uint32_t context,
                                           void* serverInfo, const gavio::Guid* iid,
                                           void** object);
extern "C" gavio::HResult CoGetClassObjectFromURL(
    const gavio::Guid* classId, const char* codeUrl, uint32_t fileVersionMs,
    uint32_t fileVersionLs, const char* mimeType, void* bindContext, uint32_t context,
    void* reserved, const gavio::Guid* iid, void** object);

namespace {

using namespace gavio;
using gavio_test::BuildDir;
using gavio_test::TempDir;

constexpr char kVersionedClass[] = "6B1F0D21-3C4E-4A5B-9C8D-7E6F5A4B3C2D";
constexpr char kPlainClass[] = "0A0B0C0D-1111-2222-3333-444455556666";
constexpr char kUnregisteredClass[] = "DEADBEEF-0000-4000-8000-00000000ABCD";
constexpr char kVersionedModule[] = "libtestcontrol_versioned.so";
constexpr char kPlainModule[] = "libtestcontrol_plain.so";

using CreateFn = IComponent* (*)(uint32_t, uint32_t);

// The libraries, loaded once for the whole program, as a client loads them.
struct Client {
  CreateFn createFactoryPart = nullptr;  // the factory library's CreateComponent
  CreateFn create = nullptr;             // libgavio.so's
  GavioSetDLLRegistryFn setRegistry = nullptr;
  GavioScriptCreateControlFn jscript = nullptr;
};

const Client& TheClient() {
  static Client client = [] {
    Client c;
    HMODULE factory = LoadLibraryA((BuildDir() + "/GavFact.dll").c_str());
    HMODULE library = LoadLibraryA((BuildDir() + "/libgavio.so").c_str());
    HMODULE engine = LoadLibraryA((BuildDir() + "/libjscript.so").c_str());
    c.createFactoryPart = reinterpret_cast<CreateFn>(GetProcAddress(factory, "CreateComponent"));
    c.create = reinterpret_cast<CreateFn>(GetProcAddress(library, "CreateComponent"));
    c.setRegistry =
        reinterpret_cast<GavioSetDLLRegistryFn>(GetProcAddress(library, "SetDLLRegistry"));
    c.jscript = reinterpret_cast<GavioScriptCreateControlFn>(
        GetProcAddress(engine, "ScriptCreateControl"));
    return c;
  }();
  return client;
}

IWebBrowser* NewBrowser() {
  return static_cast<IWebBrowser*>(TheClient().create(kBrowserId, 0));
}

HResult CreateThrough(GavioScriptCreateControlFn engine, const char* classId) {
  void* control = nullptr;
  HResult result = engine(classId, &control);
  EXPECT_EQ(result == kSOk, control != nullptr);
  return result;
}

// The protection of the page holding address, as the kernel reports it.
std::string ProtectionOf(const void* address) {
  std::ifstream maps("/proc/self/maps");
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    unsigned long start = 0, end = 0;
    char perms[5] = {0};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && at >= start &&
        at < end) {
      return perms;
    }
  }
  return "";
}

struct SlotState {
  std::vector<void**> slots;
  std::vector<void*> values;
  std::vector<std::string> protections;
};

SlotState ReadSlots(const char* module, const char* function) {
  SlotState state;
  void* values[8];
  void** slots[8];
  size_t count = ReadImportSlots(module, function, values, 8, slots);
  for (size_t i = 0; i < count && i < 8; ++i) {
    state.slots.push_back(slots[i]);
    state.values.push_back(values[i]);
    state.protections.push_back(ProtectionOf(slots[i]));
  }
  return state;
}

// The client root of the whole program (the library reads it once), and
// the security verifier's configuration in it.
const TempDir& ClientRoot() {
  static TempDir root;
  return root;
}

void WriteVerifierConfig(const std::string& controlList) {
  std::string folder = ClientRoot().File("Config");
  mkdir(folder.c_str(), 0700);
  gavio_test::WriteFile(folder + "/Svconfig.xml",
                        "<Server><config projectid=\"guard\" valid=\"7\"/>"
                        "<verifyserver version=\"1\"/>"
                        "<controllist version=\"1\">" + controlList + "</controllist></Server>");
}

// Trusts the versioned control by class id and version, the plain one by
// its module's name.
void TrustBothControls() {
  WriteVerifierConfig(std::string("<classid count=\"1\"><item1 version=\"10234506\" value=\"") +
                      kVersionedClass + "\"/></classid><dll count=\"1\"><item1 name=\"" +
                      kPlainModule + "\"/></dll>");
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(TheClient().create, nullptr);
    ASSERT_NE(TheClient().jscript, nullptr);
    setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    Register(kVersionedClass, (BuildDir() + "/" + kVersionedModule).c_str());
    Register(kPlainClass, (BuildDir() + "/" + kPlainModule).c_str());
    SetRegistryValue("gavio_rootpath", "gavio_rootpath_data", ClientRoot().path().c_str());
    TrustBothControls();
  }

  void Register(const char* classId, const char* path) {
    char key[96];
    com::InprocServerKey(classId, key, sizeof key);
    SetRegistryValue(key, com::kDefaultValueName, path);
  }

  void SetRegistryValue(const char* key, const char* name, const char* value) {
    IComponent* component = TheClient().createFactoryPart(kRegistryId, 0);
    ASSERT_NE(component, nullptr);
    EXPECT_EQ(static_cast<IRegistry*>(component)->SetValue(key, name, value), 1);
    component->Destroy(0);
  }

  TempDir data_;
};

TEST_F(GuardTest, ScriptEnginesCreateOnlyRegisteredControlsWhileABrowserExists) {
  // Without a browser nothing is screened: the platform's own answer.
  EXPECT_EQ(CreateThrough(TheClient().jscript, kUnregisteredClass), kClassNotRegistered);
  IWebBrowser* browser = NewBrowser();
  ASSERT_NE(browser, nullptr);
  EXPECT_EQ(browser->IsGuardInstalled(), 1);
  // vbscript is loaded only now: the guard reaches a module loaded later.
  HMODULE vbscript = LoadLibraryA((BuildDir() + "/libvbscript.so").c_str());
  ASSERT_NE(vbscript, nullptr);
  auto vbscriptCreate = reinterpret_cast<GavioScriptCreateControlFn>(
      GetProcAddress(vbscript, "ScriptCreateControl"));
  ASSERT_NE(vbscriptCreate, nullptr);
  // The verifier trusts both registered controls; an unregistered one
  // fails the way the guard fails it.
  for (GavioScriptCreateControlFn engine : {TheClient().jscript, vbscriptCreate}) {
    EXPECT_EQ(CreateThrough(engine, kVersionedClass), kSOk);
    EXPECT_EQ(CreateThrough(engine, kPlainClass), kSOk);
    EXPECT_EQ(CreateThrough(engine, kUnregisteredClass), kEFail);
  }
  browser->Destroy(0);
  EXPECT_EQ(CreateThrough(vbscriptCreate, kUnregisteredClass), kClassNotRegistered);
}

TEST_F(GuardTest, TheVerifiersControlListDecidesAndItsAbsenceAllows) {
  IWebBrowser* browser = NewBrowser();
  ASSERT_NE(browser, nullptr);
  // Listed with another version, or not listed at all: refused.
  WriteVerifierConfig(std::string("<classid count=\"1\"><item1 version=\"10234505\" value=\"") +
                      kVersionedClass + "\"/></classid><dll count=\"0\"/>");
  EXPECT_EQ(CreateThrough(TheClient().jscript, kVersionedClass), kEFail);
  EXPECT_EQ(CreateThrough(TheClient().jscript, kPlainClass), kEFail);
  // Version matching off: the class id alone decides.
  WriteVerifierConfig(std::string("<classid count=\"1\" versionvalid=\"0\"><item1 version=\"1\" "
                                  "value=\"") + kVersionedClass + "\"/></classid><dll count=\"0\"/>");
  EXPECT_EQ(CreateThrough(TheClient().jscript, kVersionedClass), kSOk);
  EXPECT_EQ(CreateThrough(TheClient().jscript, kPlainClass), kEFail);
  // A factory configuration that cannot make the verifier: every
  // registered control passes, whatever the list says.
  TempDir settings;
  std::string ini = settings.File("Gavio.ini");
  gavio_test::WriteFile(ini, "[361]\nDLL=" + BuildDir() + "/GavFact.dll\n[1185]\nDLL=absent.so\n");
  ASSERT_NE(TheClient().setRegistry, nullptr);
  TheClient().setRegistry(ini.c_str());
  EXPECT_EQ(CreateThrough(TheClient().jscript, kPlainClass), kSOk);
  EXPECT_EQ(CreateThrough(TheClient().jscript, kUnregisteredClass), kEFail);
  TheClient().setRegistry((BuildDir() + "/Gavio.ini").c_str());
  browser->Destroy(0);
}

TEST_F(GuardTest, TheClientsOwnClassObjectRequestsAreNotScreened) {
  Guid unregistered;
  ASSERT_TRUE(com::ClassIdFromText(kUnregisteredClass, &unregistered));
  void* object = nullptr;
  // Bind this program's slot first, so its value can be compared.
  EXPECT_EQ(CoGetClassObject(&unregistered, 1, nullptr, &kIidClassFactory, &object),
            kClassNotRegistered);
  SlotState own = ReadSlots("", "CoGetClassObject");
  ASSERT_FALSE(own.slots.empty());
  IWebBrowser* browser = NewBrowser();
  ASSERT_NE(browser, nullptr);
  EXPECT_EQ(ReadSlots("", "CoGetClassObject").values, own.values);
  EXPECT_EQ(CoGetClassObject(&unregistered, 1, nullptr, &kIidClassFactory, &object),
            kClassNotRegistered);
  // Looked up by name, the function is the platform's for a module outside
  // the script engines, and the screened one for a script engine.
  HMODULE gavcom = GetModuleHandleA("libgavcom.so");
  HMODULE jscript = GetModuleHandleA("libjscript.so");
  ASSERT_NE(gavcom, nullptr);
  ASSERT_NE(jscript, nullptr);
  auto direct = reinterpret_cast<GavioCoGetClassObjectFn>(GetProcAddress(gavcom, "CoGetClassObject"));
  auto viaEngine =
      reinterpret_cast<GavioCoGetClassObjectFn>(GetProcAddress(jscript, "CoGetClassObject"));
  ASSERT_NE(direct, nullptr);
  ASSERT_NE(viaEngine, nullptr);
  EXPECT_EQ(direct(&unregistered, 1, nullptr, &kIidClassFactory, &object), kClassNotRegistered);
  EXPECT_EQ(viaEngine(&unregistered, 1, nullptr, &kIidClassFactory, &object), kEFail);
  EXPECT_EQ(object, nullptr);
  // A request from a URL is screened whoever makes it.
  auto fromUrl = [&](const char* classId) {
    Guid id;
    EXPECT_TRUE(com::ClassIdFromText(classId, &id));
    return CoGetClassObjectFromURL(&id, "http://127.0.0.1/control.cab", 0, 0, nullptr, nullptr,
                                   1, nullptr, &kIidClassFactory, &object);
  };
  EXPECT_EQ(fromUrl(kUnregisteredClass), kEFail);
  EXPECT_EQ(fromUrl(kPlainClass), kSOk);
  browser->Destroy(0);
  EXPECT_EQ(fromUrl(kUnregisteredClass), kClassNotRegistered);
}

TEST_F(GuardTest, RemovingTheLastBrowserRestoresEverySlotAndPageProtection) {
  // Bind the lazily bound slots first, so that every value is the platform's.
  EXPECT_EQ(CreateThrough(TheClient().jscript, kUnregisteredClass), kClassNotRegistered);
  HMODULE versioned = LoadLibraryA((BuildDir() + "/" + kVersionedModule).c_str());
  ASSERT_NE(versioned, nullptr);
  struct Watched {
    const char* module;
    const char* function;
  };
  const Watched kWatched[] = {
      {"libjscript.so", "CoGetClassObject"},
      {"libgavioplat.so.0", "dlopen"},
      {"libgavioplat.so.0", "dlsym"},
      {kVersionedModule, "dlsym"},  // read-only after start-up (-z now)
  };
  std::vector<SlotState> before;
  for (const Watched& w : kWatched) {
    before.push_back(ReadSlots(w.module, w.function));
    ASSERT_FALSE(before.back().slots.empty()) << w.module << " " << w.function;
  }
  EXPECT_EQ(before[3].protections[0][1], '-') << "expected a read-only slot page";
  IWebBrowser* first = NewBrowser();
  IWebBrowser* second = NewBrowser();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  for (size_t i = 0; i < before.size(); ++i) {
    SlotState during = ReadSlots(kWatched[i].module, kWatched[i].function);
    EXPECT_NE(during.values, before[i].values) << kWatched[i].module << " not rewritten";
    EXPECT_EQ(during.protections, before[i].protections) << kWatched[i].module;
  }
  first->Destroy(0);
  EXPECT_EQ(second->IsGuardInstalled(), 1);
  EXPECT_NE(ReadSlots(kWatched[0].module, kWatched[0].function).values, before[0].values);
  second->Destroy(0);
  for (size_t i = 0; i < before.size(); ++i) {
    SlotState after = ReadSlots(kWatched[i].module, kWatched[i].function);
    EXPECT_EQ(after.values, before[i].values) << kWatched[i].module;
    EXPECT_EQ(after.protections, before[i].protections) << kWatched[i].module;
  }
  // The platform's own function answers again.
  EXPECT_EQ(CreateThrough(TheClient().jscript, kUnregisteredClass), kClassNotRegistered);
}

TEST_F(GuardTest, LookupsThroughTheRedirectedDlsymAnswerAsThePlatformDoes) {
  HMODULE versioned = LoadLibraryA((BuildDir() + "/" + kVersionedModule).c_str());
  HMODULE plain = LoadLibraryA((BuildDir() + "/" + kPlainModule).c_str());
  ASSERT_NE(versioned, nullptr);
  ASSERT_NE(plain, nullptr);
  using LookupFn = void* (*)(void*, const char*);
  auto lookup = reinterpret_cast<LookupFn>(GetProcAddress(versioned, "TestControlLookup"));
  ASSERT_NE(lookup, nullptr);
  // RTLD_NEXT depends on the calling module, which the redirection must not
  // turn into the guard's own.
  struct Ask {
    void* module;
    const char* name;
  };
  const Ask kAsks[] = {{RTLD_NEXT, "TestControlInstances"},
                       {RTLD_NEXT, "no_such_symbol"},
                       {plain, "TestControlInstances"},
                       {RTLD_DEFAULT, "CoGetClassObject"}};
  std::vector<void*> unguarded;
  for (const Ask& ask : kAsks) unguarded.push_back(lookup(ask.module, ask.name));
  IWebBrowser* browser = NewBrowser();
  ASSERT_NE(browser, nullptr);
  EXPECT_NE(ReadSlots(kVersionedModule, "dlsym").values, std::vector<void*>{nullptr});
  for (size_t i = 0; i < std::size(kAsks); ++i) {
    EXPECT_EQ(lookup(kAsks[i].module, kAsks[i].name), unguarded[i]) << kAsks[i].name;
  }
  browser->Destroy(0);
}

TEST_F(GuardTest, CheckReportsModuleVersionAndVerdict) {
  IWebBrowser* browser = NewBrowser();
  ASSERT_NE(browser, nullptr);
  ControlCheck check;
  ASSERT_EQ(browser->CheckControl((std::string("{") + kVersionedClass + "}").c_str(), &check), 1);
  EXPECT_EQ(check.moduleFound, 1);
  EXPECT_EQ(std::string(check.modulePath), BuildDir() + "/" + kVersionedModule);
  EXPECT_EQ(check.version, 10234506u);
  EXPECT_EQ(check.verifierFound, 1);
  EXPECT_EQ(check.verifierAnswer, 0);
  EXPECT_EQ(check.allowed, 1);
  ASSERT_EQ(browser->CheckControl(kUnregisteredClass, &check), 1);
  EXPECT_EQ(check.moduleFound, 0);
  EXPECT_EQ(check.allowed, 0);
  EXPECT_EQ(browser->CheckControl("not-a-class-id", &check), 0);
  browser->Destroy(0);
}

TEST_F(GuardTest, ControlsKeepComingWhileBrowsersComeAndGoOnAnotherThread) {
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<HResult> lastFailure{kSOk};
  std::thread creator([&] {
    while (!stop.load()) {
      void* control = nullptr;
      HResult result = TheClient().jscript(kPlainClass, &control);
      if (result != kSOk) {
        failures.fetch_add(1);
        lastFailure.store(result);
      }
    }
  });
  for (int round = 0; round < 20; ++round) {
    IWebBrowser* browser = NewBrowser();
    ASSERT_NE(browser, nullptr);
    browser->Destroy(0);
  }
  stop.store(true);
  creator.join();
  EXPECT_EQ(failures.load(), 0) << "last: " << std::hex << lastFailure.load();
}

TEST_F(GuardTest, GuardCheckCommandTellsWhyAControlIsAllowedOrRefused) {
  std::vector<std::pair<std::string, std::string>> environment = {
      {"XDG_DATA_HOME", data_.path()}};
  gavio_test::ProgramResult allowed = gavio_test::RunProgram(
      {{"gavio", "guard", "check", std::string("{") + kVersionedClass + "}"}, environment});
  EXPECT_EQ(allowed.exitCode, 0) << allowed.output;
  EXPECT_NE(allowed.output.find(std::string("module:   ") + BuildDir() + "/" + kVersionedModule),
            std::string::npos) << allowed.output;
  EXPECT_NE(allowed.output.find("version:  10234506\n"), std::string::npos) << allowed.output;
  EXPECT_NE(allowed.output.find("verifier: answered 0 (trusted)"), std::string::npos)
      << allowed.output;
  gavio_test::ProgramResult refused =
      gavio_test::RunProgram({{"gavio", "guard", "check", kUnregisteredClass}, environment});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find("module:   none registered"), std::string::npos) << refused.output;
  EXPECT_NE(refused.output.find("refused\n"), std::string::npos) << refused.output;
  EXPECT_EQ(gavio_test::RunProgram({{"gavio", "guard", "check", "12-34"}, environment}).exitCode, 2);
}

// The approval with a verifier: what it is asked and how its answer counts.
class RecordingVerifier final : public ISecurityVerifier {
 public:
  explicit RecordingVerifier(int32_t answer) : answer_(answer) {}
  int32_t VerityControlID(const char* classId, uint32_t version, const char* dllName) override {
    classId_ = classId;
    version_ = version;
    dllName_ = dllName;
    return answer_;
  }
  std::string classId_, dllName_;
  uint32_t version_ = 0;

  uint32_t GetComponentID() override { return kSecurityVerifierId; }
  uint32_t GetVersion() override { return 1; }
  void Destroy(int32_t) override {}
  uint32_t GetAutoFree() override { return 0; }
  void SetAutoFree(uint32_t) override {}
  void SetPath(const char*) override {}
  int32_t Initialize(const ProxySettings*) override { return 1; }
  void Uninitialize() override {}
  void SetAutoUpdateInterval(uint32_t) override {}
  int32_t UpdateVerifyInfo() override { return 0; }
  int32_t VerifyFile(const HashCheckTask*) override { return 0; }
  int32_t VerifyIPAddress(const char*, const char*) override { return 0; }
  int32_t GetRecommendIPList(const char*, RecommendIpList*) override { return 0; }
  void SetValid(uint32_t) override {}
  void ComponentFinalize() override {}

 private:
  int32_t answer_;
};

TEST(ControlApproval, AsksTheVerifierWithTheModulesFileNameAndTrustsOnlyZero) {
  for (int32_t answer : {0, 1, -1}) {
    RecordingVerifier verifier(answer);
    int32_t got = 7;
    bool approved =
        ApproveWith(&verifier, "/opt/client/controls/libchart.so", kVersionedClass, 10234506, &got);
    EXPECT_EQ(approved, answer == 0);
    EXPECT_EQ(got, answer);
    EXPECT_EQ(verifier.classId_, kVersionedClass);
    EXPECT_EQ(verifier.version_, 10234506u);
    EXPECT_EQ(verifier.dllName_, "libchart.so");
  }
}

TEST(ControlVersion, NumberFollowsTheFileVersionFields) {
  struct Case {
    uint32_t major, minor, build, revision, number;
  };
  const Case kCases[] = {
      {1, 2, 345, 6, 10234506},  {0, 0, 0, 0, 0},
      {3, 4, 199, 12, 30419912}, {0, 0, 99, 0, 9900},
      {0, 0, 100, 0, 10000},     {429, 0, 0, 0, 4290000000u},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(VersionNumber(c.major << 16 | c.minor, c.build << 16 | c.revision), c.number)
        << c.major << "." << c.minor << "." << c.build << "." << c.revision;
  }
}

TEST(ControlVersion, ReadFromTheModulesNoteAndZeroWithoutOne) {
  TempDir dir;
  std::string versioned = gavio_test::ReadFile(BuildDir() + "/" + kVersionedModule);
  ASSERT_GT(versioned.size(), 200u);
  gavio_test::WriteFile(dir.File("cut.so"), versioned.substr(0, 200));
  gavio_test::WriteFile(dir.File("text.so"), "not a module at all");
  gavio_test::WriteFile(dir.File("empty.so"), "");
  // A renamed copy keeps its version: it is in the file, not in the name.
  gavio_test::WriteFile(dir.File("renamed.dll"), versioned);
  struct Case {
    std::string path;
    uint32_t number;
  };
  const Case kCases[] = {
      {BuildDir() + "/" + kVersionedModule, 10234506}, {dir.File("renamed.dll"), 10234506},
      {BuildDir() + "/" + kPlainModule, 0},           {dir.File("cut.so"), 0},
      {dir.File("text.so"), 0},                       {dir.File("empty.so"), 0},
      {dir.File("missing.so"), 0},                    {dir.path(), 0},
  };
  for (const Case& c : kCases) EXPECT_EQ(ModuleVersionNumber(c.path.c_str()), c.number) << c.path;
}

TEST(ControlNames, RegisteredPathsAndModuleListsAndClassIds) {
  setenv("GAVIO_GUARD_TEST_DIR", "/opt/client", 1);
  setenv("SystemRoot", "/srv/root", 1);
  struct PathCase {
    const char* registered;
    const char* path;  // null: not an ordinary path
  };
  const PathCase kPaths[] = {
      {"%GAVIO_GUARD_TEST_DIR%\\controls\\libchart.so", "/opt/client/controls/libchart.so"},
      {"\\SystemRoot\\System32\\libchart.so", "/srv/root/System32/libchart.so"},
      {"\\??\\/opt/libchart.so", "/opt/libchart.so"},
      {"%GAVIO_GUARD_UNSET%\\libchart.so", "%GAVIO_GUARD_UNSET%/libchart.so"},
      {"50%\\lib%", "50%/lib%"},
      {"", nullptr},
      {"%GAVIO_GUARD_EMPTY%", nullptr},
  };
  setenv("GAVIO_GUARD_EMPTY", "", 1);
  for (const PathCase& c : kPaths) {
    char path[MAX_PATH];
    bool ok = com::NormaliseModulePath(c.registered, path, sizeof path);
    EXPECT_EQ(ok, c.path != nullptr) << c.registered;
    if (ok && c.path != nullptr) {
      EXPECT_STREQ(path, c.path);
    }
  }
  char path[MAX_PATH];
  std::string tooLong(MAX_PATH, 'a');
  EXPECT_FALSE(com::NormaliseModulePath(tooLong.c_str(), path, sizeof path));
  unsetenv("SystemRoot");
  EXPECT_FALSE(com::NormaliseModulePath("\\SystemRoot\\x.so", path, sizeof path));

  const char* const engines[] = {"jscript.dll", "vbscript.dll", nullptr};
  EXPECT_TRUE(ModuleListAccepts(engines, "/usr/lib/libjscript.so"));
  EXPECT_TRUE(ModuleListAccepts(engines, "/x/LIBVBSCRIPT.SO"));
  EXPECT_TRUE(ModuleListAccepts(engines, "libjscript.so.5.8"));
  EXPECT_FALSE(ModuleListAccepts(engines, "/x/libjscript9.so"));
  EXPECT_FALSE(ModuleListAccepts(engines, "/x/jscript.dll/libgavcom.so"));
  EXPECT_FALSE(ModuleListAccepts(engines, ""));
  EXPECT_TRUE(ModuleListAccepts(nullptr, ""));

  Guid id;
  char text[kClassIdTextLength + 1];
  for (const char* form : {"{6b1f0d21-3c4e-4a5b-9c8d-7e6f5a4b3c2d}", kVersionedClass}) {
    ASSERT_TRUE(com::ClassIdFromText(form, &id)) << form;
    com::ClassIdToText(id, text);
    EXPECT_STREQ(text, kVersionedClass);
  }
  for (const char* bad : {"", "6B1F0D21-3C4E-4A5B-9C8D-7E6F5A4B3C2", "{6B1F0D21-3C4E-4A5B-9C8D-7E6F5A4B3C2D",
                          "6B1F0D21+3C4E-4A5B-9C8D-7E6F5A4B3C2D", "6B1F0D21-3C4E-4A5B-9C8D-7E6F5A4B3C2G"}) {
    EXPECT_FALSE(com::ClassIdFromText(bad, &id)) << bad;
  }
}

}  // namespace
