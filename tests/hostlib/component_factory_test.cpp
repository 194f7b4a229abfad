// The factory object and ComponentFactory: creating components by id from
// libgavio.so and from libraries the INI names, the unload notice, noted
// process-wide instances and the log settings.
#include <errno.h>
#include <pthread.h>
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
  EXPECT_EQ(factory_->GetComponentID(), 361u);
  EXPECT_EQ(FactoryObject(), factory_);
  factory_->Destroy(1);  // does nothing to the process-wide object
  EXPECT_EQ(factory_->GetComponentID(), 361u);

  IComponent* first = factory_->CreateComponentById(361, nullptr);
  IComponent* second = factory_->CreateComponentById(361, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_NE(first, static_cast<IComponent*>(factory_));
  EXPECT_EQ(first->GetComponentID(), 361u);
  first->SetAutoFree(1);
  EXPECT_EQ(first->GetAutoFree(), 1u);
  first->Destroy(0);
  second->Destroy(0);
}

TEST_F(ComponentFactoryTest, CreatesLibgavioComponentsAndCountsOneUnloadNotice) {
  std::string debugOutput = temp_ / "debug.txt";
  setenv("GAVIO_DEBUG_OUTPUT", debugOutput.c_str(), 1);
  uint32_t noticesBefore = factory_->GetUnloadNoticeCount();

  IComponent* interval = factory_->CreateComponentById(kIntervalId, nullptr);
  ASSERT_NE(interval, nullptr);
  EXPECT_EQ(interval->GetComponentID(), kIntervalId);
  HMODULE gavio = GetModuleHandleA(GAVIO_BUILD_DIR "/libgavio.so");
  ASSERT_NE(gavio, nullptr) << "libgavio.so beside the factory library was not loaded";
  EXPECT_EQ(ModuleOf(interval), gavio);
  EXPECT_EQ(factory_->GetUnloadNoticeCount(), noticesBefore);

  // The last live instance of libgavio.so going away sends the notice.
  interval->Destroy(0);
  unsetenv("GAVIO_DEBUG_OUTPUT");
  EXPECT_EQ(factory_->GetUnloadNoticeCount(), noticesBefore + 1);
  EXPECT_NE(ReadTextFile(debugOutput).find("ComponentFactory::OnLibraryUnloadable()"),
            std::string::npos);
  // The notice is advice only: the library stays usable.
  IComponent* again = factory_->CreateComponentById(kIntervalId, nullptr);
  ASSERT_NE(again, nullptr);
  again->Destroy(0);
  EXPECT_EQ(factory_->GetUnloadNoticeCount(), noticesBefore + 2);
}

TEST_F(ComponentFactoryTest, UnknownIdGivesNull) {
  EXPECT_EQ(factory_->CreateComponentById(0xFFFF, nullptr), nullptr);
  EXPECT_EQ(FactoryCreateComponent()(0xFFFF, 0), nullptr);
}

TEST_F(ComponentFactoryTest, IniNamesTheLibraryForAnId) {
  // A second copy of the factory library under another name, beside the INI.
  std::filesystem::copy_file(kFactoryLibraryPath, temp_ / "libaltfact.so");
  std::string ini = temp_ / "Gavio.ini";
  WriteTextFile(ini, "[991]\nDLL=AltFact.dll\n[50]\nDLL=sub\\Missing.dll\n");

  IComponent* registry = factory_->CreateComponentById(kRegistryId, ini.c_str());
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(registry->GetComponentID(), kRegistryId);
  HMODULE alternative = GetModuleHandleA((temp_ / "libaltfact.so").c_str());
  ASSERT_NE(alternative, nullptr);
  EXPECT_EQ(ModuleOf(registry), alternative);
  EXPECT_NE(alternative, FactoryLibrary());
  registry->Destroy(0);

  // A library that cannot be loaded gives null, not the default library.
  EXPECT_EQ(factory_->CreateComponentById(kIntervalId, ini.c_str()), nullptr);

  // Without an entry the factory library makes its own classes.
  IComponent* own = factory_->CreateComponentById(kRegistryId, nullptr);
  ASSERT_NE(own, nullptr);
  EXPECT_NE(ModuleOf(own), alternative);
  own->Destroy(0);
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
  EXPECT_EQ(ModuleOf(registry), GetModuleHandleA((temp_ / "libredirected.so").c_str()));
  registry->Destroy(0);
}

