// The two protocol handlers end to end: real connector managers reading
// "Svconfig.xml", real sockets on 127.0.0.1 and verify_peer as a child
// process, in its answering modes, silent, refusing, and killed mid-answer.
// The test's thread pumps messages and calls the handler's OnTimer from a
// thread timer, as an owner does; time-outs are short, waits generous.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/verify.h"
#include "frame/instances.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "runtime/runtime_test_env.h"
#include "support/test_support.h"
#include "verify/verify_peer_process.h"

namespace {

using namespace gavio;

constexpr uint32_t kLimitMs = 20000;
constexpr uint32_t kTimerMs = 50;

using verify_test::VerifyPeer;

// Calls a handler's OnTimer every 50 ms while it lives, as the owner would.
class TimerDriver {
 public:
  explicit TimerDriver(std::function<void()> tick) {
    Tick() = std::move(tick);
    id_ = SetTimer(nullptr, 0, kTimerMs, [](HWND, UINT, UINT_PTR, DWORD) { Tick()(); });
  }
  ~TimerDriver() {
    KillTimer(nullptr, id_);
    Tick() = [] {};
  }

 private:
  static std::function<void()>& Tick() {
    static std::function<void()> tick;
    return tick;
  }
  UINT_PTR id_;
};

struct HashEvent {
  bool complete;
  std::vector<std::string> paths;
  std::vector<uint32_t> verdicts;
  VerifyError error;
};

class HashSink : public IHashCheckHandlerSink {
 public:
  void OnHashCheckComplete(HashCheckResult* result, IComponent*) override {
    Note(true, result, nullptr);
  }
  void OnHashCheckError(HashCheckResult* result, VerifyError* error, IComponent*) override {
    Note(false, result, error);
  }
  std::vector<HashEvent> events;
  std::function<void()> hook;  // runs inside each event

 private:
  void Note(bool complete, const HashCheckResult* result, const VerifyError* error) {
    HashEvent e{complete, {}, {}, {}};
    for (uint32_t i = 0; i < result->count; ++i) {
      e.paths.push_back(result->paths[i]);
      e.verdicts.push_back(result->verdicts[i]);
    }
    if (error != nullptr) e.error = *error;
    events.push_back(e);
    if (hook) hook();
  }
};

struct InfoEvent {
  std::string kind;
  uint32_t version;
  std::string first;  // first sub-service or class id
  uint32_t code;      // first non-zero code of a failure
  std::string reason;
};

class InfoSink : public IVerifyInfoSink {
 public:
  void OnGetVerifyServer(ServerListInfo* info) override { Servers("verify", info); }
  void OnGetVerifyServerFail(VerifyError* error) override { Fail("verify failed", error); }
  void OnGetWhiteServer(ServerListInfo* info) override { Servers("white", info); }
  void OnGetWhiteServerFail(VerifyError* error) override { Fail("white failed", error); }
  void OnGetControlID(ControlIdInfo* info) override {
    events.push_back(
        {"control", info->version, info->classIdCount > 0 ? info->classIds[0].classId : "", 0, ""});
  }
  void OnGetControlIDFail(VerifyError* error) override { Fail("control failed", error); }
  std::vector<InfoEvent> events;
  std::function<void()> hook;  // runs inside each event

 private:
  void Servers(const char* kind, const ServerListInfo* info) {
    std::string first;
    if (info->subServiceCount > 0) {
      const SubServiceInfo& s = info->subServices[0];
      first = std::string(s.name) + "/" + std::to_string(s.addressCount) + "/" +
              std::to_string(s.recommendedCount);
    }
    events.push_back({kind, info->version, first, 0, ""});
    if (hook) hook();
  }
  void Fail(const char* kind, const VerifyError* error) {
    events.push_back(
        {kind, 0, "", error->firstCode != 0 ? error->firstCode : error->secondCode, error->reason});
    if (hook) hook();
  }
};

class ManagerSink : public IHashCheckManagerSink {
 public:
  void OnHashCheckComplete(HashCheckResult* result) override {
    sink.OnHashCheckComplete(result, nullptr);
  }
  void OnHashCheckError(HashCheckResult* result, VerifyError* error) override {
    sink.OnHashCheckError(result, error, nullptr);
  }
  HashSink sink;
};

// While it lives, the program's INI names refusing_memory.so as component
// 3's library: memory managers made meanwhile refuse every result record.
class RefusedResultRecords {
 public:
  RefusedResultRecords() {
    char ini[kPathSize];
    HostGetRegistryPath(ini);
    ini_ = ini;
    saved_ = gavio_test::ReadFile(ini_);
    gavio_test::WriteFile(
        ini_, saved_ + "\n[3]\nDLL=" + gavio_test::BuildDir() + "/refusing_memory.so\n");
  }
  ~RefusedResultRecords() { gavio_test::WriteFile(ini_, saved_); }

