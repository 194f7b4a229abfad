// The factory object and ComponentFactory: creating components by id from
// libgavio.so and from libraries the INI names, the unload notice, noted
// process-wide instances and the log settings.
#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "factory_library.h"
#include "platform/modules.h"

namespace gavio::hostlib_test {
namespace {

constexpr uint32_t kIntervalId = 50;
constexpr uint32_t kRegistryId = 991;

// The library whose code an instance runs: the module of its vtable.
HMODULE ModuleOf(IComponent* component) {
  return GavioModuleFromAddress(*reinterpret_cast<void**>(component));
}

// The handle of the library loaded from exactly this path (module lookups by
// name would find an earlier copy with the same file name).
HMODULE LoadedFrom(const std::string& path) {
  HMODULE module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module != nullptr) dlclose(module);
  return module;
}

class ComponentFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    factory_ = FactoryObject();
    ASSERT_NE(factory_, nullptr) << dlerror();
  }

  IComponentFactory* factory_ = nullptr;
  TempFolder temp_;
};

TEST_F(ComponentFactoryTest, FactoryObjectIsProcessWideAndInstancesAreOwned) {
  factory_->Destroy(1);  // does nothing to the process-wide object
  EXPECT_EQ(FactoryObject(), factory_);
  EXPECT_EQ(factory_->GetComponentID(), 361u);

  IComponent* first = factory_->CreateComponentById(361, nullptr);
  IComponent* second = factory_->CreateComponentById(361, nullptr);
  ASSERT_TRUE(first != nullptr && second != nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->GetComponentID(), 361u);
  first->Destroy(0);

  // Noted process-wide instances are counted once and kept.
  uint32_t noted = factory_->GetProcessInstanceCount();
  EXPECT_EQ(factory_->NoteProcessInstance(second), 1);
  EXPECT_EQ(factory_->NoteProcessInstance(second), 1);
  EXPECT_EQ(factory_->NoteProcessInstance(nullptr), 0);
  EXPECT_EQ(factory_->GetProcessInstanceCount(), noted + 1);
}

TEST_F(ComponentFactoryTest, CreatesLibgavioComponentsAndCountsOneUnloadNotice) {
  std::string debugOutput = temp_ / "debug.txt";
  setenv("GAVIO_DEBUG_OUTPUT", debugOutput.c_str(), 1);
  uint32_t noticesBefore = factory_->GetUnloadNoticeCount();

  IComponent* interval = factory_->CreateComponentById(kIntervalId, nullptr);
  ASSERT_NE(interval, nullptr);
  EXPECT_EQ(ModuleOf(interval), LoadedFrom(GAVIO_BUILD_DIR "/libgavio.so"));
  EXPECT_EQ(factory_->GetUnloadNoticeCount(), noticesBefore);

  // The last live instance of libgavio.so going away sends the notice.
  interval->Destroy(0);
  unsetenv("GAVIO_DEBUG_OUTPUT");
  EXPECT_EQ(factory_->GetUnloadNoticeCount(), noticesBefore + 1);
  EXPECT_NE(ReadTextFile(debugOutput).find("ComponentFactory::OnLibraryUnloadable()"),
            std::string::npos);
}

TEST_F(ComponentFactoryTest, IniNamesTheLibraryForAnId) {
  // A second copy of the factory library under another name, beside the INI.
  std::filesystem::copy_file(kFactoryLibraryPath, temp_ / "libaltfact.so");
  std::string ini = temp_ / "Gavio.ini";
  WriteTextFile(ini, "[991]\nDLL=AltFact.dll\n[50]\nDLL=sub\\Missing.dll\n");

  IComponent* registry = factory_->CreateComponentById(kRegistryId, ini.c_str());
  ASSERT_NE(registry, nullptr);
  HMODULE alternative = LoadedFrom(temp_ / "libaltfact.so");
  ASSERT_NE(alternative, nullptr);
  EXPECT_NE(alternative, FactoryLibrary());
  EXPECT_EQ(ModuleOf(registry), alternative);
  registry->Destroy(0);
  // A library that cannot be loaded gives null, not the default library.
  EXPECT_EQ(factory_->CreateComponentById(kIntervalId, ini.c_str()), nullptr);
}

