// The connector's framing (libFuzzer): an arbitrary byte stream in arbitrary
// chunks, with the length-field layout, the maximum and now and then a new
// maximum taken from the input. Every packet must be the one a plain model
// cuts from the same stream, in order; the sanitizers catch any read or
// write outside the framer's blocks.
//
// Input: width selector, offset, maximum (2 bytes), length adjust; then
// records of one control byte: below 0xF0 it is a chunk of the next
// (control % 97) * (control < 0x80 ? 1 : 61) + 1 bytes; 0xF0 to 0xF7 sets a
// new maximum from the next 2 bytes; 0xF8 and up makes the next record
// happen while a packet is handed out, which must stay unchanged until it
// is consumed.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "connect/packet_framer.h"

namespace {

// The framing rules over the whole stream, without buffers: the framer
// sees at most `maximum` bytes of what is left of the stream at once.
struct Model {
  std::string pending;  // bytes not yet cut into packets
  int16_t width = 2;
  int32_t offset = 0;
  int32_t maximum = 1;
  int32_t adjust = 0;
  bool stopped = false;

  // The next packet's length, 0 when more bytes are needed, -1 when the
  // stream stops here.
  int64_t Next() {
    if (stopped) return -1;
    int64_t visible = static_cast<int64_t>(pending.size()) < maximum
                          ? static_cast<int64_t>(pending.size())
                          : maximum;
    if (static_cast<int64_t>(offset) + width >= visible) {
      if (visible < maximum) return 0;
      stopped = true;
      return -1;
    }
    const auto* field = reinterpret_cast<const unsigned char*>(pending.data()) + offset;
    int64_t length = 0;
    if (width == 2) length = (field[0] << 8) | field[1];
    if (width == 4) {
      length = static_cast<int32_t>((static_cast<uint32_t>(field[0]) << 24) |
                                    (static_cast<uint32_t>(field[1]) << 16) |
                                    (static_cast<uint32_t>(field[2]) << 8) | field[3]);
    }
    if (length > 0) length += adjust;
    if (length < 1 || length > maximum) {
      stopped = true;
      return -1;
    }
    return length <= visible ? length : 0;
  }
};

void Check(bool condition) {
  if (!condition) abort();
}

// Cuts every packet the framer has and compares it with the model's.
void Drain(gavio::PacketFramer& framer, Model& model) {
  for (;;) {
    Check(framer.BackupChunks() == 0 || framer.Fill() == framer.Maximum());
    int32_t length = 0;
    gavio::PacketFramer::Next next = framer.Peek(&length);
    int64_t expected = model.Next();
    if (next == gavio::PacketFramer::Next::kInvalid) {
      Check(expected == -1);
      return;
    }
    if (next == gavio::PacketFramer::Next::kNeedMore) {
      Check(expected == 0);
      return;
    }
    Check(expected == length);
    Check(memcmp(framer.Data(), model.pending.data(), static_cast<size_t>(length)) == 0);
    model.pending.erase(0, static_cast<size_t>(length));
    Check(framer.Consume(length));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  Model model;
  static const int16_t kWidths[] = {2, 4, 2, 4, 0, 1, 3, 5};
  model.width = kWidths[data[0] % 8];
  model.offset = data[1] % 8;
  model.maximum = 1 + ((data[2] << 8 | data[3]) % 1500);
  model.adjust = data[4] % 8;
  gavio::PacketFramer framer;
  Check(framer.SetParams(model.maximum, model.width, model.offset) ==
        gavio::PacketFramer::ParamResult::kBufferAllocated);
  framer.SetLengthAdjust(model.adjust);
  size_t at = 5;
  bool hold = false;
  while (at < size) {
    uint8_t control = data[at++];
    if (control >= 0xF8) {
      hold = true;
      continue;
    }
    const char* held = nullptr;
    std::string heldCopy;
    int32_t heldLength = 0;
    if (hold) {
      hold = false;
      gavio::PacketFramer::Next next = framer.Peek(&heldLength);
      int64_t expected = model.Next();
      if (next == gavio::PacketFramer::Next::kPacket) {
        Check(expected == heldLength);
        held = framer.Data();
        heldCopy.assign(held, static_cast<size_t>(heldLength));
        Check(model.pending.compare(0, heldCopy.size(), heldCopy) == 0);
        model.pending.erase(0, heldCopy.size());
      } else {
        Check(expected == (next == gavio::PacketFramer::Next::kNeedMore ? 0 : -1));
      }
    }
    if (control >= 0xF0) {
      if (size - at < 2) break;
      int32_t maximum = 1 + ((data[at] << 8 | data[at + 1]) % 1500);
      at += 2;
      if (framer.SetParams(maximum, model.width, model.offset) ==
          gavio::PacketFramer::ParamResult::kAllocationFailed) {
        abort();
      }
      model.maximum = maximum;
    } else {
      size_t length = (control % 97) * (control < 0x80 ? 1 : 61) + 1;
      if (length > size - at) length = size - at;
      Check(framer.Append(reinterpret_cast<const char*>(data + at), static_cast<int32_t>(length)));
      if (!model.stopped) model.pending.append(reinterpret_cast<const char*>(data + at), length);
      at += length;
    }
    if (held != nullptr) {
      Check(memcmp(held, heldCopy.data(), heldCopy.size()) == 0);
      Check(framer.Consume(heldLength));
    }
    Drain(framer, model);
  }
  return 0;
}
