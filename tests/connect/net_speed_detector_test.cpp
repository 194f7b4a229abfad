// The net speed detector against real UDP: its probe read off a socket of
// the test, replies from probe_peer processes on several loopback
// addresses, the ranking, short and late replies.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "gavio/connect.h"
#include "gavio/ids.h"
#include "manager_test_env.h"
#include "support/test_support.h"

namespace {

using connect_test::PeerProcess;
using gavio::DetectRequestEntry;
using gavio::INetSpeedDetector;
using gavio::SortedProbeEntry;

struct Target {
  std::string address;
  uint16_t port;
};

std::vector<char> Request(const std::vector<Target>& targets) {
  uint16_t count = static_cast<uint16_t>(targets.size());
  std::vector<char> request(sizeof count + count * sizeof(DetectRequestEntry));
  memcpy(request.data(), &count, sizeof count);
  for (size_t i = 0; i < targets.size(); ++i) {
    DetectRequestEntry entry{};
    snprintf(entry.host, sizeof entry.host, "%s", targets[i].address.c_str());
    entry.port = targets[i].port;
    memcpy(request.data() + sizeof count + i * sizeof entry, &entry, sizeof entry);
  }
  return request;
}

class DetectorEvents : public gavio::INetSpeedDetectorSink {
 public:
  void OnDetectReply(const char* address, uint16_t port, uint32_t timeMs) override {
    replies.push_back(address);
    if (hook) hook();
  }
  void OnDetectTimeout() override { timedOut = true; }
  std::vector<std::string> replies;
  bool timedOut = false;
  std::function<void()> hook;
};

struct Ranked {
  std::string address;
  uint32_t timeMs;
  uint32_t weight;
};

std::vector<Ranked> Sorted(INetSpeedDetector* detector, size_t room) {
  std::vector<char> out(sizeof(uint32_t) + room * sizeof(SortedProbeEntry));
  EXPECT_EQ(detector->GetSortedIPArray(out.data()), 1);
  uint32_t count;
  memcpy(&count, out.data(), sizeof count);
  std::vector<Ranked> ranked;
  for (uint32_t i = 0; i < count && i < room; ++i) {
    SortedProbeEntry e;
    memcpy(&e, out.data() + sizeof count + i * sizeof e, sizeof e);
    ranked.push_back(Ranked{e.address, e.timeMs, e.weight});
  }
  return ranked;
}

class NetSpeedDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    detector_ = connect_test::Create<INetSpeedDetector>(gavio::kNetSpeedDetectorId);
    ASSERT_NE(detector_, nullptr);
    ASSERT_EQ(detector_->Initialize(&events_), 1);
  }
  void TearDown() override {
    if (detector_ != nullptr) detector_->Destroy(0);
  }
  INetSpeedDetector* detector_ = nullptr;
  DetectorEvents events_;
};

TEST_F(NetSpeedDetectorTest, ProbeLayoutShortReplyAndEcho) {
  gavio_test::DebugCapture capture;
  int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
  std::vector<char> request = Request({{"127.0.0.1", ntohs(address.sin_port)}});
  ASSERT_EQ(detector_->Detect(request.data(), 0), 1);
  EXPECT_EQ(detector_->Detect(request.data(), 0), 0) << "one detection at a time";

  pollfd p{server, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  unsigned char probe[64];
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  ASSERT_EQ(recvfrom(server, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&from),
                     &fromLength), 16);
  const unsigned char command[] = {2, 0, 0, 0}, zero[] = {0, 0}, fill[] = {1, 0, 0, 0};
  EXPECT_EQ(memcmp(probe, command, 4), 0);
  EXPECT_EQ(memcmp(probe + 6, zero, 2), 0);
  EXPECT_EQ(memcmp(probe + 12, fill, 4), 0);
  uint32_t tick;
  memcpy(&tick, probe + 8, sizeof tick);
  EXPECT_NE(tick, 0u);

  // Twelve bytes are no reply; the echoed probe is.
  sendto(server, probe, 12, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return capture.Count("pdu size error,not support") > 0; }));
  EXPECT_TRUE(events_.replies.empty());
  // The echo from a machine that was never probed is no answer either.
  int stranger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in other{};
  other.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.9", &other.sin_addr);
  ASSERT_EQ(bind(stranger, reinterpret_cast<sockaddr*>(&other), sizeof other), 0);
  sendto(stranger, probe, 16, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  sendto(server, probe, 16, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return !events_.replies.empty(); }));
  gavio_test::PumpFor(50);
  EXPECT_EQ(events_.replies, std::vector<std::string>{"127.0.0.1"});
  close(stranger);
  close(server);
}

