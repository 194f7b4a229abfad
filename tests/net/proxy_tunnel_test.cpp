// The HTTP (55) and SOCKS5 (56) tunnels end to end over real loopback
// sockets: scripted proxies for the orders of attempts and the replies a
// real proxy will not give on request, squid and microsocks for the real
// exchanges, an echo server behind them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/net.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "net/proxy_memory.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/modules.h"
#include "proxy_peers.h"
#include "support/test_support.h"

namespace gavio {
namespace {

using proxy_test::PeerConnection;
using proxy_test::ScriptedPeer;

constexpr uint32_t kEventLimitMs = 20000;
constexpr uint32_t kQuietMs = 300;

// The factory library handed over as a client would, once per program.
void UseFactoryLibrary() {
  static bool done = [] {
    static gavio_test::TempDir dir;
    std::string ini = dir.File("Gavio.ini");
    gavio_test::WriteFile(ini, "[Log]\nDebugMask=0\n");
    HostSetRegistryPath(ini.c_str());
    HostSetFactoryHandle(LoadLibraryA((gavio_test::BuildDir() + "/GavFact.dll").c_str()));
    return true;
  }();
  (void)done;
}

// Records every event as text ("success", "fail 5", "closed 0") and the
// bytes received; checks that each arrives on the creating thread.
class RecordingSink : public ITransportSink {
 public:
  void OnConnectSuccess() override { Record("success"); }
  void OnConnectFail(int32_t error) override { Record("fail " + std::to_string(error)); }
  void OnReceived(const char* bytes, int32_t length) override {
    received.append(bytes, static_cast<size_t>(length));
    Check();
    if (onReceived) onReceived();
  }
  void OnClosed(int32_t reason) override { Record("closed " + std::to_string(reason)); }

  void Record(const std::string& event) {
    events.push_back(event);
    Check();
    if (onEvent) onEvent(event);
  }
  void Check() {
    if (GetCurrentThreadId() != thread) wrongThread = true;
  }

  DWORD thread = GetCurrentThreadId();
  bool wrongThread = false;
  std::vector<std::string> events;
  std::string received;
  std::function<void(const std::string&)> onEvent;
  std::function<void()> onReceived;
};

ProxySettings Settings(uint16_t port, const char* user = "", const char* password = "",
                       const char* domain = "") {
  ProxySettings settings{};
  strcpy(settings.host, "127.0.0.1");
  settings.port = port;
  strcpy(settings.userName, user);
  strcpy(settings.password, password);
  strcpy(settings.domain, domain);
  return settings;
}

class TunnelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseFactoryLibrary();
    // The tunnels stand on the TCP client, which is built beside them.
    IComponent* tcp = HostCreateComponent(kTcpClientId, 0);
    if (tcp == nullptr) GTEST_SKIP() << "this build has no TCP client (53)";
    tcp->Destroy(0);
    ForgetHttpProxyChoice();
    ForgetSocks5Choice();
    windowsBefore_ = GavioLiveWindowCount();
  }
  void TearDown() override {
    if (IsSkipped()) return;
    for (ITransport* t : tunnels_) t->Destroy(0);
    // The windows of inner clients go with them, deferred ones included.
    gavio_test::PumpUntil([&] { return GavioLiveWindowCount() == windowsBefore_; }, 5000);
    EXPECT_EQ(GavioLiveWindowCount(), windowsBefore_);
    EXPECT_FALSE(sink_.wrongThread);
  }

  ITransport* NewTunnel(uint32_t id, const ProxySettings& settings,
                        ITransportSink* sink = nullptr) {
    auto* tunnel = static_cast<ITransport*>(HostCreateComponent(id, 0));
    EXPECT_NE(tunnel, nullptr);
    if (tunnel == nullptr) return nullptr;
    tunnels_.push_back(tunnel);
    EXPECT_EQ(tunnel->Create(&settings, sink != nullptr ? sink : &sink_), 1);
    return tunnel;
  }

  bool WaitForEvents(size_t count, RecordingSink* sink = nullptr) {
    RecordingSink* s = sink != nullptr ? sink : &sink_;
    return gavio_test::PumpUntil([&] { return s->events.size() >= count; }, kEventLimitMs);
  }

  bool WaitForReceived(const std::string& text) {
    return gavio_test::PumpUntil([&] { return sink_.received == text; }, kEventLimitMs);
  }

