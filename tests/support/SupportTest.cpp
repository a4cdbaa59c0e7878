// Checks of the test support itself, so that a broken CI machine (a server missing or
// unable to start, curl missing) shows up here with a clear message.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/support/FtpServers.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TempDir.h"

namespace veldra::test {
namespace {

// A tiny blocking client for the scripted server checks.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool Connected() const { return connected_; }
  void Send(const std::string& s) { ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
  // One line (without CR LF), "" on time-out or close.
  std::string Line() {
    for (int i = 0; i < 100; ++i) {
      auto nl = buf_.find("\r\n");
      if (nl != std::string::npos) {
        std::string l = buf_.substr(0, nl);
        buf_.erase(0, nl + 2);
        return l;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      char b[1024];
      ssize_t n = ::recv(fd_, b, sizeof b, 0);
      if (n <= 0) return "";
      buf_.append(b, static_cast<std::size_t>(n));
    }
    return "";
  }
  // Reads to the end; errnoOut gets the error of a failed recv (0 on a clean end).
  std::string ReadAll(int& errnoOut) {
    std::string out;
    errnoOut = 0;
    for (int i = 0; i < 200; ++i) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      char b[65536];
      ssize_t n = ::recv(fd_, b, sizeof b, 0);
      if (n < 0) {
        errnoOut = errno;
        return out;
      }
      if (n == 0) return out;
      out.append(b, static_cast<std::size_t>(n));
    }
    errnoOut = ETIMEDOUT;
    return out;
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string buf_;
};

int PassivePort(const std::string& reply) {
  int h1, h2, h3, h4, p1, p2;
  auto open = reply.find('(');
  if (open == std::string::npos ||
      std::sscanf(reply.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
    return -1;
  return p1 * 256 + p2;
}

TEST(TempDirTest, FilesChecksumsAndRemoval) {
  std::string path;
  {
    TempDir dir;
    path = dir.Path();
    std::string data = PatternBytes(300000, 7);
    WriteFile(dir / "a/b/c.bin", data);
    EXPECT_EQ(ReadFile(dir / "a/b/c.bin"), data);
    EXPECT_EQ(ChecksumOfFile(dir / "a/b/c.bin"), ChecksumOf(data));
    EXPECT_NE(ChecksumOf(data), ChecksumOf(PatternBytes(300000, 8)));
    AppendFile(dir / "a/b/c.bin", "tail");
    EXPECT_EQ(ReadFile(dir / "a/b/c.bin"), data + "tail");
    MakeSparseFile(dir / "sparse", 5ULL << 30, (4ULL << 30) + 17, "MARK");
    EXPECT_EQ(FileSize(dir / "sparse"), 5ULL << 30);
    EXPECT_THROW(ReadFile(dir / "missing"), std::runtime_error);
  }
  EXPECT_FALSE(Exists(path));
}

class RealServerTest : public ::testing::TestWithParam<ServerKind> {};

// Login, upload, list, download and delete with curl; then stop and restart on the same port.
TEST_P(RealServerTest, StartsServesCurlAndRestarts) {
  TempDir root("veldra-root");
  WriteFile(root / "hello name.txt", "hello\n");
  auto server = StartServer(GetParam(), root.Path());
  ASSERT_GT(server->Port(), 1024);
  TempDir work;
  std::string upload = PatternBytes(1 << 20, 3);
  WriteFile(work / "up.bin", upload);
  const std::string base = server->Url();
  ASSERT_EQ(RunProgram({"curl", "-sS", "--max-time", "20", "-T", work / "up.bin",
                        base + "sub/up.bin", "--ftp-create-dirs"},
                       "", work / "curl.log"),
            0)
      << ReadFile(work / "curl.log") << server->LogText();
  EXPECT_EQ(ChecksumOfFile(root / "sub/up.bin"), ChecksumOf(upload));
  ASSERT_EQ(RunProgram({"curl", "-sS", "--max-time", "20", "-o", work / "list.txt", base}, "",
                       work / "curl.log"),
            0)
      << ReadFile(work / "curl.log");
  EXPECT_NE(ReadFile(work / "list.txt").find("hello name.txt"), std::string::npos);
  // Active mode too (PORT), as the drive uses it with /NOPASSIVE.
  ASSERT_EQ(RunProgram({"curl", "-sS", "--max-time", "20", "-P", "127.0.0.1", "-o",
                        work / "down.bin", base + "sub/up.bin"},
                       "", work / "curl.log"),
            0)
      << ReadFile(work / "curl.log");
  EXPECT_EQ(ChecksumOfFile(work / "down.bin"), ChecksumOf(upload));
  EXPECT_NE(RunProgram({"curl", "-sS", "--max-time", "20", "-u", server->User() + ":wrong",
                        "ftp://127.0.0.1:" + std::to_string(server->Port()) + "/"}),
            0);

  const int port = server->Port();
  server->Stop();
  EXPECT_NE(RunProgram({"curl", "-sS", "--max-time", "5", base}), 0);
  server->Restart();
  EXPECT_EQ(server->Port(), port);
  ASSERT_EQ(RunProgram({"curl", "-sS", "--max-time", "20", "-o", work / "again.txt",
                        base + "hello%20name.txt"},
                       "", work / "curl.log"),
            0)
      << ReadFile(work / "curl.log");
  EXPECT_EQ(ReadFile(work / "again.txt"), "hello\n");
}

INSTANTIATE_TEST_SUITE_P(AllServers, RealServerTest,
                         ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd,
                                           ServerKind::PureFtpd, ServerKind::Proftpd),
                         [](const auto& info) {
                           std::string n = KindName(info.param);
                           n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                           return n;
                         });

class ServerOptionsTest : public ::testing::TestWithParam<ServerKind> {};

// Anonymous read-only access and the idle time-out, as the fault cases rely on them.
TEST_P(ServerOptionsTest, AnonymousReadOnlyAndIdleTimeout) {
  TempDir root("veldra-root");
  WriteFile(root / "pub.txt", "public\n");
  ServerOptions o;
  o.anonymous = true;
  o.allowWrite = false;
  o.idleTimeoutSeconds = 2;
  auto server = StartServer(GetParam(), root.Path(), o);
  TempDir work;
  const std::string anon = "ftp://127.0.0.1:" + std::to_string(server->Port()) + "/";
  ASSERT_EQ(
      RunProgram({"curl", "-sS", "--max-time", "20", "-o", work / "pub.txt", anon + "pub.txt"}, "",
                 work / "curl.log"),
      0)
      << ReadFile(work / "curl.log") << server->LogText();
  EXPECT_EQ(ReadFile(work / "pub.txt"), "public\n");
  WriteFile(work / "up.txt", "x");
  EXPECT_NE(RunProgram({"curl", "-sS", "--max-time", "20", "-T", work / "up.txt",
                        server->Url() + "up.txt"}),
            0);
  EXPECT_FALSE(Exists(root / "up.txt"));

  RawClient c(server->Port());
  ASSERT_TRUE(c.Connected());
  std::string greeting;
  for (int i = 0; i < 20 && greeting.rfind("220 ", 0) != 0; ++i) greeting = c.Line();
  c.Send("USER " + server->User() + "\r\n");
  EXPECT_EQ(c.Line().substr(0, 3), "331");
  c.Send("PASS " + server->Password() + "\r\n");
  std::string reply;
  for (int i = 0; i < 20 && reply.rfind("230 ", 0) != 0; ++i) reply = c.Line();
  ASSERT_EQ(reply.substr(0, 4), "230 ");
  int err = 0;
  c.ReadAll(err);  // returns when the server hangs up (10 s at most)
  EXPECT_NE(err, ETIMEDOUT) << "the server did not close the idle session";
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerOptionsTest,
                         ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd,
                                           ServerKind::Proftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

TEST(ScriptedServerTest, RecordsCommandsAndMovesData) {
  const std::string payload = PatternBytes(200000, 5);
  ScriptedFtpServer server([&](ScriptedSession& s) {
    s.Greet();
    s.AcceptLogin();
    s.Expect("PASV");
    s.Send(s.OpenPassive());
    s.Expect("RETR file");
    if (!s.AcceptData()) return;
    s.Send("150 here it comes");
    s.SendData(payload);
    s.CloseData();
    s.Send("226 done");
    s.Expect("PASV");
    s.Send(s.OpenPassive());
    s.Expect("RETR broken");
    if (!s.AcceptData()) return;
    s.Send("150 here it comes");
    s.SendData(payload.substr(0, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.ResetData();
    s.Send("426 reset");
    s.Expect("QUIT");
    s.Send("221 bye");
  });
  RawClient c(server.Port());
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Line().substr(0, 3), "220");
  c.Send("USER u\r\n");
  EXPECT_EQ(c.Line().substr(0, 3), "331");
  c.Send("PASS p\r\n");
  EXPECT_EQ(c.Line().substr(0, 3), "230");
  for (const std::string name : {"file", "broken"}) {
    c.Send("PASV\r\n");
    int port = PassivePort(c.Line());
    ASSERT_GT(port, 0);
    RawClient d(port);
    ASSERT_TRUE(d.Connected());
    c.Send("RETR " + name + "\r\n");
    EXPECT_EQ(c.Line().substr(0, 3), "150");
    int err = 0;
    std::string got = d.ReadAll(err);
    if (name == "file") {
      EXPECT_EQ(err, 0);
      EXPECT_EQ(got, payload);
      EXPECT_EQ(c.Line().substr(0, 3), "226");
    } else {
      EXPECT_EQ(err, ECONNRESET);
      EXPECT_LT(got.size(), payload.size());
      EXPECT_EQ(c.Line().substr(0, 3), "426");
    }
  }
  c.Send("QUIT\r\n");
  EXPECT_EQ(c.Line().substr(0, 3), "221");
  ASSERT_TRUE(server.WaitSessionsFinished(1));
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER u", "PASS p", "PASV", "RETR file",
                                                         "PASV", "RETR broken", "QUIT"}));
  EXPECT_TRUE(server.Mismatches().empty());
}

TEST(ScriptedServerTest, MismatchesAreVisibleAndDestructionEndsStuckSessions) {
  auto server = std::make_unique<ScriptedFtpServer>([](ScriptedSession& s) {
    s.Greet();
    s.Expect("USER *");
    s.ReadCommand(60000);  // stuck until the server is destroyed
  });
  RawClient c(server->Port());
  ASSERT_TRUE(c.Connected());
  c.Line();
  c.Send("NOOP\r\n");
  ASSERT_TRUE(server->WaitForCommand("NOOP"));
  // The mismatch is recorded just after the command: allow it a moment (bounded).
  auto mism = server->Mismatches();
  for (int i = 0; i < 100 && mism.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    mism = server->Mismatches();
  }
  ASSERT_EQ(mism.size(), 1u);
  EXPECT_NE(mism[0].find("got 'NOOP'"), std::string::npos);
  server.reset();  // must return promptly although the handler waits for 60 s
  int err = 0;
  c.ReadAll(err);
  EXPECT_EQ(err, 0);
}

TEST(ScriptedServerTest, ActiveModeConnectsBack) {
  ScriptedFtpServer server([](ScriptedSession& s) {
    s.Greet();
    std::string host;
    int port = 0;
    std::string cmd = s.ReadCommand();
    if (!ScriptedSession::ParsePort(cmd, host, port) || !s.ConnectActive(host, port)) {
      s.Send("425 cannot connect");
      return;
    }
    s.Send("200 PORT ok");
    s.SendData("active bytes");
    s.CloseData();
  });
  int lport = 0;
  int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::listen(l, 1);
  ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  lport = ntohs(a.sin_port);
  RawClient c(server.Port());
  c.Line();
  c.Send("PORT 127,0,0,1," + std::to_string(lport / 256) + "," + std::to_string(lport % 256) +
         "\r\n");
  pollfd p{l, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  int d = ::accept(l, nullptr, nullptr);
  char buf[64] = {};
  ssize_t n = 0, k;
  while ((k = ::recv(d, buf + n, sizeof buf - 1 - n, 0)) > 0) n += k;
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "active bytes");
  EXPECT_EQ(c.Line(), "200 PORT ok");
  ::close(d);
  ::close(l);
}

}  // namespace
}  // namespace veldra::test
