// Module loading and host paths of the platform library.
#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace {

TEST(Paths, OnlyALeadingSeparatorMakesAPathAbsolute) {
  struct Case {
    const char* path;
    BOOL absolute;
  } cases[] = {{"/etc/x.ini", TRUE},     {"\\game\\x.ini", TRUE},  {"logs/12:30.ini", FALSE},
               {"C:\\Game\\x.ini", FALSE}, {"a:b", FALSE},             {"", FALSE},
               {"./x", FALSE},             {"x/", FALSE}};
  for (const Case& c : cases) EXPECT_EQ(GavioIsAbsolutePath(c.path), c.absolute) << c.path;
  EXPECT_FALSE(GavioIsAbsolutePath(nullptr));
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
