// IPC channel (1068): byte messages between processes of one user through
// hidden windows. Each side owns a receiver window titled with its own key;
// a send hands a WM_COPYDATA record to every "static" window titled with
// the peer key, in this process or another, except the sender's own.
//
// Thread safety: a channel belongs to the thread that called Init; that
// thread must pump messages to receive. The channel takes no lock.
#pragma once

#include <stdint.h>

#include "gavio/component.h"
#include "gavio/sink.h"

namespace gavio {

inline constexpr uint32_t kIpcKeySize = 260;
// Posted to the own receiver window for a deferred delivery: wParam is the
// buffer, lParam its size.
inline constexpr uint32_t kIpcDeferredDeliveryMessage = 17477;

struct IpcKeys {
  char ownKey[kIpcKeySize];   // title of this side's receiver window
  char peerKey[kIpcKeySize];  // title of the windows to send to
};
static_assert(sizeof(IpcKeys) == 520, "two 260-character keys");

// Registered through the channel's event source (IEventSource, its second
// base: AddListener(listener, value) / RemoveListener(listener)).
class IIpcListener : public ISink {
 public:
  // 1: on the channel's thread. data is valid only during the call.
  virtual void OnReceive(const void* data, uint32_t size) = 0;
};

class IIpcChannel : public IComponent {
 public:
  // 5: copies each key that fits (259 characters and a terminator; a key
  // that does not fit is left as it was) and opens the channel when the own
  // key is not empty, creating the receiver window on the calling thread
  // (once: a later Init keeps it). Returns 1 when the channel is open.
  virtual int32_t Init(const IpcKeys* keys) = 0;
  // 6: sends size bytes to every peer window, one after another, each
  // synchronously. dwData is the delivery mode handed to the receiver: 0
  // delivers later, from the receiver's message loop (after this call has
  // returned); any other value delivers to the receiver's listeners while
  // this call waits. Does nothing for null data, size 0, an empty peer key
  // or a closed channel. Returns the number of windows sent to (for
  // information only).
  virtual int32_t Send(const void* data, uint32_t size, uint32_t dwData) = 0;
  // 7: runs the deferred deliveries still queued, then closes the channel
  // and destroys the receiver window.
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio
