// Kernel-style objects behind HANDLE values (events, threads, processes).
//
// A HANDLE points at a KernelObject. Every live object is listed in a
// process-wide set, so the API refuses a stale or foreign pointer with
// ERROR_INVALID_HANDLE (closing twice, passing a window handle) without
// ever reading through it.
#pragma once

#include <stdint.h>

#include "platform/types.h"

// The per-thread words read on every message: the initial-exec model skips
// the dynamic TLS lookup. This library is a dependency of its users, loaded
// with the program or with libgavio.so, and these few bytes fit the static
// TLS reserve glibc keeps for libraries loaded later.
#define GAVIO_FAST_TLS __attribute__((tls_model("initial-exec")))

namespace gavio::platform {

class KernelObject {
 public:
  KernelObject();
  virtual ~KernelObject();
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  // Blocks until signalled or the time passes: WAIT_OBJECT_0 / WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD milliseconds) = 0;
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
