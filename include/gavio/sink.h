// Base of every listener (sink) interface: slot 0 belongs to the listener
// itself and is never called by a component; events use slots 1 and up.
#pragma once

namespace gavio {

class ISink {
 public:
  virtual void SinkReserved() {}
};

}  // namespace gavio