 private:
  std::string ini_;
  std::string saved_;
};

class ProtocolHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_test::UseRuntimeEnvironment();
    data_ = dir_.File("data");
    mkdir(data_.c_str(), 0700);
    gavio_test::WriteFile(data_ + "/koraip.txt", "version 7\ngame 1 10.0.0.1 10.0.0.2\n");
    gavio_test::WriteFile(data_ + "/whiteip.txt", "version 3\nweb 0 192.168.1.1\nchat 1 1.2.3.4\n");
    gavio_test::WriteFile(data_ + "/clsid.txt",
                          "version 5\n12345678-1234-1234-1234-123456789ABC 2\n");
    good_ = dir_.File("good.dll");
    bad_ = dir_.File("bad.dll");
    unknown_ = dir_.File("unknown.dll");
    gavio_test::WriteFile(good_, "abc");
    gavio_test::WriteFile(bad_, "tampered");
    gavio_test::WriteFile(unknown_, "x");
    // MD5("abc") is known for good.dll; bad.dll is known with another digest.
    gavio_test::WriteFile(data_ + "/hashes.txt",
                          "good.dll 900150983CD24FB0D6963F7D28E17F72\n"
                          "bad.dll 00000000000000000000000000000000\n");
    config_ = dir_.File("Svconfig.xml");
  }

  std::unique_ptr<VerifyPeer> StartPeer(const std::vector<std::string>& switches = {}) {
    auto peer = std::make_unique<VerifyPeer>(data_, switches);
    EXPECT_NE(peer->port(), 0);
    return peer;
  }

  // One server, tried on each port in turn.
  void WriteConfig(const std::vector<uint16_t>& ports) {
    std::string portList = "<portlist count=\"" + std::to_string(ports.size()) + "\"";
    for (size_t i = 0; i < ports.size(); ++i) {
      portList += " port" + std::to_string(i + 1) + "=\"" + std::to_string(ports[i]) + "\"";
    }
    gavio_test::WriteFile(config_,
                          "<?xml version=\"1.0\" ?>\n<Server>\n<config valid=\"7\" />\n"
                          "<verifyserver count=\"1\" version=\"1\">\n"
                          "<server1 host=\"127.0.0.1\" />\n" +
                              portList + " />\n</verifyserver>\n</Server>\n");
  }

  template <class Handler>
  Handler* NewHandler(uint32_t id, void* sink, uint32_t attemptMs, uint32_t totalMs) {
    auto* handler = runtime_test::Create<Handler>(id);
    EXPECT_NE(handler, nullptr);
    EventSourceOf(handler)->AddListener(sink, 0);
    EXPECT_EQ(handler->Initialize(config_.c_str()), 1);
    EXPECT_EQ(handler->Initialize2(attemptMs, totalMs, nullptr), 1);
    return handler;
  }

  // Verifies good, bad and unknown through peers on the given ports.
  std::vector<HashEvent> VerifyThree(uint32_t attemptMs, uint32_t totalMs,
                                     const std::function<bool()>& alsoWaitFor = nullptr,
                                     bool destroyInside = false) {
    HashSink sink;
    auto* handler = NewHandler<IHashCheckHandler>(kHashCheckHandlerId, &sink, attemptMs, totalMs);
    bool alive = true;
    TimerDriver timer([&] {
      if (alive) handler->OnTimer();
    });
    if (destroyInside) {
      sink.hook = [&] {
        handler->Destroy(1);
        alive = false;
      };
    }
    auto task = std::make_unique<HashCheckTask>();
    memset(task.get(), 0, sizeof(HashCheckTask));
    task->count = 3;
    strcpy(task->paths[0], good_.c_str());
    strcpy(task->paths[1], bad_.c_str());
    strcpy(task->paths[2], unknown_.c_str());
    EXPECT_EQ(handler->VerifyFile("game", task.get()), 1);
    if (alsoWaitFor) {
      EXPECT_TRUE(gavio_test::PumpAndPollUntil(alsoWaitFor, kLimitMs));
    }
    EXPECT_TRUE(gavio_test::PumpUntil([&] { return !sink.events.empty(); }, kLimitMs));
    gavio_test::PumpFor(200);  // nothing more may come
    if (alive) handler->Destroy(1);
    return sink.events;
  }

  std::vector<InfoEvent> FetchAll(uint32_t attemptMs, uint32_t totalMs, size_t expected,
                                  bool destroyInside = false) {
    InfoSink sink;
    auto* handler = NewHandler<IVerifyInfoHandler>(kVerifyInfoHandlerId, &sink, attemptMs, totalMs);
    bool alive = true;
    TimerDriver timer([&] {
      if (alive) handler->OnTimer();
    });
    if (destroyInside) {
      sink.hook = [&] {
        handler->Destroy(1);
        alive = false;
      };
    }
    FetchRequest request{kFetchVerifyServers | kFetchWhiteServers | kFetchControlIds, 0, 3, 0};
    EXPECT_EQ(handler->Fetch("game", &request), 1);
    EXPECT_TRUE(gavio_test::PumpUntil([&] { return sink.events.size() >= expected; }, kLimitMs));
    gavio_test::PumpFor(200);
    if (alive) handler->Destroy(1);
    return sink.events;
  }

  gavio_test::TempDir dir_;
  std::string data_, config_, good_, bad_, unknown_;
};