TEST_F(ComponentFactoryTest, NotesEachProcessInstanceOnce) {
  uint32_t before = factory_->GetProcessInstanceCount();
  IComponent* instance = factory_->CreateComponentById(361, nullptr);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(factory_->NoteProcessInstance(instance), 1);
  EXPECT_EQ(factory_->NoteProcessInstance(instance), 1);
  EXPECT_EQ(factory_->GetProcessInstanceCount(), before + 1);
  EXPECT_EQ(factory_->NoteProcessInstance(nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(factory_->GetProcessInstanceCount(), before + 1);
  // Kept for the life of the process, like the instances it stands for.
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

  // Null outputs are skipped.
  EXPECT_EQ(factory_->GetLogSettings(ini.c_str(), 50, nullptr, nullptr, nullptr), 1);
}

TEST_F(LogSettingsTest, OneSharedFileAndRecursiveLockPerFile) {
  std::string ini = temp_ / "Gavio.ini";
  WriteTextFile(ini, "[Log]\nFile=gavio.log\nFileMask=1\n");
  // The same file reached through a second INI under an absolute name.
  std::string second = temp_ / "sub/second.ini";
  WriteTextFile(second, "[Log]\nFile=" + (temp_ / "gavio.log") + "\n");

  LogSettings* shared = Ask(ini, 50).shared;
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(Ask(ini, 51).shared, shared);
  EXPECT_EQ(Ask(second, 3).shared, shared);
  ASSERT_GE(shared->fd, 0);
  ASSERT_NE(shared->lock, nullptr);

  // Appends: both writes land, in order, in the named file.
  ASSERT_EQ(write(static_cast<int>(shared->fd), "one\n", 4), 4);
  ASSERT_EQ(write(static_cast<int>(shared->fd), "two\n", 4), 4);
  EXPECT_EQ(ReadTextFile(temp_ / "gavio.log"), "one\ntwo\n");

  // Recursive for its owner, exclusive against other threads.
  ASSERT_EQ(pthread_mutex_lock(shared->lock), 0);
  ASSERT_EQ(pthread_mutex_lock(shared->lock), 0);
  int busy = 0;
  std::thread([&] { busy = pthread_mutex_trylock(shared->lock); }).join();
  EXPECT_EQ(busy, EBUSY);
  pthread_mutex_unlock(shared->lock);
  pthread_mutex_unlock(shared->lock);
  int free = -1;
  std::thread([&] {
    free = pthread_mutex_trylock(shared->lock);
    if (free == 0) pthread_mutex_unlock(shared->lock);
  }).join();
  EXPECT_EQ(free, 0);
}

TEST_F(LogSettingsTest, NoFileConfiguredOrOpenableGivesNullSettings) {
  std::string noFile = temp_ / "nofile.ini";
  WriteTextFile(noFile, "[Log]\nDebugMask=0x21\n");
  Settings s = Ask(noFile, 50);
  EXPECT_EQ(s.shared, nullptr);
  EXPECT_EQ(s.debugMask, 0x21u);
  EXPECT_EQ(s.fileMask, 0u);

  std::string badFolder = temp_ / "bad.ini";
  WriteTextFile(badFolder, "[Log]\nFile=no/such/folder/gavio.log\nFileMask=1\n");
  EXPECT_EQ(Ask(badFolder, 50).shared, nullptr);

  Settings missing = Ask(temp_ / "missing.ini", 50);
  EXPECT_EQ(missing.shared, nullptr);
  EXPECT_EQ(missing.debugMask, 0u);
  EXPECT_EQ(missing.fileMask, 0u);
}

}  // namespace
}  // namespace gavio::hostlib_test
