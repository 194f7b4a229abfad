// FindTable: the running enumerations of one file system, by find handle.
// Folders and archives walk their trees differently, but hand out, look up
// and close find handles the same way, and answer the root and path
// questions from the same three fields; that part lives here.
//
// Record needs `int32_t rootHandle`, `std::string start` (the cleaned start
// folder) and `std::string match` (start plus the path of the last match).
//
// Thread safety: none of its own; the owning file system's lock guards it.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "gavio/vfs.h"

namespace gavio {

template <typename Record>
class FindTable {
 public:
  // Takes record under a new handle from handles; -1 (and record dropped)
  // when no handle is left.
  int32_t Add(IHandleAlloc* handles, std::unique_ptr<Record> record) {
    int32_t handle = handles->Alloc();
    if (handle != -1) records_[handle] = std::move(record);
    return handle;
  }

  // The record of findHandle, or null.
  Record* Get(int32_t findHandle) const {
    auto found = records_.find(findHandle);
    return found == records_.end() ? nullptr : found->second.get();
  }

  // Drops the record and frees its handle; false for an unknown handle.
  bool Close(IHandleAlloc* handles, int32_t findHandle) {
    if (records_.erase(findHandle) == 0) return false;
    handles->Free(findHandle);
    return true;
  }

  // Frees every handle and drops every record.
  void CloseAll(IHandleAlloc* handles) {
    for (const auto& [handle, record] : records_) handles->Free(handle);
    records_.clear();
  }

  // The root handle the find was started on; -1 for an unknown handle.
  int32_t RootOf(int32_t findHandle) const {
    const Record* record = Get(findHandle);
    return record == nullptr ? -1 : record->rootHandle;
  }

  // The last match; null for an unknown handle.
  const char* MatchOf(int32_t findHandle) const {
    const Record* record = Get(findHandle);
    return record == nullptr ? nullptr : record->match.c_str();
  }

  // The last match without the start folder; null for an unknown handle.
  const char* RelativeMatchOf(int32_t findHandle) const {
    const Record* record = Get(findHandle);
    if (record == nullptr) return nullptr;
    return record->match.c_str() + std::min(record->start.size(), record->match.size());
  }

  // Calls visit(Record&) for every find, in handle order.
  template <typename Visit>
  void ForEach(Visit visit) {
    for (auto& [handle, record] : records_) visit(*record);
  }

 private:
  std::map<int32_t, std::unique_ptr<Record>> records_;
};

}  // namespace gavio