TEST_F(ProtocolHandlerTest, FetchReportsEveryKindInPackageOrderWhateverTheDelivery) {
  // With every answer sent twice, the duplicates are not reported again.
  const std::vector<std::vector<std::string>> modes = {
      {}, {"--together"}, {"--split=5"}, {"--twice", "--together"}};
  for (const auto& mode : modes) {
    auto peer = StartPeer(mode);
    WriteConfig({peer->port()});
    std::vector<InfoEvent> events = FetchAll(0, 0, 3);
    const std::string name = mode.empty() ? "plain" : mode[0];
    ASSERT_EQ(events.size(), 3u) << name;
    EXPECT_EQ(events[0].kind, "verify") << name;
    EXPECT_EQ(events[0].version, 7u) << name;
    EXPECT_EQ(events[0].first, "game/2/1") << name;
    // The white list held is the peer's version: nothing new is sent.
    EXPECT_EQ(events[1].kind, "white") << name;
    EXPECT_EQ(events[1].version, 3u) << name;
    EXPECT_EQ(events[1].first, "") << name;
    EXPECT_EQ(events[2].kind, "control") << name;
    EXPECT_EQ(events[2].first, "12345678-1234-1234-1234-123456789ABC") << name;
    EXPECT_EQ(peer->Count("request 0x100"), 3) << name;
  }
}

TEST_F(ProtocolHandlerTest, RefusedListsFailEachKindWithTheServicesReason) {
  auto peer = StartPeer({"--error=8"});
  WriteConfig({peer->port()});
  std::vector<InfoEvent> events = FetchAll(0, 0, 3);
  ASSERT_EQ(events.size(), 3u);
  const char* kinds[] = {"verify failed", "white failed", "control failed"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].kind, kinds[i]);
    EXPECT_EQ(events[i].code, kVerifyErrorListResult);
    EXPECT_EQ(events[i].reason, "verify_peer: result 8");
  }
}

TEST_F(ProtocolHandlerTest, HashVerdictsInTaskOrderWhateverTheDelivery) {
  const std::vector<std::vector<std::string>> modes = {{}, {"--split=1"}};
  for (const auto& mode : modes) {
    auto peer = StartPeer(mode);
    WriteConfig({peer->port()});
    std::vector<HashEvent> events = VerifyThree(0, 0);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_TRUE(events[0].complete);
    EXPECT_EQ(events[0].paths, (std::vector<std::string>{good_, bad_, unknown_}));
    EXPECT_EQ(events[0].verdicts,
              (std::vector<uint32_t>{kHashPassed, kHashFailed, kHashNotVerified}));
  }
}

TEST_F(ProtocolHandlerTest, HashRefusalMarksEveryFileNotVerified) {
  auto peer = StartPeer({"--error=2"});
  WriteConfig({peer->port()});
  std::vector<HashEvent> events = VerifyThree(0, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].complete);
  EXPECT_EQ(events[0].error.secondCode, kVerifyErrorHashResult);
  EXPECT_STREQ(events[0].error.reason, "verify_peer: result 2");
  EXPECT_EQ(events[0].verdicts, std::vector<uint32_t>(3, kHashNotVerified));
}

