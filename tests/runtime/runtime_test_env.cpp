#include "runtime_test_env.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "gavio/host.h"
#include "gavio/ids.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/modules.h"
#include "frame/gavio_ptr.h"
#include "frame/log_sink.h"
#include "support/test_support.h"

namespace runtime_test {
namespace {

struct Environment {
  gavio_test::TempDir dir;
  std::string data = dir.File("data");
  std::string root = dir.File("root");

  Environment() {
    mkdir(data.c_str(), 0700);
    mkdir(root.c_str(), 0700);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    std::string ini = dir.File("Gavio.ini");
    gavio_test::WriteFile(ini, "[Log]\nDebugMask=0x23\n");
    gavio::HostSetRegistryPath(ini.c_str());
    gavio::HostSetFactoryHandle(LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str()));
    gavio::TGavioPtr registry(nullptr, gavio::kRegistryId);
    if (registry) {
      registry.As<gavio::IRegistry>()->SetValue("gavio_rootpath", "gavio_rootpath_data",
                                                root.c_str());
    }
  }
};

Environment& Env() {
  static Environment environment;
  return environment;
}

}  // namespace

void UseRuntimeEnvironment() { Env(); }
const std::string& RootFolder() { return Env().root; }
const std::string& DataFolder() { return Env().data; }

gavio::IComponent* CreateComponent(uint32_t componentId) {
  UseRuntimeEnvironment();
  return gavio::HostCreateComponent(componentId, 0);
}

}  // namespace runtime_test
