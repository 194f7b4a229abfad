// The client's root folder comes from the registry component when the value
// is there. (It is cached for the process, so one behaviour per program.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include "gavio/host.h"
#include "gavio/ids.h"
#include "frame/instances.h"
#include "platform/modules.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "support/test_support.h"

namespace {

TEST(RootPath, ComesFromTheRegistryValueWhenSet) {
  gavio_test::TempDir data;
  setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  gavio::HostSetFactoryHandle(LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str()));
  {
    gavio::TGavioPtr registry(nullptr, gavio::kRegistryId);
    auto* store = registry.As<gavio::IRegistry>();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(store->SetValue("gavio_rootpath", "gavio_rootpath_data", "/games/client"), 1);
  }
  EXPECT_STREQ(gavio::RootPath(), "/games/client");
}

}  // namespace