TEST_F(ProtocolHandlerTest, AServiceThatNeverAnswersEndsOnceWithTheStageItReached) {
  struct Case {
    const char* name;
    bool listening;
    uint32_t expected;
  };
  const Case cases[] = {
      {"request sent, no answer", true, kVerifyErrorTimeout},
      {"never connected", false, kVerifyErrorConnect},
  };
  for (const Case& c : cases) {
    auto peer = StartPeer({"--drop"});
    const uint16_t port = peer->port();
    if (!c.listening) peer->Kill();
    WriteConfig({port});
    // The attempt time-out is longer than the total: only the total ends it.
    std::vector<HashEvent> events = VerifyThree(10000, 600);
    ASSERT_EQ(events.size(), 1u) << c.name;
    EXPECT_FALSE(events[0].complete) << c.name;
    EXPECT_EQ(events[0].error.firstCode, c.expected) << c.name;
    EXPECT_EQ(events[0].verdicts, std::vector<uint32_t>(3, kHashNotVerified)) << c.name;
  }
}

TEST_F(ProtocolHandlerTest, ASilentServerHandsTheRequestToTheNext) {
  auto silent = StartPeer({"--drop"});
  auto answering = StartPeer();
  WriteConfig({silent->port(), answering->port()});
  std::vector<HashEvent> events = VerifyThree(1000, 20000);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].complete);
  EXPECT_EQ(silent->Count("request 0x1003"), 1);
  EXPECT_EQ(answering->Count("request 0x1003"), 1);
  EXPECT_EQ(events[0].verdicts.size(), 3u);
}

TEST_F(ProtocolHandlerTest, APeerKilledMidAnswerLeavesNoHalfAnswerBehind) {
  auto dying = StartPeer({"--stall-after=20"});
  auto answering = StartPeer();
  WriteConfig({dying->port(), answering->port()});
  VerifyPeer* victim = dying.get();
  std::vector<HashEvent> events = VerifyThree(1000, 20000, [victim] {
    if (victim->Count("stalled") == 0) return false;
    victim->Kill();
    return true;
  });
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].complete);
  EXPECT_EQ(events[0].verdicts,
            (std::vector<uint32_t>{kHashPassed, kHashFailed, kHashNotVerified}));
}

// A listener may end the handler from inside its call: the rest of the
// delivery is dropped and nothing else is reported.
TEST_F(ProtocolHandlerTest, AListenerMayDestroyTheHandlerFromInsideItsCall) {
  {
    auto peer = StartPeer({"--together"});
    WriteConfig({peer->port()});
    std::vector<InfoEvent> events = FetchAll(0, 0, 1, true);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "verify");
  }
  const std::vector<std::vector<std::string>> modes = {{}, {"--error=1"}};
  for (const auto& mode : modes) {
    auto peer = StartPeer(mode);
    WriteConfig({peer->port()});
    std::vector<HashEvent> events = VerifyThree(0, 0, nullptr, true);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].complete, mode.empty());
  }
}

TEST_F(ProtocolHandlerTest, AtMost256FilesGoOut) {
  auto peer = StartPeer();
  WriteConfig({peer->port()});
  HashSink sink;
  auto* handler = NewHandler<IHashCheckHandler>(kHashCheckHandlerId, &sink, 0, 0);
  TimerDriver timer([handler] { handler->OnTimer(); });
  auto task = std::make_unique<HashCheckTask>();
  memset(task.get(), 0, sizeof(HashCheckTask));
  task->count = 300;
  for (int i = 0; i < kHashCheckMaxFiles; ++i) strcpy(task->paths[i], good_.c_str());
  EXPECT_EQ(handler->VerifyFile("game", task.get()), 1);
  EXPECT_TRUE(gavio_test::PumpUntil([&] { return !sink.events.empty(); }, kLimitMs));
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].verdicts, std::vector<uint32_t>(256, kHashPassed));
  // A missing file stops the submission before anything is sent.
  strcpy(task->paths[7], dir_.File("missing.dll").c_str());
  EXPECT_EQ(handler->VerifyFile("game", task.get()), 0);
  EXPECT_EQ(GetLastError(), kVerifyErrorFileMissing);
  handler->Destroy(1);
}

