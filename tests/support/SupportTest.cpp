// One smoke check per server, so that a machine where one is missing or cannot start (or curl
// is missing) says so here, plainly, rather than through the suites that use them.
#include <gtest/gtest.h>

#include "platform/Socket.h"
#include "tests/support/FtpServers.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TempDir.h"

namespace veldra::test {
namespace {

class ServerSmoke : public ::testing::TestWithParam<ServerKind> {};

TEST_P(ServerSmoke, TakesAndGivesAFile) {
  TempDir root("veldra-root");
  TempDir work;
  WriteFile(work / "up.bin", PatternBytes(1 << 20, 3));
  auto server = StartServer(GetParam(), root.Path());
  const CommandResult up = RunCommand(
      {"curl", "-sS", "--max-time", "20", "-T", work / "up.bin", server->Url() + "up%20x.bin"});
  ASSERT_EQ(up.status, 0) << up.Text() << server->LogText();
  EXPECT_EQ(ChecksumOfFile(root / "up x.bin"), ChecksumOfFile(work / "up.bin"));
  const CommandResult down = RunCommand(
      {"curl", "-sS", "--max-time", "20", "-P", "127.0.0.1", server->Url() + "up%20x.bin"}, 60, "",
      true);
  EXPECT_EQ(ChecksumOf(down.output), ChecksumOfFile(work / "up.bin")) << down.err;
}

INSTANTIATE_TEST_SUITE_P(AllServers, ServerSmoke,
                         ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd,
                                           ServerKind::PureFtpd, ServerKind::Proftpd),
                         [](const auto& info) {
                           std::string n = KindName(info.param);
                           n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                           return n;
                         });

// The scripted server records what a script did not expect (its suites rely on that to fail),
// and its destruction ends a session stuck in a long wait.
TEST(ScriptedServerSmoke, RecordsMismatchesAndEndsStuckSessions) {
  auto server = std::make_unique<ScriptedFtpServer>([](ScriptedSession& s) {
    s.Greet();
    s.Expect("USER *");
    s.ReadCommand(60000);
  });
  platform::UniqueSocket client(platform::CreateSocket(platform::kSocketStream, 0));
  ASSERT_EQ(platform::ConnectSocket(client.Get(), 0x7F000001, server->Port()), 0);
  platform::SendSocket(client.Get(), "NOOP\r\n", 6);
  ASSERT_TRUE(WaitUntil([&] { return !server->Mismatches().empty(); }, 5000));
  EXPECT_EQ(server->Mismatches()[0], "session 0: expected 'USER *', got 'NOOP'");
  const auto start = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace veldra::test
