#include "connect/packet_framer.h"

#include <stdlib.h>
#include <string.h>

#include "runtime/memory_client.h"

namespace gavio {

char* PacketFramer::Allocate(int32_t size) {
  if (size < 1) return nullptr;
  if (memory_ != nullptr) {
    return static_cast<char*>(memory_->AllocateZeroed(static_cast<uint32_t>(size)));
  }
  return static_cast<char*>(calloc(1, static_cast<size_t>(size)));
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
  char* resized = Allocate(maximum);
  if (resized == nullptr) return ParamResult::kAllocationFailed;
  // Bytes that no longer fit go back in front of the waiting ones, in order.
  int32_t kept = fill_ < maximum ? fill_ : maximum;
  if (fill_ > kept) {
    char* rest = Allocate(fill_ - kept);
    if (rest == nullptr) {
      Free(resized);
      return ParamResult::kAllocationFailed;
    }
    memcpy(rest, buffer_ + kept, static_cast<size_t>(fill_ - kept));
    backups_.push_front(Chunk{rest, 0, fill_ - kept});
  }
  if (kept > 0) memcpy(resized, buffer_, static_cast<size_t>(kept));
  Free(buffer_);
  buffer_ = resized;
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
  int32_t direct = length < room ? length : room;
  if (direct < length) {
    char* chunk = Allocate(length - direct);
    if (chunk == nullptr) return false;
    memcpy(chunk, bytes + direct, static_cast<size_t>(length - direct));
    backups_.push_back(Chunk{chunk, 0, length - direct});
  }
  if (direct > 0) memcpy(buffer_ + fill_, bytes, static_cast<size_t>(direct));
  fill_ += direct;
  return true;
}

int64_t PacketFramer::ReadLengthField() const {
  const auto* field = reinterpret_cast<const unsigned char*>(buffer_) + offset_;
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
  return Next::kPacket;
}

bool PacketFramer::Consume(int32_t length) {
  if (buffer_ == nullptr || length < 1 || length > fill_) return false;
  memmove(buffer_, buffer_ + length, static_cast<size_t>(fill_ - length));
  fill_ -= length;
  Refill();
  return true;
}

void PacketFramer::Refill() {
  while (!backups_.empty() && fill_ < maximum_) {
    Chunk& chunk = backups_.front();
    int32_t waiting = chunk.length - chunk.start;
    int32_t room = maximum_ - fill_;
    int32_t taken = waiting < room ? waiting : room;
    memcpy(buffer_ + fill_, chunk.bytes + chunk.start, static_cast<size_t>(taken));
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
  fill_ = 0;
  stopped_ = false;
  ++generation_;
}

void PacketFramer::Release() {
  Reset();
  Free(buffer_);
  buffer_ = nullptr;
  maximum_ = 0;
}

}  // namespace gavio