// Without a server list neither handler initialises, and a request made
// all the same fails at once, once per kind, instead of at a time-out.
TEST_F(ProtocolHandlerTest, WithoutAServerListRequestsFailAtOnce) {
  gavio_test::WriteFile(config_, "<?xml version=\"1.0\" ?>\n<Server>\n</Server>\n");
  InfoSink info;
  auto* fetcher = runtime_test::Create<IVerifyInfoHandler>(kVerifyInfoHandlerId);
  ASSERT_NE(fetcher, nullptr);
  EventSourceOf(fetcher)->AddListener(&info, 0);
  ASSERT_EQ(fetcher->Initialize(config_.c_str()), 1);
  EXPECT_EQ(fetcher->Initialize2(0, 0, nullptr), 0);
  FetchRequest request{kFetchVerifyServers | kFetchControlIds, 0, 0, 0};
  fetcher->Fetch("game", &request);
  ASSERT_EQ(info.events.size(), 2u);
  EXPECT_EQ(info.events[0].kind, "verify failed");
  EXPECT_EQ(info.events[1].kind, "control failed");
  EXPECT_EQ(info.events[1].code, kVerifyErrorConnect);
  fetcher->Destroy(1);

  HashSink hash;
  auto* checker = runtime_test::Create<IHashCheckHandler>(kHashCheckHandlerId);
  ASSERT_NE(checker, nullptr);
  EventSourceOf(checker)->AddListener(&hash, 0);
  ASSERT_EQ(checker->Initialize(config_.c_str()), 1);
  EXPECT_EQ(checker->Initialize2(0, 0, nullptr), 0);
  auto task = std::make_unique<HashCheckTask>();
  memset(task.get(), 0, sizeof(HashCheckTask));
  task->count = 1;
  strcpy(task->paths[0], good_.c_str());
  checker->VerifyFile("game", task.get());
  ASSERT_EQ(hash.events.size(), 1u);
  EXPECT_FALSE(hash.events[0].complete);
  EXPECT_EQ(hash.events[0].error.firstCode, kVerifyErrorConnect);
  checker->Destroy(1);
}

// A report whose record the memory manager refuses still arrives, whole,
// from a handler and through the manager, answered or refused.
TEST_F(ProtocolHandlerTest, ReportsArriveWhenTheirRecordIsRefused) {
  RefusedResultRecords refused;
  const std::vector<std::string> three = {good_, bad_, unknown_};
  const std::vector<std::vector<std::string>> modes = {{}, {"--error=2"}};
  for (const auto& mode : modes) {
    auto peer = StartPeer(mode);
    WriteConfig({peer->port()});
    std::vector<HashEvent> direct = VerifyThree(0, 0);
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0].complete, mode.empty());
    EXPECT_EQ(direct[0].paths, three);

    ManagerSink listener;
    auto* manager = runtime_test::Create<IHashCheckManager>(kHashCheckManagerId);
    ASSERT_NE(manager, nullptr);
    EventSourceOf(manager)->AddListener(static_cast<IHashCheckManagerSink*>(&listener), 0);
    manager->SetConfigPath(config_.c_str());
    manager->SetServiceName("game");
    manager->Initialize2(0, 0, nullptr);
    TimerDriver timer([manager] { manager->OnTimer(); });
    auto task = std::make_unique<HashCheckTask>();
    memset(task.get(), 0, sizeof(HashCheckTask));
    task->count = 3;
    for (int i = 0; i < 3; ++i) strcpy(task->paths[i], three[i].c_str());
    EXPECT_EQ(manager->StartHashCheck(task.get()), 1);
    EXPECT_TRUE(gavio_test::PumpUntil([&] { return !listener.sink.events.empty(); }, kLimitMs));
    manager->Destroy(1);
    ASSERT_EQ(listener.sink.events.size(), 1u);
    EXPECT_EQ(listener.sink.events[0].complete, mode.empty());
    EXPECT_EQ(listener.sink.events[0].paths, three);
  }
}

// The peer drops a client that connects and never speaks: no read of its
// holds a connection for ever.
TEST_F(ProtocolHandlerTest, ThePeerDropsASilentClient) {
  auto peer = StartPeer();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(peer->port());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  pollfd wait{fd, POLLIN, 0};
  char byte;
  // Closed by the peer, nothing sent.
  const bool closed = poll(&wait, 1, static_cast<int>(kLimitMs)) == 1 &&
                      recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
  close(fd);
  EXPECT_TRUE(closed);
}

TEST_F(ProtocolHandlerTest, InitializeNeedsAnExistingConfiguration) {
  auto* handler = runtime_test::Create<IVerifyInfoHandler>(kVerifyInfoHandlerId);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->Initialize(nullptr), 0);
  EXPECT_EQ(GetLastError(), kVerifyErrorConfigPath);
  EXPECT_EQ(handler->Initialize(dir_.File("absent.xml").c_str()), 0);
  EXPECT_EQ(GetLastError(), kVerifyErrorConfigPath);
  handler->Destroy(1);
}

}  // namespace
