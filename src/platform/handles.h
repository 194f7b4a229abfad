// Kernel-style objects behind HANDLE values (events, threads, processes).
//
// A HANDLE points at a KernelObject. Every open handle is listed in a
// process-wide table, so the API refuses a stale or foreign pointer with
// ERROR_INVALID_HANDLE (closing twice, passing a window handle) without
// ever reading through it.
//
// Objects are counted: the handle holds one reference and every call that
// uses the object (a wait above all) holds another for its duration, so
// CloseHandle on one thread while another waits only takes the handle out
// of the table; the last reference to go deletes the object. Taking a
// reference happens under the table lock while the handle is listed, and
// dropping one decides deletion by one atomic decrement.
#pragma once

#include <stdint.h>

#include <atomic>

#include "platform/types.h"

// The per-thread words read on every message: the initial-exec model skips
// the dynamic TLS lookup. This library is a dependency of its users, loaded
// with the program or with libgavio.so, and these few bytes fit the static
// TLS reserve glibc keeps for libraries loaded later.
#define GAVIO_FAST_TLS __attribute__((tls_model("initial-exec")))

namespace gavio::platform {

class KernelObject {
 public:
  KernelObject();  // listed, with the handle's reference
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  // Blocks until signalled or the time passes: WAIT_OBJECT_0 / WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD milliseconds) = 0;

 protected:
  virtual ~KernelObject() = default;

 private:
  friend KernelObject* AcquireObject(HANDLE handle);
  friend void ReleaseObject(KernelObject* object);
  std::atomic<int> references_{1};
};

// The object behind an open handle with a reference taken, or null (last
// error ERROR_INVALID_HANDLE). Pair with ReleaseObject.
KernelObject* AcquireObject(HANDLE handle);
void ReleaseObject(KernelObject* object);
// Takes the handle out of the table and drops its reference; false (last
// error ERROR_INVALID_HANDLE) when it was not open.
bool CloseObject(HANDLE handle);

void SetInvalidHandleError();

// The object behind a handle, as a T, referenced while this lives; empty
// (last error ERROR_INVALID_HANDLE) when the handle names no open T.
template <class T>
class HandleRef {
 public:
  explicit HandleRef(HANDLE handle) : base_(AcquireObject(handle)) {
    if (base_ != nullptr) object_ = dynamic_cast<T*>(base_);
    if (object_ == nullptr && base_ != nullptr) {
      ReleaseObject(base_);
      base_ = nullptr;
      SetInvalidHandleError();
    }
  }
  ~HandleRef() {
    if (base_ != nullptr) ReleaseObject(base_);
  }
  HandleRef(const HandleRef&) = delete;
  HandleRef& operator=(const HandleRef&) = delete;

  explicit operator bool() const { return object_ != nullptr; }
  T* operator->() const { return object_; }

 private:
  KernelObject* base_;
  T* object_ = nullptr;
};

// Milliseconds of a monotonic clock (64-bit, never wraps).
uint64_t MonotonicMs();

}  // namespace gavio::platform
