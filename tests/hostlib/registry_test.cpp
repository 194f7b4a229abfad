// Registry component 991: a key/value store in the application-data folder.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "factory_library.h"
#include "support/test_support.h"

namespace gavio::hostlib_test {
namespace {

constexpr uint32_t kRoot = 0x3FFFFFF4;
constexpr uint32_t kTypeText = 1;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The store folder is looked up when an instance is made.
    setenv("XDG_DATA_HOME", temp_.path().c_str(), 1);
    registry_ = NewRegistry();
    ASSERT_NE(registry_, nullptr);
  }
  void TearDown() override {
    if (registry_ != nullptr) registry_->Destroy(0);
  }

  static IRegistry* NewRegistry() {
    IComponentFactory* factory = FactoryObject();
    if (factory == nullptr) return nullptr;
    return static_cast<IRegistry*>(factory->CreateComponentById(991, nullptr));
  }

  // Opens keyName and reads valueName the way the component library asks
  // for the root path; "<missing>" when either step fails.
  static std::string Query(IRegistry* registry, const char* keyName, const char* valueName) {
    uint32_t key = 0;
    if (!registry->OpenKey(kRoot, keyName, 1, kRoot, &key)) return "<missing>";
    uint32_t type = kTypeText;
    char buffer[260];
    uint32_t size = sizeof buffer;
    int32_t ok = registry->QueryValue(key, valueName, &type, buffer, &size);
    registry->CloseKey(key);
    if (!ok) return "<missing>";
    EXPECT_EQ(type, kTypeText);
    EXPECT_EQ(size, strlen(buffer) + 1);
    return buffer;
  }

  std::string StoreText() { return ReadTextFile(temp_ / "gavio/registry.ini"); }

  TempFolder temp_;
  IRegistry* registry_ = nullptr;
};

TEST_F(RegistryTest, RootPathRoundTripPersistsAcrossInstances) {
  ASSERT_EQ(registry_->SetValue("gavio_rootpath", "gavio_rootpath_data", "/opt/game"), 1);
  EXPECT_EQ(Query(registry_, "gavio_rootpath", "gavio_rootpath_data"), "/opt/game");
  EXPECT_NE(StoreText().find("[gavio_rootpath]"), std::string::npos);

  IRegistry* second = NewRegistry();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Query(second, "GAVIO_ROOTPATH", "Gavio_RootPath_Data"), "/opt/game");
  ASSERT_EQ(second->SetValue("gavio_rootpath", "gavio_rootpath_data", "/srv/other"), 1);
  second->Destroy(0);
  EXPECT_EQ(Query(registry_, "gavio_rootpath", "gavio_rootpath_data"), "/srv/other");
}

TEST_F(RegistryTest, TextComesBackExactly) {
  const char* texts[] = {"",          "  blanks at both ends\t", "\"quoted\"", "'single'",
                         "a=b;c # d", "[not a section]",         "\"",         "C:\\Game\\"};
  for (const char* text : texts) {
    ASSERT_EQ(registry_->SetValue("key", "value", text), 1) << text;
    EXPECT_EQ(Query(registry_, "key", "value"), text);
  }
  // Values of one key stay apart, and other keys are untouched.
  ASSERT_EQ(registry_->SetValue("key", "second", "2"), 1);
  ASSERT_EQ(registry_->SetValue("other", "value", "3"), 1);
  EXPECT_EQ(Query(registry_, "key", "value"), "C:\\Game\\");
  EXPECT_EQ(Query(registry_, "key", "second"), "2");
  EXPECT_EQ(Query(registry_, "other", "value"), "3");
  EXPECT_EQ(registry_->DeleteValue("key", "second"), 1);
  EXPECT_EQ(registry_->DeleteValue("key", "second"), 0);
  EXPECT_EQ(Query(registry_, "key", "second"), "<missing>");
  EXPECT_EQ(Query(registry_, "key", "value"), "C:\\Game\\");
}

TEST_F(RegistryTest, MissingKeysValuesAndKeyWordsFailCleanly) {
  uint32_t key = 0xABCD;
  EXPECT_EQ(registry_->OpenKey(kRoot, "absent", 1, kRoot, &key), 0);  // no store file yet
  ASSERT_EQ(registry_->SetValue("present", "value", "x"), 1);
  EXPECT_EQ(registry_->OpenKey(kRoot, "absent", 1, kRoot, &key), 0);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0xABCDu);

  ASSERT_EQ(registry_->OpenKey(kRoot, "present", 1, kRoot, &key), 1);
  char buffer[16];
  memset(buffer, '#', sizeof buffer);
  uint32_t size = sizeof buffer;
  EXPECT_EQ(registry_->QueryValue(key, "nothing", nullptr, buffer, &size), 0);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(buffer[0], '#');

  EXPECT_EQ(registry_->CloseKey(key), 1);
  EXPECT_EQ(registry_->QueryValue(key, "value", nullptr, buffer, &size), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(buffer[0], '#');
}