TEST_F(NetSpeedDetectorTest, FasterReplySortsFirstAndSilentServerLast) {
  PeerProcess peer("probe_peer", {"127.0.0.2=30", "127.0.0.3=400"});
  ASSERT_NE(peer.port(), 0);
  std::vector<char> request =
      Request({{"127.0.0.4", peer.port()}, {"127.0.0.3", peer.port()}, {"127.0.0.2", peer.port()}});
  ASSERT_EQ(detector_->Detect(request.data(), 3000), 1);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return events_.timedOut; }));
  ASSERT_EQ(events_.replies, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  std::vector<Ranked> ranked = Sorted(detector_, 3);
  ASSERT_EQ(ranked.size(), 3u);
  EXPECT_EQ(ranked[0].address, "127.0.0.2");
  EXPECT_EQ(ranked[1].address, "127.0.0.3");
  EXPECT_EQ(ranked[2].address, "127.0.0.4");
  EXPECT_EQ(ranked[2].timeMs, 5000u);
  EXPECT_EQ(ranked[2].weight, 100u);
}

TEST_F(NetSpeedDetectorTest, WeightMultipliesTheTime) {
  PeerProcess heavy("probe_peer", {"--weight", "1000", "127.0.0.2=20"});
  PeerProcess light("probe_peer", {"--weight", "0", "127.0.0.3=60"});
  ASSERT_NE(heavy.port(), 0);
  ASSERT_NE(light.port(), 0);
  std::vector<char> request = Request({{"127.0.0.2", heavy.port()}, {"127.0.0.3", light.port()}});
  ASSERT_EQ(detector_->Detect(request.data(), 0), 1);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return events_.replies.size() == 2; }));
  std::vector<Ranked> ranked = Sorted(detector_, 2);
  ASSERT_EQ(ranked.size(), 2u);
  EXPECT_EQ(ranked[0].address, "127.0.0.3");
  EXPECT_EQ(ranked[0].weight, 1u) << "a weight of 0 counts as 1";
  EXPECT_EQ(ranked[1].weight, 1000u);
}

TEST_F(NetSpeedDetectorTest, LateReplyIsIgnored) {
  PeerProcess peer("probe_peer", {"127.0.0.2=400"});
  std::vector<char> request = Request({{"127.0.0.2", peer.port()}});
  ASSERT_EQ(detector_->Detect(request.data(), 50), 1);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return events_.timedOut; }));
  gavio_test::PumpFor(800);
  EXPECT_TRUE(events_.replies.empty());
  EXPECT_EQ(Sorted(detector_, 1).at(0).timeMs, 5000u);
}

TEST_F(NetSpeedDetectorTest, ListenerMayDestroyTheDetectorInsideAReply) {
  PeerProcess peer("probe_peer", {"127.0.0.2", "127.0.0.3"});
  events_.hook = [&] {
    if (detector_ != nullptr) detector_->Destroy(0);
    detector_ = nullptr;
  };
  std::vector<char> request = Request({{"127.0.0.2", peer.port()}, {"127.0.0.3", peer.port()}});
  ASSERT_EQ(detector_->Detect(request.data(), 0), 1);
  ASSERT_TRUE(gavio_test::PumpUntil([&] { return detector_ == nullptr; }));
  gavio_test::PumpFor(200);
  EXPECT_EQ(events_.replies.size(), 1u);
}

TEST_F(NetSpeedDetectorTest, RefusesWhatItCannotProbe) {
  uint16_t none = 0;
  EXPECT_EQ(detector_->Detect(&none, 100), 0);
  EXPECT_EQ(detector_->Detect(nullptr, 100), 0);
  char out[64];
  EXPECT_EQ(detector_->GetSortedIPArray(out), 0) << "no detection yet";
}

}  // namespace