  // Sends text through an established tunnel and waits for the echo.
  void ExpectEcho(ITransport* tunnel, const std::string& text) {
    sink_.received.clear();
    ASSERT_EQ(tunnel->Send(text.data(), static_cast<int32_t>(text.size())), 1);
    EXPECT_TRUE(WaitForReceived(text)) << sink_.received;
  }

  // Forgets a tunnel destroyed by the test itself.
  void Forget(ITransport* tunnel) { std::erase(tunnels_, tunnel); }

  RecordingSink sink_;
  std::vector<ITransport*> tunnels_;
  DWORD windowsBefore_ = 0;
};

// ---------------------------------------------------------------------------
// HTTP tunnel against a scripted proxy

const char k407Basic[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
    "Content-Length: 0\r\n\r\n";
// The challenge message of the published NTLMv2 test vectors.
const char k407Challenge[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM "
    "TlRMTVNTUAACAAAADAAMADgAAAAzgoriASNFZ4mrze8AAAAAAAAAACQAJABEAAAABgBwFwAAAA9TAGUAcgB2AGUAcgAC"
    "AAwARABvAG0AYQBpAG4AAQAMAFMAZQByAHYAZQByAAAAAAA=\r\nContent-Length: 0\r\n\r\n";
const char k200[] = "HTTP/1.1 200 Connection established\r\n\r\n";

// "A 7000", "B 443", "N1 7000", "N2 7000": the method and the port of
// each request the proxy received, in order.
std::string Summarise(const std::string& request) {
  size_t colon = request.find(':');
  size_t space = request.find(' ', colon);
  std::string port = request.substr(colon + 1, space - colon - 1);
  if (request.find("Proxy-Authorization: Basic ") != std::string::npos) return "B " + port;
  if (request.find("NTLM TlRMTVNTUAAB") != std::string::npos) return "N1 " + port;
  if (request.find("NTLM TlRMTVNTUAAD") != std::string::npos) return "N2 " + port;
  return "A " + port;
}

// A scripted HTTP proxy: answer() gives the reply to each request (empty
// = close); after a 200 the connection is handed to afterTunnel.
class HttpScript {
 public:
  using Answer = std::function<std::string(const std::string& summary, int connection)>;
  using AfterTunnel = std::function<void(PeerConnection&, int connection)>;

  explicit HttpScript(Answer answer, AfterTunnel afterTunnel = nullptr)
      : answer_(std::move(answer)), afterTunnel_(std::move(afterTunnel)) {
    peer_ = std::make_unique<ScriptedPeer>([this](PeerConnection& c, int index) { Run(c, index); });
  }

  uint16_t port() const { return peer_->port(); }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
  }
  std::string LastRequest() {
    std::lock_guard<std::mutex> lock(lock_);
    return last_;
  }

 private:
  void Run(PeerConnection& c, int index) {
    std::string request;
    while (c.ReadUntil("\r\n\r\n", &request)) {
      std::string summary = Summarise(request);
      {
        std::lock_guard<std::mutex> lock(lock_);
        requests_.push_back(summary);
        last_ = request;
      }
      std::string reply = answer_(summary, index);
      if (reply.empty() || !c.Write(reply)) return;
      if (reply.compare(0, 12, "HTTP/1.1 200") == 0) {
        if (afterTunnel_) {
          afterTunnel_(c, index);
        } else {
          c.EchoUntilClosed();
        }
        return;
      }
    }
  }

  Answer answer_;
  AfterTunnel afterTunnel_;
  std::mutex lock_;
  std::vector<std::string> requests_;
  std::string last_;
  std::unique_ptr<ScriptedPeer> peer_;
};

std::string RefuseAll(const std::string& summary, int) {
  return summary.compare(0, 2, "N1") == 0 ? k407Challenge : k407Basic;
}

TEST_F(TunnelTest, HttpRefusedEverywhereTriesEveryMethodOnBothPorts) {
  const struct {
    uint16_t target;
    std::vector<std::string> order;
  } kCases[] = {
      {7000, {"A 7000", "A 443", "B 7000", "B 443", "N1 7000", "N2 7000", "N1 443", "N2 443"}},
      {443, {"A 443", "B 443", "N1 443", "N2 443"}},
  };
  for (const auto& c : kCases) {
    ForgetHttpProxyChoice();
    sink_.events.clear();
    HttpScript proxy(RefuseAll);
    ITransport* tunnel = NewTunnel(kHttpProxyId, Settings(proxy.port(), "User", "Password",
                                                          "Domain"));
    ASSERT_EQ(tunnel->Connect("127.0.0.1", c.target), 1);
    ASSERT_TRUE(WaitForEvents(1));
    gavio_test::PumpFor(kQuietMs);
    EXPECT_EQ(proxy.Requests(), c.order);
    EXPECT_EQ(sink_.events, std::vector<std::string>{"fail " + std::to_string(0x2C00000D)});
    EXPECT_EQ(HttpProxyRememberedMethod(), -1);
  }
}

TEST_F(TunnelTest, HttpNtlmAcceptedOnTheTargetPortAfterItsChallenge) {
  HttpScript proxy([](const std::string& summary, int) -> std::string {
    if (summary.compare(0, 2, "N2") == 0) return k200;
    return summary.compare(0, 2, "N1") == 0 ? k407Challenge : k407Basic;
  });
  ITransport* tunnel = NewTunnel(kHttpProxyId, Settings(proxy.port(), "User", "Password",
                                                        "Domain"));
  ASSERT_EQ(tunnel->Connect("127.0.0.1", 7000), 1);
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(sink_.events, std::vector<std::string>{"success"});
  EXPECT_EQ(proxy.Requests(), (std::vector<std::string>{"A 7000", "A 443", "B 7000", "B 443",
                                                        "N1 7000", "N2 7000"}));
  EXPECT_EQ(HttpProxyRememberedMethod(), 3);
  EXPECT_NE(proxy.LastRequest().find("CONNECT 127.0.0.1:7000 HTTP/1.1\r\nHost: 127.0.0.1:7000\r\n"
                                     "Proxy-Authorization: NTLM TlRMTVNTUAAD"),
            std::string::npos);
  ExpectEcho(tunnel, "through the tunnel");
}

TEST_F(TunnelTest, HttpRemembersTheMethodForLaterTunnels) {
  HttpScript proxy([](const std::string& summary, int) -> std::string {
    return summary[0] == 'B' ? k200 : k407Basic;
  });
  ITransport* first = NewTunnel(kHttpProxyId, Settings(proxy.port(), "bob", "secret"));
  ASSERT_EQ(first->Connect("127.0.0.1", 7000), 1);
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(sink_.events, std::vector<std::string>{"success"});
  EXPECT_EQ(proxy.Requests(), (std::vector<std::string>{"A 7000", "A 443", "B 7000"}));
  EXPECT_NE(proxy.LastRequest().find("Proxy-Authorization: Basic Ym9iOnNlY3JldA==\r\n"),
            std::string::npos);
  EXPECT_EQ(HttpProxyRememberedMethod(), 2);
  EXPECT_FALSE(HttpProxyRemembersPort443());

  // A later tunnel in the process goes straight to Basic.
  RecordingSink second;
  ITransport* later = NewTunnel(kHttpProxyId, Settings(proxy.port(), "bob", "secret"), &second);
  ASSERT_EQ(later->ConnectIP(htonl(0x7F000001), 7001), 1);
  ASSERT_TRUE(WaitForEvents(1, &second));
  EXPECT_EQ(second.events, std::vector<std::string>{"success"});
  EXPECT_EQ(proxy.Requests().back(), "B 7001");
  EXPECT_EQ(proxy.Requests().size(), 4u);
}

TEST_F(TunnelTest, HttpTunnelThatClosesIsReopenedOn443) {
  HttpScript proxy([](const std::string&, int) -> std::string { return k200; },
                   [](PeerConnection& c, int index) {
                     if (index == 0) return c.Close();
                     c.EchoUntilClosed();
                   });
  ITransport* tunnel = NewTunnel(kHttpProxyId, Settings(proxy.port()));
  ASSERT_EQ(tunnel->Connect("127.0.0.1", 7000), 1);
  ASSERT_TRUE(WaitForEvents(2));
  gavio_test::PumpFor(kQuietMs);
  EXPECT_EQ(sink_.events, (std::vector<std::string>{"success", "success"}));
  EXPECT_EQ(proxy.Requests(), (std::vector<std::string>{"A 7000", "A 443"}));
  ExpectEcho(tunnel, "after the reopen");
}

TEST_F(TunnelTest, HttpTunnelBytesInTheReplysReadReachTheCaller) {
  // The server speaks first and the proxy's 200 and those bytes arrive in
  // one read: the bytes after the blank line are tunnel data.
  HttpScript proxy([](const std::string&, int) -> std::string {
    return std::string(k200) + "server first";
  });
  ITransport* tunnel = NewTunnel(kHttpProxyId, Settings(proxy.port()));
  ASSERT_EQ(tunnel->Connect("127.0.0.1", 7000), 1);
  ASSERT_TRUE(WaitForReceived("server first")) << sink_.received;
  EXPECT_EQ(sink_.events, std::vector<std::string>{"success"});
}

TEST_F(TunnelTest, HttpMalformedRepliesCountAsRefusals) {
  // Garbage, a status line cut before its code, a NUL inside the code, a
  // challenge that is not Base64 NTLM: each ends its attempt, none reads
  // past what arrived, and the order of attempts goes on.
  const char* const kReplies[] = {"garbage\r\n\r\n", "HTTP/1.1\r\n\r\n",
                                  "HTTP/1.1 2\0000 OK\r\n\r\n", "\r\n\r\n"};
  for (const char* reply : kReplies) {
    ForgetHttpProxyChoice();
    sink_.events.clear();
    std::string text(reply, reply[0] == 'H' && reply[9] == '2' ? 19 : strlen(reply));
    HttpScript proxy([text](const std::string& summary, int) -> std::string {
      if (summary.compare(0, 2, "N1") == 0) {
        return "HTTP/1.1 407 X\r\nProxy-Authenticate: NTLM ###\r\n\r\n";
      }
      return text;
    });
    ITransport* tunnel = NewTunnel(kHttpProxyId, Settings(proxy.port(), "u", "p"));
    ASSERT_EQ(tunnel->Connect("127.0.0.1", 7000), 1);
    ASSERT_TRUE(WaitForEvents(1));
    EXPECT_EQ(sink_.events, std::vector<std::string>{"fail " + std::to_string(0x2C00000D)});
    EXPECT_EQ(proxy.Requests(), (std::vector<std::string>{"A 7000", "A 443", "B 7000", "B 443",
                                                          "N1 7000", "N1 443"}));
  }
}

TEST_F(TunnelTest, UnreachableProxyFailsWithFiveAndNoRetry) {
  for (uint32_t id : {kHttpProxyId, kSocks5ProxyId}) {
    sink_.events.clear();
    ITransport* tunnel = NewTunnel(id, Settings(proxy_test::UnusedPort()));
    ASSERT_EQ(tunnel->Connect("127.0.0.1", 7000), 1);
    ASSERT_TRUE(WaitForEvents(1));
    gavio_test::PumpFor(kQuietMs);
    EXPECT_EQ(sink_.events, std::vector<std::string>{"fail 5"}) << id;
  }
}

TEST_F(TunnelTest, BadArgumentsAreRefusedWithInvalidParameter) {
  for (uint32_t id : {kHttpProxyId, kSocks5ProxyId}) {
    auto* tunnel = static_cast<ITransport*>(HostCreateComponent(id, 0));
    ASSERT_NE(tunnel, nullptr);
    tunnels_.push_back(tunnel);
    ProxySettings settings = Settings(1080);
    EXPECT_EQ(tunnel->Create(nullptr, &sink_), 0);
    EXPECT_EQ(GetLastError(), 87u);
    ASSERT_EQ(tunnel->Create(&settings, &sink_), 1);
    const std::string longHost(40, 'h');
    EXPECT_EQ(tunnel->Connect(nullptr, 80), 0);
    EXPECT_EQ(tunnel->Connect(longHost.c_str(), 80), 0);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(tunnel->Connect("127.0.0.1", 0), 0);
    EXPECT_EQ(tunnel->Send(nullptr, 4), 0);
    EXPECT_EQ(tunnel->Send("x", 0), 0);
    EXPECT_EQ(GetLastError(), 87u);
    ProxySettings noProxy = Settings(0);
    ASSERT_EQ(tunnel->Create(&noProxy, &sink_), 1);
    EXPECT_EQ(tunnel->Connect("127.0.0.1", 80), 0);
  }
  EXPECT_TRUE(sink_.events.empty());
}

// ---------------------------------------------------------------------------
// SOCKS5 tunnel against a scripted proxy

const std::string kConnectOk("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10);

// A scripted SOCKS5 proxy: the bytes of each connection's first message
// and connect request are recorded; replies come from the script.
class SocksScript {
 public:
  struct Replies {
    std::string method;   // answer to the method request
    std::string auth;     // answer to the user name and password, if asked
    std::string connect;  // answer to the connect request
  };
  using Choose = std::function<Replies(int connection)>;

  explicit SocksScript(Choose choose) : choose_(std::move(choose)) {
    peer_ = std::make_unique<ScriptedPeer>([this](PeerConnection& c, int index) { Run(c, index); });
  }
  uint16_t port() const { return peer_->port(); }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(lock_);
    return seen_;
  }

 private:
  void Note(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(lock_);
    seen_.push_back(bytes);
  }

  void Run(PeerConnection& c, int index) {
    Replies replies = choose_(index);
    std::string head;
    if (!c.ReadBytes(2, &head)) return;
    std::string methods;
    if (!c.ReadBytes(static_cast<uint8_t>(head[1]), &methods)) return;
    Note(head + methods);
    if (!c.Write(replies.method)) return;
    if (replies.method.size() == 2 && replies.method[1] == '\x02') {
      std::string auth;
      std::string length;
      if (!c.ReadBytes(2, &auth) || !c.ReadBytes(static_cast<uint8_t>(auth[1]) + 1, &length)) {
        return;
      }
      std::string password;
      if (!c.ReadBytes(static_cast<uint8_t>(length.back()), &password)) return;
      Note(auth + length + password);
      if (!c.Write(replies.auth)) return;
    }
    std::string request;
    if (!c.ReadBytes(10, &request)) return;
    Note(request);
    if (!c.Write(replies.connect) || replies.connect != kConnectOk) return;
    c.EchoUntilClosed();
  }

  Choose choose_;
  std::mutex lock_;
  std::vector<std::string> seen_;
  std::unique_ptr<ScriptedPeer> peer_;
};

const std::string kCProxyNoAuth("\x05\x01\x00", 3);
const std::string kSuperProxyRequest("\x05\x02\x00\x02", 4);
const std::string kConnectTo8080("\x05\x01\x00\x01\x7f\x00\x00\x01\x1f\x90", 10);

TEST_F(TunnelTest, Socks5RefusedMethodFallsBackToSuperProxyWhichIsRemembered) {
  SocksScript proxy([](int connection) {
    if (connection == 0) return SocksScript::Replies{std::string("\x05\xff", 2), "", ""};
    return SocksScript::Replies{std::string("\x05\x00", 2), "", kConnectOk};
  });
  ITransport* tunnel = NewTunnel(kSocks5ProxyId, Settings(proxy.port()));
  ASSERT_EQ(tunnel->Connect("127.0.0.1", 8080), 1);
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(sink_.events, std::vector<std::string>{"success"});
  EXPECT_EQ(proxy.Seen(),
            (std::vector<std::string>{kCProxyNoAuth, kSuperProxyRequest, kConnectTo8080}));
  EXPECT_EQ(Socks5RememberedVariant(), 2);
  EXPECT_TRUE(Socks5HasSucceeded());
  ExpectEcho(tunnel, "socks data");

  // The next tunnel of the process opens with the SuperProxy request.
  RecordingSink second;
  ITransport* later = NewTunnel(kSocks5ProxyId, Settings(proxy.port()), &second);
  ASSERT_EQ(later->Connect("127.0.0.1", 8080), 1);
  ASSERT_TRUE(WaitForEvents(1, &second));
  EXPECT_EQ(proxy.Seen()[3], kSuperProxyRequest);
}

TEST_F(TunnelTest, Socks5BadRepliesEndInTheDocumentedFailures) {
  const std::string cut("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f", 9);
  const std::string refused("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10);
  const struct {
    SocksScript::Replies cproxy, superProxy;
    const char* user;
    std::string event;
  } kCases[] = {
      // A cut connect reply in both variants.
      {{std::string("\x05\x00", 2), "", cut}, {std::string("\x05\x00", 2), "", cut}, "", "fail 4"},
      // The connect refused, then the SuperProxy method answer too long.
      {{std::string("\x05\x00", 2), "", refused},
       {std::string("\x05\x00\x00", 3), "", ""},
       "",
       "fail 4"},
      // SuperProxy wants its own 05 00 after the user name and password.
      {{std::string("\x05\x02", 2), std::string("\x01\x01", 2), ""},
       {std::string("\x05\x02", 2), std::string("\x01\x00", 2), ""},
       "bob",
       "fail 3"},
      // The proxy asks for a user name and password that were not given.
      {{std::string("\x05\x00", 2), "", cut}, {std::string("\x05\x02", 2), "", ""}, "", "fail 3"},
      // No acceptable method in either variant.
      {{std::string("\x05\xff", 2), "", ""}, {std::string("\x05\xff", 2), "", ""}, "", "fail 4"},
  };
  for (const auto& c : kCases) {
    ForgetSocks5Choice();
    sink_.events.clear();
    SocksScript proxy([&c](int connection) { return connection == 0 ? c.cproxy : c.superProxy; });
    ITransport* tunnel = NewTunnel(kSocks5ProxyId, Settings(proxy.port(), c.user, "pw"));
    ASSERT_EQ(tunnel->Connect("127.0.0.1", 8080), 1);
    ASSERT_TRUE(WaitForEvents(1)) << c.event;
    gavio_test::PumpFor(kQuietMs);
    EXPECT_EQ(sink_.events, std::vector<std::string>{c.event});
    EXPECT_EQ(Socks5RememberedVariant(), 1);
  }
}

TEST_F(TunnelTest, Socks5ResolvesATargetNameBeforeTheConnectRequest) {
  SocksScript proxy([](int) {
    return SocksScript::Replies{std::string("\x05\x02", 2), std::string("\x01\x00", 2),
                                kConnectOk};
  });
  ITransport* tunnel = NewTunnel(kSocks5ProxyId, Settings(proxy.port(), "bob", "secret"));
  ASSERT_EQ(tunnel->Connect("localhost", 8080), 1);
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(sink_.events, std::vector<std::string>{"success"});
  EXPECT_EQ(proxy.Seen(), (std::vector<std::string>{std::string("\x05\x01\x02", 3),
                                                    std::string("\x01\x03" "bob" "\x06" "secret"),
                                                    kConnectTo8080}));
}

TEST_F(TunnelTest, DestroyFromInsideEveryEventIsSafe) {
  HttpScript proxy([](const std::string&, int) -> std::string { return k200; });
  HttpScript closing([](const std::string&, int) -> std::string { return k200; },
                     [](PeerConnection& c, int) { c.Close(); });
  // Destroyed in OnConnectSuccess, OnReceived, OnConnectFail, OnClosed.
  const struct {
    uint16_t proxyPort;
    bool send;
    const char* event;
  } kCases[] = {
      {proxy.port(), false, "success"},
      {proxy.port(), true, "received"},
      {proxy_test::UnusedPort(), false, "fail 5"},
  };
  for (const auto& c : kCases) {
    ForgetHttpProxyChoice();
    RecordingSink sink;
    auto* tunnel = static_cast<ITransport*>(HostCreateComponent(kHttpProxyId, 0));
    ASSERT_NE(tunnel, nullptr);
    ProxySettings settings = Settings(c.proxyPort);
    ASSERT_EQ(tunnel->Create(&settings, &sink), 1);
    bool destroyed = false;
    sink.onEvent = [&](const std::string& event) {
      if (c.send && event == "success") {
        tunnel->Send("ping", 4);
      } else if (!destroyed && event == c.event) {
        tunnel->Destroy(0);
        destroyed = true;
      }
    };
    sink.onReceived = [&] {
      if (!destroyed && std::string(c.event) == "received") {
        tunnel->Destroy(0);
        destroyed = true;
      }
    };
    ASSERT_EQ(tunnel->Connect("127.0.0.1", 7000), 1);
    EXPECT_TRUE(gavio_test::PumpUntil([&] { return destroyed; }, kEventLimitMs)) << c.event;
    gavio_test::PumpFor(kQuietMs);
    if (!destroyed) tunnel->Destroy(0);
  }
  // The SOCKS5 tunnel destroyed in its success and in its data.
  SocksScript socks([](int) {
    return SocksScript::Replies{std::string("\x05\x00", 2), "", kConnectOk};
  });
  for (bool inData : {false, true}) {
    RecordingSink sink;
    auto* tunnel = static_cast<ITransport*>(HostCreateComponent(kSocks5ProxyId, 0));
    ProxySettings socksSettings = Settings(socks.port());
    ASSERT_EQ(tunnel->Create(&socksSettings, &sink), 1);
    bool destroyed = false;
    auto destroy = [&] {
      tunnel->Destroy(0);
      destroyed = true;
    };
    sink.onEvent = [&](const std::string&) {
      if (inData) {
        tunnel->Send("ping", 4);
      } else {
        destroy();
      }
    };
    sink.onReceived = [&] {
      if (!destroyed) destroy();
    };
    ASSERT_EQ(tunnel->Connect("127.0.0.1", 8080), 1);
    EXPECT_TRUE(gavio_test::PumpUntil([&] { return destroyed; }, kEventLimitMs));
    if (!destroyed) tunnel->Destroy(0);
  }
  // A closing tunnel with nothing left to try: OnClosed is the last event.
  ForgetHttpProxyChoice();
  RecordingSink sink;
  auto* tunnel = static_cast<ITransport*>(HostCreateComponent(kHttpProxyId, 0));
  ProxySettings settings = Settings(closing.port());
  ASSERT_EQ(tunnel->Create(&settings, &sink), 1);
  bool destroyed = false;
  sink.onEvent = [&](const std::string& event) {
    if (event.compare(0, 6, "closed") == 0) {
      tunnel->Destroy(0);
      destroyed = true;
    }
  };
  ASSERT_EQ(tunnel->Connect("127.0.0.1", 443), 1);
  EXPECT_TRUE(gavio_test::PumpUntil([&] { return destroyed; }, kEventLimitMs));
  if (!destroyed) tunnel->Destroy(0);
}

// ---------------------------------------------------------------------------
// Real proxies

TEST_F(TunnelTest, SquidTunnelsWithNoBasicAndNtlmAuthentication) {
  ASSERT_TRUE(proxy_test::SquidProxy::Available()) << "squid is not installed (scripts/setup.sh)";
  auto echo = proxy_test::StartEchoServer();
  const struct {
    proxy_test::SquidAuth auth;
    int method;
  } kCases[] = {
      {proxy_test::SquidAuth::kNone, 1},
      {proxy_test::SquidAuth::kBasic, 2},
      {proxy_test::SquidAuth::kNtlm, 3},
  };
  for (const auto& c : kCases) {
    ForgetHttpProxyChoice();
    sink_.events.clear();
    proxy_test::SquidProxy squid;
    ASSERT_TRUE(squid.Start(c.auth, "bob", "secret")) << squid.Log();
    ITransport* tunnel = NewTunnel(kHttpProxyId, Settings(squid.port(), "bob", "secret", "HOME"));
    ASSERT_EQ(tunnel->Connect("127.0.0.1", echo->port()), 1);
    ASSERT_TRUE(WaitForEvents(1)) << squid.Log();
    EXPECT_EQ(sink_.events, std::vector<std::string>{"success"}) << squid.Log();
    EXPECT_EQ(HttpProxyRememberedMethod(), c.method);
    ExpectEcho(tunnel, "through squid " + std::to_string(c.method));
    tunnel->Destroy(0);
    Forget(tunnel);
  }
}

TEST_F(TunnelTest, MicrosocksTunnelsWithAndWithoutUserAndPassword) {
  ASSERT_TRUE(proxy_test::SocksServer::Available())
      << "microsocks is not installed (scripts/setup.sh)";
  auto echo = proxy_test::StartEchoServer();
  const struct {
    const char* user;
    const char* password;
  } kCases[] = {{"", ""}, {"bob", "secret"}};
  for (const auto& c : kCases) {
    ForgetSocks5Choice();
    sink_.events.clear();
    proxy_test::SocksServer socks;
    ASSERT_TRUE(socks.Start(c.user, c.password));
    ITransport* tunnel = NewTunnel(kSocks5ProxyId, Settings(socks.port(), c.user, c.password));
    ASSERT_EQ(tunnel->Connect("127.0.0.1", echo->port()), 1);
    ASSERT_TRUE(WaitForEvents(1));
    EXPECT_EQ(sink_.events, std::vector<std::string>{"success"}) << c.user;
    EXPECT_EQ(Socks5RememberedVariant(), 1);
    ExpectEcho(tunnel, std::string("through microsocks ") + c.user);
    tunnel->Destroy(0);
    Forget(tunnel);
  }
}

}  // namespace
}  // namespace gavio
