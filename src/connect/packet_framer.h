// PacketFramer: cuts a received byte stream into packets by a big-endian
// length field in each packet's header. The connector (322) owns one; the
// fuzzer and the benchmark drive one without sockets.
//
// At most the maximum packet length of bytes is held in the receive buffer;
// bytes that do not fit wait, in arrival order, in a list of back-up chunks
// and refill the buffer as packets leave it. So while the list is not empty
// the buffer is full, and the buffer never grows past its size.
//
// Packets are handed out in place. The buffer has room for twice the
// maximum so that taking a packet only moves a start index: what is left
// is moved to the front only when new bytes would not fit behind it, which
// costs at most one byte moved per byte taken.
//
// A length field that cannot be a packet (above the maximum, below 1, or a
// header that can never become readable because it lies past a full
// buffer) stops the framer: nothing more is delivered and further bytes are
// dropped instead of piling up, until Reset.
//
// A packet handed out by Peek stays where it is, unchanged, until the next
// Peek, Consume or Release, whatever happens meanwhile: bytes appended,
// Reset, or a new maximum (the old block is then kept until then). So the
// owner may hand it to code that receives more, disconnects or changes the
// maximum before the owner consumes it.
//
// Not thread-safe: used on its owner's thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>

namespace gavio {

class MemoryClient;

class PacketFramer {
 public:
  // Blocks come from memory (zero-filled), or from the C heap when null.
  explicit PacketFramer(MemoryClient* memory = nullptr) : memory_(memory) {}
  ~PacketFramer() { Release(); }
  PacketFramer(const PacketFramer&) = delete;
  PacketFramer& operator=(const PacketFramer&) = delete;

  enum class ParamResult { kRefused, kAllocationFailed, kStored, kBufferAllocated };
  // Refuses maximum < 1, width < 0 or offset < 0. A maximum other than the
  // current buffer's size allocates a buffer of the new size and moves the
  // buffered bytes into it; bytes beyond a smaller size go back to the front
  // of the back-up list, and a larger buffer is refilled from the list. On
  // allocation failure nothing changes.
  ParamResult SetParams(int32_t maximum, int16_t width, int32_t offset);
  // Added to every length field above 0.
  void SetLengthAdjust(int32_t adjust) { lengthAdjust_ = adjust; }
  // The most bytes the back-up list may hold; a chunk that would pass it
  // is refused as one that could not be allocated. Unlimited by default.
  static constexpr int64_t kNoBackupLimit = INT64_MAX;
  void SetBackupLimit(int64_t bytes) { backupLimit_ = bytes; }

  // Keeps length bytes (nothing for length < 1 or null bytes). Without a
  // buffer, or once stopped, the bytes are dropped. False only when a
  // back-up chunk could not be allocated or passes the back-up limit (none
  // of the bytes is kept then).
  bool Append(const char* bytes, int32_t length);

  enum class Next { kNeedMore, kPacket, kInvalid };
  // Looks at the buffer's start: kPacket with *length set when a whole
  // packet is buffered there (Data(), *length bytes). kInvalid stops the
  // framer.
  Next Peek(int32_t* length);
  const char* Data() const { return buffer_ + start_; }
  // Drops length bytes from the buffer's start and refills from the back-up
  // list. False (and nothing done) for length < 1 or above the fill. After
  // a Reset or a new maximum while the packet was out it has gone already:
  // true, and nothing more is dropped.
  bool Consume(int32_t length);

  // Forgets every buffered byte and the stopped state; keeps the buffer.
  void Reset();
  // Reset, and frees the buffer too.
  void Release();

  bool HasBuffer() const { return buffer_ != nullptr; }
  bool Stopped() const { return stopped_; }
  int32_t Maximum() const { return maximum_; }
  int32_t Fill() const { return fill_; }
  size_t BackupChunks() const { return backups_.size(); }
  // Counts Reset calls: a loop over Peek/Consume that calls out between
  // them can tell that the stream it was cutting is gone.
  uint32_t Generation() const { return generation_; }

 private:
  struct Chunk {
    char* bytes;
    int32_t start;   // first byte not yet moved into the buffer
    int32_t length;  // end of the bytes
  };

  char* Allocate(int64_t size);
  bool BackupWouldPassLimit(int32_t more) const;
  // Moves the bytes to the buffer's front unless length more fit behind them.
  void MakeRoom(int32_t length);
  void Free(char* block);
  void FreeBackups();
  void Refill();
  int64_t ReadLengthField() const;
  void Stop();
  void Unpin();

  MemoryClient* memory_;
  char* buffer_ = nullptr;
  int64_t capacity_ = 0;  // twice the maximum
  int32_t maximum_ = 0;   // the most bytes held at once
  int32_t start_ = 0;     // where the held bytes begin
  int32_t fill_ = 0;      // how many bytes are held
  int16_t width_ = 0;
  int32_t offset_ = 0;
  int32_t lengthAdjust_ = 0;
  int64_t backupLimit_ = kNoBackupLimit;
  bool stopped_ = false;
  int32_t pinned_ = 0;        // length of the packet handed out (at start_), 0: none
  bool pinnedGone_ = false;   // it left the held bytes while out (Reset, new maximum)
  char* retired_ = nullptr;   // a replaced block that still holds it
  uint32_t generation_ = 0;
  std::deque<Chunk> backups_;
};

}  // namespace gavio
