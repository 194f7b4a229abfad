#include "connect/packet_framer.h"

#include <stdlib.h>
#include <string.h>

#include "runtime/memory_client.h"

namespace gavio {

char* PacketFramer::Allocate(int64_t size) {
  if (size < 1 || size > UINT32_MAX) return nullptr;
  if (memory_ != nullptr) {
    return static_cast<char*>(memory_->AllocateZeroed(static_cast<uint32_t>(size)));
  }
  return static_cast<char*>(calloc(1, static_cast<size_t>(size)));
}

bool PacketFramer::BackupWouldPassLimit(int32_t more) const {
  if (backupLimit_ == kNoBackupLimit) return false;
  int64_t held = more;
  for (const Chunk& chunk : backups_) held += chunk.length - chunk.start;
  return held > backupLimit_;
}

void PacketFramer::MakeRoom(int32_t length) {
  if (static_cast<int64_t>(start_) + fill_ + length <= capacity_) return;
  memmove(buffer_, buffer_ + start_, static_cast<size_t>(fill_));
  start_ = 0;
}

void PacketFramer::Free(char* block) {
  if (block == nullptr) return;
  if (memory_ != nullptr) {
    memory_->Release(block);
  } else {
    free(block);
  }
}

PacketFramer::ParamResult PacketFramer::SetParams(int32_t maximum, int16_t width, int32_t offset) {
  if (maximum < 1 || width < 0 || offset < 0) return ParamResult::kRefused;
  if (buffer_ != nullptr && maximum == maximum_) {
    width_ = width;
    offset_ = offset;
    return ParamResult::kStored;
  }
  // A packet being handed out has left the stream already: it is not
  // moved, and its Consume will find nothing left to do.
  int32_t skip = pinned_ != 0 && !pinnedGone_ ? pinned_ : 0;
  int32_t from = start_ + skip;
  int32_t held = fill_ - skip;
  int64_t capacity = 2 * static_cast<int64_t>(maximum);
  char* resized = Allocate(capacity);
  if (resized == nullptr) return ParamResult::kAllocationFailed;
  // Bytes that no longer fit go back in front of the waiting ones, in order.
  int32_t kept = held < maximum ? held : maximum;
  if (held > kept) {
    char* rest = Allocate(held - kept);
    if (rest == nullptr) {
      Free(resized);
      return ParamResult::kAllocationFailed;
    }
    memcpy(rest, buffer_ + from + kept, static_cast<size_t>(held - kept));
    backups_.push_front(Chunk{rest, 0, held - kept});
  }
  if (kept > 0) memcpy(resized, buffer_ + from, static_cast<size_t>(kept));
  // The old block lives on while it holds the packet being handed out.
  if (pinned_ != 0 && retired_ == nullptr) {
    retired_ = buffer_;
  } else {
    Free(buffer_);
  }
  if (skip != 0) pinnedGone_ = true;
  buffer_ = resized;
  capacity_ = capacity;
  start_ = 0;
  maximum_ = maximum;
  fill_ = kept;
  width_ = width;
  offset_ = offset;
  Refill();
  return ParamResult::kBufferAllocated;
}

bool PacketFramer::Append(const char* bytes, int32_t length) {
  if (bytes == nullptr || length < 1 || buffer_ == nullptr || stopped_) return true;
  int32_t room = maximum_ - fill_;
  // While a packet is handed out nothing moves: new bytes go behind the
  // held ones or wait in the back-up list.
  int64_t tail = capacity_ - start_ - fill_;
  if (pinned_ != 0 && tail < room) room = static_cast<int32_t>(tail);
  int32_t direct = length < room ? length : room;
  if (direct < length) {
    if (BackupWouldPassLimit(length - direct)) return false;
    char* chunk = Allocate(length - direct);
    if (chunk == nullptr) return false;
    memcpy(chunk, bytes + direct, static_cast<size_t>(length - direct));
    backups_.push_back(Chunk{chunk, 0, length - direct});
  }
  if (direct > 0) {
    if (pinned_ == 0) MakeRoom(direct);
    memcpy(buffer_ + start_ + fill_, bytes, static_cast<size_t>(direct));
    fill_ += direct;
  }
  return true;
}

void PacketFramer::Unpin() {
  pinned_ = 0;
  pinnedGone_ = false;
  Free(retired_);
  retired_ = nullptr;
}

int64_t PacketFramer::ReadLengthField() const {
  const auto* field = reinterpret_cast<const unsigned char*>(buffer_) + start_ + offset_;
  if (width_ == 2) return (static_cast<int64_t>(field[0]) << 8) | field[1];
  if (width_ == 4) {
    uint32_t value = (static_cast<uint32_t>(field[0]) << 24) |
                     (static_cast<uint32_t>(field[1]) << 16) |
                     (static_cast<uint32_t>(field[2]) << 8) | field[3];
    return static_cast<int32_t>(value);
  }
  return 0;
}

PacketFramer::Next PacketFramer::Peek(int32_t* length) {
  *length = 0;
  // The packet handed out before is done with; bytes that waited while it
  // was out move in.
  if (pinned_ != 0) Unpin();
  Refill();
  if (buffer_ == nullptr) return Next::kNeedMore;
  if (stopped_) return Next::kInvalid;
  // One byte past the length field must be buffered before it is read.
  if (static_cast<int64_t>(offset_) + width_ >= fill_) {
    // A full buffer that still hides the header can never make progress.
    if (fill_ < maximum_) return Next::kNeedMore;
    Stop();
    return Next::kInvalid;
  }
  int64_t packet = ReadLengthField();
  if (packet > 0) packet += lengthAdjust_;
  // A length of 0 would hold the stream still forever: it is refused with
  // the lengths that cannot be a packet.
  if (packet < 1 || packet > maximum_) {
    Stop();
    return Next::kInvalid;
  }
  if (packet > fill_) return Next::kNeedMore;
  *length = static_cast<int32_t>(packet);
  pinned_ = *length;
  return Next::kPacket;
}

bool PacketFramer::Consume(int32_t length) {
  if (pinnedGone_) {
    Unpin();
    Refill();
    return true;
  }
  if (buffer_ == nullptr || length < 1 || length > fill_) return false;
  Unpin();
  start_ += length;
  fill_ -= length;
  if (fill_ == 0) start_ = 0;
  Refill();
  return true;
}

void PacketFramer::Refill() {
  while (!backups_.empty() && fill_ < maximum_) {
    Chunk& chunk = backups_.front();
    int32_t waiting = chunk.length - chunk.start;
    int32_t room = maximum_ - fill_;
    int32_t taken = waiting < room ? waiting : room;
    MakeRoom(taken);
    memcpy(buffer_ + start_ + fill_, chunk.bytes + chunk.start, static_cast<size_t>(taken));
    fill_ += taken;
    if (taken < waiting) {
      chunk.start += taken;
      return;
    }
    Free(chunk.bytes);
    backups_.pop_front();
  }
}

void PacketFramer::Stop() {
  stopped_ = true;
  FreeBackups();
}

void PacketFramer::FreeBackups() {
  for (Chunk& chunk : backups_) Free(chunk.bytes);
  backups_.clear();
}

void PacketFramer::Reset() {
  FreeBackups();
  if (pinned_ != 0 && !pinnedGone_) {
    // New bytes go behind the packet being handed out, never over it.
    start_ += pinned_;
    pinnedGone_ = true;
  } else if (pinned_ == 0 || retired_ != nullptr) {
    start_ = 0;
  }
  fill_ = 0;
  stopped_ = false;
  ++generation_;
}

void PacketFramer::Release() {
  Reset();
  Unpin();
  Free(buffer_);
  buffer_ = nullptr;
  start_ = 0;
  capacity_ = 0;
  maximum_ = 0;
}

}  // namespace gavio
