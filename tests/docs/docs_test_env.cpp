#include "docs_test_env.h"

#include <stdlib.h>

#include <minizip/zip.h>

#include <algorithm>
#include <filesystem>

#include "frame/instances.h"
#include "host/registration_table.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "support/test_support.h"

namespace docs_test {

gavio::IComponent* CreateComponent(uint32_t componentId) {
  static const bool loaded = [] {
    gavio::HostSetFactoryHandle(LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str()));
    return true;
  }();
  (void)loaded;
  return gavio::HostCreateComponent(componentId, 0);
}

bool PumpUntil(const std::function<bool()>& done, uint32_t limitMs) {
  UINT_PTR deadline = SetTimer(nullptr, 0, limitMs, nullptr);
  MSG msg;
  while (!done()) {
    if (GetMessageA(&msg, nullptr, 0, 0) <= 0) break;
    if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == deadline) break;
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, deadline);
  return done();
}

bool WriteZip(const std::string& path, const std::vector<Item>& items, int level) {
  zipFile archive = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (archive == nullptr) return false;
  bool ok = true;
  for (const Item& item : items) {
    ok = ok && zipOpenNewFileInZip64(archive, item.name.c_str(), nullptr, nullptr, 0, nullptr, 0,
                                     nullptr, level == 0 ? 0 : Z_DEFLATED, level, 0) == ZIP_OK;
    ok = ok && zipWriteInFileInZip(archive, item.contents.data(),
                                   static_cast<unsigned>(item.contents.size())) == ZIP_OK;
    ok = ok && zipCloseFileInZip(archive) == ZIP_OK;
  }
  return zipClose(archive, nullptr) == ZIP_OK && ok;
}

bool RunZipTool(const std::string& folder, const std::string& archive, const std::string& extra) {
  std::string command = "cd '" + folder + "' && zip -q -r " + extra + " '" + archive + "' .";
  return system(command.c_str()) == 0;
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    // By name: relative() would resolve a planted link to where it points.
    std::string relative = it->path().string().substr(root.size() + 1);
    out.push_back(it->is_directory() && !it->is_symlink() ? relative + "/" : relative);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string SampleText(size_t size, unsigned seed) {
  std::string text;
  text.reserve(size);
  unsigned state = seed * 2654435761u + 1;
  while (text.size() < size) {
    state = state * 1103515245u + 12345u;
    text += "line " + std::to_string(state % 1000) + " of the sample\n";
  }
  text.resize(size);
  return text;
}

}  // namespace docs_test