TEST_F(ComponentFactoryTest, RelativeRedirectIsFollowedOnce) {
  std::filesystem::copy_file(kFactoryLibraryPath, temp_ / "libredirected.so");
  WriteTextFile(temp_ / "Gavio.ini", "[Redirect]\nPath=real.ini\n");
  // The redirect written in the second file is not followed.
  WriteTextFile(temp_ / "real.ini",
                "[Redirect]\nPath=other.ini\n[991]\nDLL=" + (temp_ / "libredirected.so") + "\n");
  WriteTextFile(temp_ / "other.ini", "[991]\nDLL=NoSuchLibrary.dll\n");

  IComponent* registry = factory_->CreateComponentById(kRegistryId, (temp_ / "Gavio.ini").c_str());
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(ModuleOf(registry), LoadedFrom(temp_ / "libredirected.so"));
  registry->Destroy(0);
}

class LogSettingsTest : public ComponentFactoryTest {
 protected:
  struct Settings {
    uint32_t debugMask = 0xDEAD;
    uint32_t fileMask = 0xDEAD;
    LogSettings* shared = reinterpret_cast<LogSettings*>(1);
  };

  Settings Ask(const std::string& ini, uint32_t moduleId) {
    Settings s;
    EXPECT_EQ(factory_->GetLogSettings(ini.c_str(), moduleId, &s.debugMask, &s.fileMask, &s.shared),
              1);
    return s;
  }
};

TEST_F(LogSettingsTest, MasksComeFromDefaultsAndModuleSections) {
  std::string ini = temp_ / "Gavio.ini";
  WriteTextFile(ini,
                "[Log]\nFile=gavio.log\nDebugMask=0x2\nFileMask=1\n"
                "[Log.50]\nFileMask=0x23\n"
                "[Log.51]\nDebugMask=junk\nFileMask=33\n");
  Settings interval = Ask(ini, 50);
  EXPECT_EQ(interval.debugMask, 0x2u);
  EXPECT_EQ(interval.fileMask, 0x23u);
  Settings timeout = Ask(ini, 51);
  EXPECT_EQ(timeout.debugMask, 0x2u);  // an unreadable override keeps the default
  EXPECT_EQ(timeout.fileMask, 33u);
  Settings other = Ask(ini, 7);
  EXPECT_EQ(other.debugMask, 0x2u);
  EXPECT_EQ(other.fileMask, 0x1u);

  // No file configured, or none that can be opened: masks without settings.
  WriteTextFile(temp_ / "bad.ini", "[Log]\nFile=no/such/folder/gavio.log\nDebugMask=0x21\n");
  EXPECT_EQ(Ask(temp_ / "bad.ini", 50).shared, nullptr);
  EXPECT_EQ(Ask(temp_ / "bad.ini", 50).debugMask, 0x21u);
  EXPECT_EQ(Ask(temp_ / "missing.ini", 50).shared, nullptr);
}

// Files that are no plain configuration: a FIFO named as the log file (no
// reader: opening it for writing would wait for one), a FIFO or a device as
// the INI, and redirects that loop. Each answers at once, as if nothing
// were configured.
TEST_F(LogSettingsTest, UnusableFilesAndLoopingRedirectsGiveNoSettingsAndNeverBlock) {
  std::string fifo = temp_ / "log.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string ini = temp_ / "Gavio.ini";
  WriteTextFile(ini, "[Log]\nFile=log.fifo\nDebugMask=0x2\n");
  EXPECT_EQ(Ask(ini, 50).shared, nullptr);
  EXPECT_EQ(Ask(ini, 50).debugMask, 0x2u);

  std::string loopA = temp_ / "a.ini";
  std::string loopB = temp_ / "b.ini";
  WriteTextFile(loopA, "[Redirect]\nPath=" + loopB + "\n[Log]\nDebugMask=0x1\n");
  WriteTextFile(loopB, "[Redirect]\nPath=" + loopA + "\n[Log]\nDebugMask=0x1\n");
  for (const std::string& unusable : {fifo, std::string("/dev/zero"), loopA}) {
    Settings s = Ask(unusable, 50);
    EXPECT_EQ(s.debugMask, 0u) << unusable;
    EXPECT_EQ(s.shared, nullptr) << unusable;
  }
}

}  // namespace
}  // namespace gavio::hostlib_test
