// Kernel-style objects behind HANDLE values (events, threads, processes).
//
// A HANDLE points at a KernelObject. The magic word lets the API refuse a
// stale or foreign pointer with ERROR_INVALID_HANDLE instead of crashing on
// the common mistakes (closing twice, passing a window handle).
#pragma once

#include <stdint.h>

#include "platform/types.h"

namespace gavio::platform {

class KernelObject {
 public:
  static constexpr uint32_t kMagic = 0x4B4F424Au;  // "KOBJ"
  KernelObject() = default;
  virtual ~KernelObject() { magic_ = 0; }
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  // Blocks until signalled or the time passes: WAIT_OBJECT_0 / WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD milliseconds) = 0;

  bool valid() const { return magic_ == kMagic; }

 private:
  uint32_t magic_ = kMagic;
};

// The object behind a handle, or null (last error ERROR_INVALID_HANDLE).
KernelObject* ObjectFromHandle(HANDLE handle);

void SetInvalidHandleError();

template <class T>
T* HandleAs(HANDLE handle) {
  T* object = dynamic_cast<T*>(ObjectFromHandle(handle));
  if (object == nullptr) SetInvalidHandleError();
  return object;
}

// Milliseconds of a monotonic clock (64-bit, never wraps).
uint64_t MonotonicMs();

}  // namespace gavio::platform
