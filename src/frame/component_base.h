// The common base of every component: the five IComponent operations, the
// life rules (safe switch, keep-alive, finalise once, delete when no own
// operation is running) and the hold guard.
//
// A component class derives from Component<kId, IMain, IExtra...>. IMain
// declares the component's operations from slot 5 on and ends with
// ComponentFinalize(); IExtra is the event-source interface of a component
// that takes listeners. ComponentLife comes last and carries the deleting
// destructor, so no interface has one.
//
// Thread safety: the hold count and initialised flag are atomic, so guards
// may open on several threads; Destroy itself belongs to one thread at a
// time. A component is used on the thread that created it unless its
// interface says otherwise.
#pragma once

#include <stdint.h>

#include <atomic>

#include "gavio/component.h"
#include "platform/errors.h"

namespace gavio {

class ComponentLife {
 public:
  ComponentLife() = default;
  ComponentLife(const ComponentLife&) = delete;
  ComponentLife& operator=(const ComponentLife&) = delete;

  bool IsInitialised() const { return initialised_ != 0; }
  int32_t HoldCount() const { return hold_.load(); }

 protected:
  // Deleting an instance still initialised or held is a programming error.
  virtual ~ComponentLife();

  // Destroy as every component performs it.
  void DestroyInstance(int32_t bForce);
  void SetKeepAlive(bool keep) { keepAlive_ = keep ? 1 : 0; }

  uint32_t autoFree_ = 0;

 private:
  friend class HoldGuard;
  virtual IComponent* Self() = 0;
  virtual void RunFinalize() = 0;
  // Deletes once nothing holds the instance and it was finalised.
  void DeleteIfReleased();

  // Atomic: components whose control calls may come from several threads
  // (the worker thread) open guards concurrently.
  std::atomic<int32_t> initialised_{1};
  std::atomic<int32_t> hold_{0};
  int32_t keepAlive_ = 0;
  bool finalising_ = false;
};

template <uint32_t kId, class IMain, class... IExtra>
class Component : public IMain, public IExtra..., public ComponentLife {
 public:
  static constexpr uint32_t kComponentId = kId;

  uint32_t GetComponentID() override { return kId; }
  uint32_t GetVersion() override { return 1; }
  void Destroy(int32_t bForce) override { DestroyInstance(bForce); }
  uint32_t GetAutoFree() override { return autoFree_; }
  void SetAutoFree(uint32_t value) override { autoFree_ = value; }

 private:
  IComponent* Self() override { return this; }
  void RunFinalize() override { this->ComponentFinalize(); }
};

// Opened by each operation that may call out. While any guard is open a
// Destroy finalises but does not delete; the last guard to close deletes.
class HoldGuard {
 public:
  explicit HoldGuard(ComponentLife* life) : life_(life) { ++life_->hold_; }
  ~HoldGuard() {
    if (--life_->hold_ == 0 && !life_->initialised_) life_->DeleteIfReleased();
  }
  HoldGuard(const HoldGuard&) = delete;
  HoldGuard& operator=(const HoldGuard&) = delete;

 private:
  ComponentLife* life_;
};

// Reports a call on a finalised instance (a programming error).
void ReportCallAfterFinalise(uint32_t componentId);

}  // namespace gavio

// Opens a hold guard for the rest of the enclosing operation, or returns
// the given value when the instance was already finalised.
#define GAVIO_HOLD_OR_RETURN(...)                         \
  if (!this->IsInitialised()) {                            \
    ::gavio::ReportCallAfterFinalise(this->GetComponentID()); \
    return __VA_ARGS__;                                    \
  }                                                        \
  ::gavio::HoldGuard gavio_hold_guard_(this)
