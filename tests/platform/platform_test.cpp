// Threads, events, INI files and module loading of the platform library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "platform/errors.h"
#include "platform/ini.h"
#include "platform/modules.h"
#include "platform/sync.h"
#include "support/test_support.h"

namespace {

using gavio_test::TempDir;

TEST(Threads, ASuspendedThreadStartsOnlyOnResumeAndHoldsAtSuspensionPoints) {
  struct Shared {
    std::atomic<int> steps{0};
    std::atomic<bool> stop{false};
  } shared;
  DWORD id = 0;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        while (!s->stop) {
          SuspensionPoint();
          ++s->steps;
          usleep(1000);
        }
        return 5;
      },
      &shared, CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  usleep(30000);
  EXPECT_EQ(shared.steps, 0);
  EXPECT_EQ(ResumeThread(thread), 1u);
  while (shared.steps < 3) usleep(1000);
  EXPECT_EQ(SuspendThread(thread), 0u);
  usleep(20000);
  int held = shared.steps;
  usleep(30000);
  EXPECT_LE(shared.steps - held, 1);  // at most the step already past its point
  ResumeThread(thread);
  shared.stop = true;
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, TerminateAbandonsABlockedThreadWhichThenSeesItWasAbandoned) {
  static std::atomic<bool> release{false};
  static std::atomic<int> saw_abandoned{-1};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        while (!release) usleep(1000);
        saw_abandoned = IsThreadAbandoned();
        return 0;
      },
      nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  EXPECT_TRUE(TerminateThread(thread, 1));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 1u);
  CloseHandle(thread);  // the thread still runs; it must not need the handle
  release = true;
  while (saw_abandoned == -1) usleep(1000);
  EXPECT_EQ(saw_abandoned, 1);
}

TEST(Events, AutoResetReleasesOneWaitManualResetStaysSetAndBadHandlesFail) {
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
  CloseHandle(automatic);
  CloseHandle(manual);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int not_a_handle = 0;
  EXPECT_FALSE(SetEvent(&not_a_handle));
}

TEST(Ini, ReadsTrimsAndUnquotesWritesInPlaceAndRemoves) {
  TempDir dir;
  std::string ini = dir.File("test.ini");
  gavio_test::WriteFile(ini,
                        "; comment\n[Main]\n  Name =  \"two words\"  \nCount=0x10\n\n[Other]\nName=x\n");
  char buffer[64];
  EXPECT_EQ(GetPrivateProfileStringA("main", "NAME", "d", buffer, sizeof buffer, ini.c_str()), 9u);
  EXPECT_STREQ(buffer, "two words");
  EXPECT_EQ(GetPrivateProfileIntA("Main", "Count", 3, ini.c_str()), 16u);
  EXPECT_EQ(GetPrivateProfileIntA("Main", "Missing", 3, ini.c_str()), 3u);
  EXPECT_EQ(GetPrivateProfileStringA("Main", "Name", "", buffer, 4, ini.c_str()), 3u);
  EXPECT_STREQ(buffer, "two");

  ASSERT_TRUE(WritePrivateProfileStringA("Main", "Name", "one", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Main", "Added", "yes", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("New", "Key", "v", ini.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Other", nullptr, nullptr, ini.c_str()));
  GetPrivateProfileStringA("Main", "Name", "", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "one");
  GetPrivateProfileStringA("Main", "Added", "", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "yes");
  GetPrivateProfileStringA("New", "Key", "", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "v");
  GetPrivateProfileStringA("Other", "Name", "gone", buffer, sizeof buffer, ini.c_str());
  EXPECT_STREQ(buffer, "gone");
  EXPECT_NE(gavio_test::ReadFile(ini).find("; comment"), std::string::npos);

  GetPrivateProfileStringA("Main", "Name", "fallback", buffer, sizeof buffer,
                           dir.File("missing.ini").c_str());
  EXPECT_STREQ(buffer, "fallback");
}

TEST(Modules, DllNamesMapToSharedObjectsAndMissingOnesFailCleanly) {
  std::string factory = gavio_test::BuildDir() + "\\GavFact.dll";
  HMODULE module = LoadLibraryA(factory.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, "CreateComponent"), nullptr);
  EXPECT_EQ(GetModuleHandleA("GavFact.dll"), module);
  char path[4096];
  ASSERT_GT(GetModuleFileNameA(module, path, sizeof path), 0u);
  EXPECT_NE(std::string(path).find("libgavfact.so"), std::string::npos);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

  EXPECT_EQ(LoadLibraryA("/nonexistent/Missing.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(GetModuleHandleA("NeverLoaded.dll"), nullptr);
}

}  // namespace
