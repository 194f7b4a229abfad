// The tiny component base of the factory library. This library cannot use
// the component library's base (it links none of its objects), and its
// components need less of it: no safe-to-destroy switch and no keep-alive.
//
// HostComponent<kId, IMain, IExtra...> implements the five IComponent slots.
// HostComponentLife comes after the interfaces and carries the deleting
// destructor, so no interface has one and slot N stays vtable index N.
//
// Thread safety: none; an instance is used on the thread that created it.
#pragma once

#include <stdint.h>

#include "gavio/component.h"

namespace gavio::hostlib {

class HostComponentLife {
 public:
  HostComponentLife() = default;
  HostComponentLife(const HostComponentLife&) = delete;
  HostComponentLife& operator=(const HostComponentLife&) = delete;

  bool IsFinalised() const { return finalised_; }

 protected:
  virtual ~HostComponentLife() = default;

  // Releases what the instance acquired; runs at most once, from Destroy.
  virtual void ComponentFinalize() {}

  // Finalises the instance and deletes it, or, while one of its own
  // operations is still running (a listener destroyed it from inside an
  // event), leaves the deletion to the HostHold that closes last.
  void DestroyInstance() {
    if (!finalised_) {
      finalised_ = true;
      ComponentFinalize();
    }
    if (hold_ == 0) delete this;
  }

  uint32_t autoFree_ = 0;

 private:
  friend class HostHold;
  int32_t hold_ = 0;
  bool finalised_ = false;
};

// Opened by an operation that calls out to listeners, so a Destroy from
// inside the call cannot free the instance under the operation's feet.
class HostHold {
 public:
  explicit HostHold(HostComponentLife* life) : life_(life) { ++life_->hold_; }
  ~HostHold() {
    if (--life_->hold_ == 0 && life_->finalised_) delete life_;
  }
  HostHold(const HostHold&) = delete;
  HostHold& operator=(const HostHold&) = delete;

 private:
  HostComponentLife* life_;
};

template <uint32_t kId, class IMain, class... IExtra>
class HostComponent : public IMain, public IExtra..., public HostComponentLife {
 public:
  static constexpr uint32_t kComponentId = kId;

  uint32_t GetComponentID() override { return kId; }
  uint32_t GetVersion() override { return 1; }
  void Destroy(int32_t bForce) override { DestroyInstance(); }
  uint32_t GetAutoFree() override { return autoFree_; }
  void SetAutoFree(uint32_t value) override { autoFree_ = value; }
};

}  // namespace gavio::hostlib
