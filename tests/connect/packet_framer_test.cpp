// PacketFramer without sockets: the same stream cut into every kind of
// chunk gives the same packets; length fields that cannot be a packet stop
// it; a new maximum in the middle of a stream keeps every byte in order.
#include "connect/packet_framer.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "connect_test_env.h"

using connect_test::Packet;
using gavio::PacketFramer;

namespace {

struct Result {
  std::vector<std::string> packets;
  bool invalid = false;
};

// Takes every whole packet out of the framer, checking that waiting bytes
// only ever wait behind a full buffer.
void Drain(PacketFramer& framer, Result* out) {
  for (;;) {
    EXPECT_TRUE(framer.BackupChunks() == 0 || framer.Fill() == framer.Maximum());
    int32_t length = 0;
    PacketFramer::Next next = framer.Peek(&length);
    if (next == PacketFramer::Next::kInvalid) out->invalid = true;
    if (next != PacketFramer::Next::kPacket) return;
    out->packets.emplace_back(framer.Data(), static_cast<size_t>(length));
    ASSERT_TRUE(framer.Consume(length));
  }
}

// Feeds stream in chunks of the sizes chunkSize(i) gives.
Result Feed(PacketFramer& framer, const std::string& stream,
            const std::function<size_t(size_t)>& chunkSize) {
  Result result;
  for (size_t at = 0, i = 0; at < stream.size(); ++i) {
    size_t n = std::min(chunkSize(i), stream.size() - at);
    EXPECT_TRUE(framer.Append(stream.data() + at, static_cast<int32_t>(n)));
    at += n;
    Drain(framer, &result);
  }
  return result;
}

TEST(PacketFramerTest, EveryChunkingGivesThePacketsWholeAndInOrder) {
  struct Layout {
    int16_t width;
    uint32_t offset;
  };
  for (Layout layout : {Layout{2, 0}, Layout{4, 0}, Layout{2, 5}, Layout{4, 1}}) {
    std::vector<std::string> packets;
    std::string stream;
    uint32_t header = layout.offset + static_cast<uint32_t>(layout.width);
    for (uint32_t size : {header + 1, 4096u, 77u, 4095u, 4096u, header + 2, 1000u, 3u + header}) {
      packets.push_back(Packet(size, layout.width, layout.offset, size));
      stream += packets.back();
    }
    std::mt19937 random(layout.width * 31 + layout.offset);
    const std::pair<const char*, std::function<size_t(size_t)>> chunkings[] = {
        {"whole", [&](size_t) { return stream.size(); }},
        {"one byte", [](size_t) { return size_t{1}; }},
        {"header split", [&](size_t) { return size_t{header - 1}; }},
        {"10240", [](size_t) { return size_t{10240}; }},
        {"random", [&](size_t) { return size_t{1} + random() % 9000; }},
    };
    for (const auto& [name, chunkSize] : chunkings) {
      SCOPED_TRACE(testing::Message() << "width " << layout.width << " offset " << layout.offset
                                      << " chunks " << name);
      PacketFramer framer;
      ASSERT_EQ(framer.SetParams(4096, layout.width, static_cast<int32_t>(layout.offset)),
                PacketFramer::ParamResult::kBufferAllocated);
      Result result = Feed(framer, stream, chunkSize);
      EXPECT_FALSE(result.invalid);
      EXPECT_EQ(result.packets, packets);
      EXPECT_EQ(framer.Fill(), 0);
      EXPECT_EQ(framer.BackupChunks(), 0u);
    }
  }
}

TEST(PacketFramerTest, LengthFieldsThatCannotBeAPacketStopTheStream) {
  const std::string valid = Packet(10);
  struct Case {
    const char* name;
    int16_t width;
    std::string stream;
    size_t delivered;
    bool stops;
  } cases[] = {
      {"five bytes", 2, std::string("\x00\x05" "ABC", 5), 1, false},
      {"above the maximum", 2, valid + std::string("\x13\x88", 2) + std::string(6000, 'x') + valid,
       1, true},
      {"zero", 2, valid + std::string("\x00\x00zz", 4) + valid, 1, true},
      {"negative", 4, Packet(10, 4) + std::string("\x80\x00\x00\x10zz", 6), 1, true},
      {"no such width", 3, std::string("\x00\x00\x05zz", 5), 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketFramer framer;
    framer.SetParams(4096, c.width, 0);
    Result result = Feed(framer, c.stream, [](size_t) { return size_t{3}; });
    EXPECT_EQ(result.packets.size(), c.delivered);
    EXPECT_EQ(result.invalid, c.stops);
    if (result.invalid) {
      // Nothing piles up behind a stopped stream.
      EXPECT_TRUE(framer.Append(valid.data(), static_cast<int32_t>(valid.size())));
      EXPECT_EQ(framer.BackupChunks(), 0u);
      int32_t length = 0;
      EXPECT_EQ(framer.Peek(&length), PacketFramer::Next::kInvalid);
      // Reset starts a new stream.
      framer.Reset();
      std::string next = Packet(10, c.width == 4 ? 4 : 2);
      framer.SetParams(4096, c.width == 4 ? 4 : 2, 0);
      EXPECT_EQ(Feed(framer, next, [](size_t) { return size_t{4}; }).packets.size(), 1u);
    }
  }
}

TEST(PacketFramerTest, HeaderIsReadOnlyWithOneByteBeyondIt) {
  PacketFramer framer;
  framer.SetParams(4096, 2, 0);
  int32_t length = 0;
  ASSERT_TRUE(framer.Append("\x00\x02", 2));
  EXPECT_EQ(framer.Peek(&length), PacketFramer::Next::kNeedMore);
  // A header that lies past a full buffer can never be read.
  PacketFramer narrow;
  narrow.SetParams(8, 2, 7);
  ASSERT_TRUE(narrow.Append("0123456789", 10));
  EXPECT_EQ(narrow.Peek(&length), PacketFramer::Next::kInvalid);
}

TEST(PacketFramerTest, LengthAdjustCountsTheHeader) {
  PacketFramer framer;
  framer.SetParams(64, 2, 0);
  framer.SetLengthAdjust(2);  // the field holds the payload length only
  Result result = Feed(framer, std::string("\x00\x03" "abc" "\x00\x01" "d", 8),
                       [](size_t) { return size_t{1}; });
  EXPECT_EQ(result.packets, (std::vector<std::string>{std::string("\x00\x03" "abc", 5),
                                                       std::string("\x00\x01" "d", 3)}));
}

// A new maximum in the middle of a stream: bytes waiting in the back-up
// list and in the buffer keep their order whether the buffer grows or
// shrinks.
TEST(PacketFramerTest, NewMaximumMidStreamKeepsEveryByteInOrder) {
  std::vector<std::string> packets;
  std::string stream;
  for (uint32_t k = 0; k < 40; ++k) {
    packets.push_back(Packet(k % 2 == 0 ? 60 : 900, 2, 0, k));
    stream += packets.back();
  }
  for (int32_t first : {64, 2000}) {
    SCOPED_TRACE(first);
    PacketFramer framer;
    framer.SetParams(first, 2, 0);
    Result result;
    // 5000 bytes wait, most of them in the back-up list, when the maximum
    // changes.
    ASSERT_TRUE(framer.Append(stream.data(), 5000));
    ASSERT_GT(framer.BackupChunks(), 0u);
    ASSERT_EQ(framer.SetParams(first == 64 ? 4096 : 1000, 2, 0),
              PacketFramer::ParamResult::kBufferAllocated);
    Drain(framer, &result);
    ASSERT_TRUE(framer.Append(stream.data() + 5000, static_cast<int32_t>(stream.size() - 5000)));
    Drain(framer, &result);
    EXPECT_FALSE(result.invalid);
    EXPECT_EQ(result.packets, packets);
  }
}

// While a packet is out (between Peek and Consume) its bytes stay put
// whatever happens: more bytes, a new maximum either way, a reset.
TEST(PacketFramerTest, PacketHandedOutStaysUnchangedUntilConsumed) {
  std::vector<std::string> packets;
  std::string stream;
  for (uint32_t k = 0; k < 30; ++k) {
    packets.push_back(Packet(500 + k * 37, 2, 0, k));
    stream += packets.back();
  }
  const std::pair<const char*, std::function<void(PacketFramer&)>> meanwhile[] = {
      {"more bytes", [&](PacketFramer& f) { f.Append(stream.data() + 4000, 9000); }},
      {"larger", [&](PacketFramer& f) { f.SetParams(8192, 2, 0); }},
      {"smaller", [&](PacketFramer& f) { f.SetParams(1800, 2, 0); }},
      {"bytes then larger",
       [&](PacketFramer& f) {
         f.Append(stream.data() + 4000, 9000);
         f.SetParams(8192, 2, 0);
       }},
  };
  for (const auto& [name, action] : meanwhile) {
    SCOPED_TRACE(name);
    PacketFramer framer;
    framer.SetParams(4096, 2, 0);
    ASSERT_TRUE(framer.Append(stream.data(), 4000));
    int32_t length = 0;
    ASSERT_EQ(framer.Peek(&length), PacketFramer::Next::kPacket);
    const char* out = framer.Data();
    action(framer);
    EXPECT_EQ(std::string(out, static_cast<size_t>(length)), packets[0]);
    ASSERT_TRUE(framer.Consume(length));
    Result result;
    result.packets.push_back(packets[0]);
    Drain(framer, &result);
    size_t fed = std::string(name).find("bytes") != std::string::npos ? 13000 : 4000;
    ASSERT_TRUE(framer.Append(stream.data() + fed, static_cast<int32_t>(stream.size() - fed)));
    Drain(framer, &result);
    EXPECT_EQ(result.packets, packets);
  }
  // A reset while the packet is out: a new stream goes behind it.
  PacketFramer framer;
  framer.SetParams(4096, 2, 0);
  ASSERT_TRUE(framer.Append(stream.data(), 4000));
  int32_t length = 0;
  ASSERT_EQ(framer.Peek(&length), PacketFramer::Next::kPacket);
  const char* out = framer.Data();
  framer.Reset();
  ASSERT_TRUE(framer.Append(stream.data() + packets[0].size(), 6000));
  EXPECT_EQ(std::string(out, static_cast<size_t>(length)), packets[0]);
  Result result;
  Drain(framer, &result);
  ASSERT_FALSE(result.packets.empty());
  EXPECT_EQ(result.packets[0], packets[1]);
}

TEST(PacketFramerTest, RefusesParametersThatWouldReadOutsideTheBuffer) {
  PacketFramer framer;
  EXPECT_EQ(framer.SetParams(0, 2, 0), PacketFramer::ParamResult::kRefused);
  EXPECT_EQ(framer.SetParams(100, -1, 0), PacketFramer::ParamResult::kRefused);
  EXPECT_EQ(framer.SetParams(100, 2, -1), PacketFramer::ParamResult::kRefused);
  EXPECT_FALSE(framer.HasBuffer());
  // Without a buffer nothing is kept.
  EXPECT_TRUE(framer.Append("abc", 3));
  EXPECT_EQ(framer.BackupChunks(), 0u);
}

}  // namespace
