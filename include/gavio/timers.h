// CInterval (component 50, repeating) and CTimeout (component 51, one-shot).
//
// Each instance runs at most one timer; setting again replaces it with a
// new id (ids come from one counter per class and are never reused in a
// process). Timers fire on the thread that set them, which must pump
// messages. A sink may set, clear or destroy its timer from inside its own
// callback.
#pragma once

#include <stdint.h>

#include "gavio/component.h"
#include "gavio/sink.h"

namespace gavio {

class IIntervalEvent : public ISink {
 public:
  // 1: one firing, with the parameter given to SetInterval.
  virtual void OnInterval(uint32_t param) = 0;
};

class ITimeoutEvent : public ISink {
 public:
  // 1: the timeout expired; the timer is already cleared.
  virtual void OnTimeout(uint32_t param) = 0;
};

class IInterval : public IComponent {
 public:
  // 5: clears any running timer, then (sink non-null) fires sink every
  // milliseconds until cleared. reserved is stored and not used. Returns 0.
  virtual uint32_t SetInterval(uint32_t milliseconds, IIntervalEvent* sink, uint32_t param,
                               uint32_t reserved, IComponent* creator) = 0;
  // 6: stops the timer; nothing when idle.
  virtual void ClearInterval() = 0;
  // 7: ClearInterval; called by Destroy.
  virtual void ComponentFinalize() = 0;
};

class ITimeout : public IComponent {
 public:
  // 5: clears any running timer, then (sink non-null) fires sink once after
  // milliseconds. Returns 0.
  virtual uint32_t SetTimeout(uint32_t milliseconds, ITimeoutEvent* sink, uint32_t param,
                              IComponent* creator) = 0;
  // 6: stops the timer; nothing when idle.
  virtual void ClearTimeout() = 0;
  // 7: ClearTimeout; called by Destroy.
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio
