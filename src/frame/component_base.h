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
// Thread safety: the hold count and the initialised flag share one atomic
// word, so guards may open and close on several threads while Destroy runs
// on another: whichever of them takes the word to "finalised and not held"
// deletes, and only one can. Destroy itself belongs to one thread at a
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

  bool IsInitialised() const { return (life_.load() & kInitialised) != 0; }
  int32_t HoldCount() const { return life_.load() / kOneHold; }

 protected:
  // Deleting an instance still initialised or held is a programming error.
  virtual ~ComponentLife();

  // Destroy as every component performs it.
  void DestroyInstance(int32_t bForce);
  void SetKeepAlive(bool keep) { keepAlive_ = keep ? 1 : 0; }
  // For an instance the library makes for its own use, not through
  // CreateComponent (the file system's buffers): it is not in the
  // live-instance map, so its end neither waits for the safe switch nor
  // reports a removal.
  void MarkUnrecorded() { recorded_ = false; }

  uint32_t autoFree_ = 0;

 private:
  friend class HoldGuard;
  virtual IComponent* Self() = 0;
  virtual void RunFinalize() = 0;
  // Deletes once nothing holds the instance and it was finalised.
  void DeleteIfReleased();

  // Bit 0 is the initialised flag, the bits above it count open holds. The
  // word reaching 0 means finalised and released: the operation that took it
  // there deletes the instance.
  static constexpr int32_t kInitialised = 1;
  static constexpr int32_t kOneHold = 2;

  void OpenHold() { life_.fetch_add(kOneHold); }
  // True when this close released the last hold of a finalised instance.
  bool CloseHold() { return life_.fetch_sub(kOneHold) == kOneHold; }

  std::atomic<int32_t> life_{kInitialised};
  int32_t keepAlive_ = 0;
  bool finalising_ = false;
  bool recorded_ = true;
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
  explicit HoldGuard(ComponentLife* life) : life_(life) { life_->OpenHold(); }
  ~HoldGuard() {
    if (life_->CloseHold()) life_->DeleteIfReleased();
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