TEST_F(RegistryTest, TooSmallBufferIsUntouchedAndToldTheSizeNeeded) {
  ASSERT_EQ(registry_->SetValue("key", "value", "abcdef"), 1);
  uint32_t key = 0;
  ASSERT_EQ(registry_->OpenKey(kRoot, "key", 1, kRoot, &key), 1);

  char buffer[16];
  memset(buffer, '#', sizeof buffer);
  uint32_t size = 6;  // one short of the terminator
  EXPECT_EQ(registry_->QueryValue(key, "value", nullptr, buffer, &size), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));

  size = 7;  // exactly enough
  ASSERT_EQ(registry_->QueryValue(key, "value", nullptr, buffer, &size), 1);
  EXPECT_STREQ(buffer, "abcdef");
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(buffer[7], '#');
}

TEST_F(RegistryTest, RefusesWhatTheStoreCouldNotGiveBack) {
  ASSERT_EQ(registry_->SetValue("key", "value", "kept"), 1);
  std::string before = StoreText();
  struct Case {
    const char* key;
    const char* value;
    const char* text;
  } cases[] = {
      {"a]b", "value", "x"},    {"key", "x=y", "x"},    {"key", ";comment", "x"},
      {"key", "#comment", "x"}, {"key", "[value", "x"}, {"key", "value", "two\nlines"},
      {" key", "value", "x"},   {"key", "value ", "x"}, {"", "value", "x"},
      {nullptr, "value", "x"},  {"key", nullptr, "x"},  {"key", "value", nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(registry_->SetValue(c.key, c.value, c.text), 0) << (c.key ? c.key : "(null)");
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(registry_->SetValue("key", "value", std::string(20000, 'x').c_str()), 0);
  EXPECT_EQ(StoreText(), before);
  EXPECT_EQ(Query(registry_, "key", "value"), "kept");
}

// Two processes setting values at once: every value either of them was
// told was stored is there afterwards.
TEST_F(RegistryTest, TwoProcessesKeepEveryAcknowledgedValue) {
  constexpr int kValues = 30;
  std::vector<std::pair<std::string, std::string>> environment = {{"XDG_DATA_HOME", temp_.path()}};
  auto results = gavio_test::RunPrograms(
      {{{"data_peer", "registry", "first", std::to_string(kValues)}, environment},
       {{"data_peer", "registry", "second", std::to_string(kValues)}, environment}});
  IRegistry* reader = NewRegistry();
  ASSERT_NE(reader, nullptr);
  for (int i = 0; i < 2; ++i) {
    const char* key = i == 0 ? "first" : "second";
    ASSERT_EQ(results[i].exitCode, 0);
    std::istringstream acknowledged(results[i].output);
    int count = 0;
    std::string word;
    for (int value; acknowledged >> word >> value; ++count) {
      EXPECT_EQ(Query(reader, key, ("v" + std::to_string(value)).c_str()), std::to_string(value)) << key;
    }
    EXPECT_EQ(count, kValues) << "with the store locked, no write is refused";
  }
  reader->Destroy(0);
}

// A store that exists but cannot be read is a failure, never an empty
// store that the next write would replace.
TEST_F(RegistryTest, AStoreThatCannotBeReadIsNeitherEmptyNorReplaced) {
  ASSERT_EQ(registry_->SetValue("key", "kept", "value"), 1);
  std::string store = temp_ / "gavio/registry.ini";
  std::string aside = store + ".aside";
  ASSERT_EQ(rename(store.c_str(), aside.c_str()), 0);
  ASSERT_EQ(mkdir(store.c_str(), 0700), 0);  // unreadable as a file, even to root
  EXPECT_EQ(registry_->SetValue("key", "new", "value"), 0);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(Query(registry_, "key", "kept"), "<missing>");
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(rmdir(store.c_str()), 0);
  ASSERT_EQ(rename(aside.c_str(), store.c_str()), 0);
  EXPECT_EQ(Query(registry_, "key", "kept"), "value");
  EXPECT_EQ(Query(registry_, "key", "new"), "<missing>");
}

}  // namespace
}  // namespace gavio::hostlib_test
