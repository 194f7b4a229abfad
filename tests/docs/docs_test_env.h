// What the document tests share: the factory library handed over as a
// client would (components create their helpers through it), a message
// pump that blocks in GetMessageA under a deadline timer, and zip archives
// made by the real zip tool and by minizip's writer.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "gavio/component.h"

namespace docs_test {

// Creates a registered component, the factory library loaded first.
template <class T>
T* Create(uint32_t componentId);
gavio::IComponent* CreateComponent(uint32_t componentId);
template <class T>
T* Create(uint32_t componentId) {
  return static_cast<T*>(CreateComponent(componentId));
}

// Dispatches this thread's messages until done() or the limit passed (a
// generous bound: a test that reaches it has failed). Returns done().
bool PumpUntil(const std::function<bool()>& done, uint32_t limitMs = 20000);

struct Item {
  std::string name;      // a name ending in '/' is a folder entry
  std::string contents;
};
// Writes an archive with minizip: deflated, or stored when level is 0.
bool WriteZip(const std::string& path, const std::vector<Item>& items, int level = 6);
// Runs the zip tool in folder: "zip -q -r [extra] ARCHIVE ." .
bool RunZipTool(const std::string& folder, const std::string& archive, const std::string& extra);

// Every file and folder below root, relative, folders with a trailing '/'.
std::vector<std::string> ListTree(const std::string& root);
// Contents that deflate well but are not all alike.
std::string SampleText(size_t size, unsigned seed);

}  // namespace docs_test
