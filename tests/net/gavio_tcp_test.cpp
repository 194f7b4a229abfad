// "gavio tcp" end to end: the tool as a person runs it, directly and
// through both kinds of proxy, against an echo server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gavio/ids.h"
#include "frame/instances.h"
#include "host/registration_table.h"
#include "proxy_peers.h"
#include "support/test_support.h"

namespace {

TEST(GavioTcpCommand, LinesGoOutAndTheEchoIsPrinted) {
  gavio::IComponent* tcp = gavio::HostCreateComponent(gavio::kTcpClientId, 0);
  if (tcp == nullptr) GTEST_SKIP() << "this build has no TCP client (53)";
  tcp->Destroy(0);
  auto echo = proxy_test::StartEchoServer();
  proxy_test::SocksServer socks;
  ASSERT_TRUE(socks.Start("bob", "secret"));
  proxy_test::SquidProxy squid;
  ASSERT_TRUE(squid.Start(proxy_test::SquidAuth::kBasic, "bob", "secret")) << squid.Log();
  const std::string tool = gavio_test::BuildDir() + "/gavio";
  const std::string target = std::to_string(echo->port());
  const std::vector<std::vector<std::string>> kRoutes = {
      {},
      {"--socks5-proxy", "127.0.0.1:" + std::to_string(socks.port()), "--user", "bob",
       "--password", "secret"},
      {"--http-proxy=127.0.0.1:" + std::to_string(squid.port()), "--user=bob",
       "--password=secret"},
  };
  for (const auto& route : kRoutes) {
    std::vector<std::string> argv = {tool, "tcp", "-q", "--wait", "1000"};
    argv.insert(argv.end(), route.begin(), route.end());
    argv.insert(argv.end(), {"127.0.0.1", target});
    std::string output;
    EXPECT_EQ(proxy_test::RunProgram(argv, "first line\nsecond line\n", &output), 0)
        << (route.empty() ? "direct" : route[0]);
    EXPECT_EQ(output, "first line\nsecond line\n") << (route.empty() ? "direct" : route[0]);
  }
  std::string output;
  EXPECT_EQ(proxy_test::RunProgram({tool, "tcp", "127.0.0.1"}, "", &output), 2);
  EXPECT_EQ(proxy_test::RunProgram({tool, "tcp", "--http-proxy", "nonsense", "h", "1"}, "",
                                   &output),
            2);
  EXPECT_EQ(proxy_test::RunProgram(
                {tool, "tcp", "-q", "127.0.0.1", std::to_string(proxy_test::UnusedPort())}, "",
                &output),
            1);
}

}  // namespace
