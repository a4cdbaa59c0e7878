// Client connect with and without time-out, port-range binding, listening and accepting.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include "net/IdTCPClient.h"
#include "platform/Socket.h"
#include "tests/net/NetTestUtil.h"

namespace {

// A listener whose accept queue is full: further connects never complete (their SYNs are
// dropped), which is how a server that never answers looks to the client. With a backlog of 0
// the queue holds one connection: once the filler's connect has completed, it is full.
class TFullListener {
 public:
  TFullListener() {
    listenFd_ = veldra::platform::UniqueSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listenFd_.Get(), 0);
    socklen_t len = sizeof sa;
    ::getsockname(listenFd_.Get(), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    filler_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::fcntl(filler_.Get(), F_SETFL, O_NONBLOCK);
    ::connect(filler_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    full_ = veldra::platform::WaitSocketWritable(filler_.Get(), 5000) == 1;
  }
  int Port() const { return port_; }
  bool Full() const { return full_; }

 private:
  veldra::platform::UniqueSocket listenFd_;
  veldra::platform::UniqueSocket filler_;
  int port_ = 0;
  bool full_ = false;
};

// Three consecutive free ports [p-2, p], found by probing; -1 when none was found.
int FreePortTriple() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int top = UnusedPort();
    if (top < 1026) continue;
    TPortHolder a(top), b(top - 1), c(top - 2);
    if (a.Held() && b.Held() && c.Held()) return top;
  }
  return -1;
}

}  // namespace

// --- connect ----------------------------------------------------------------------------

TEST(NetConnect, WithTimeoutSucceedsAndReads) {
  TScriptedPeer peer;
  peer.Send("220 hello\r\n").Hold();
  TIdTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(peer.Start());
  c.SetReadTimeout(10000);
  c.ConnectToHost(25000);
  EXPECT_TRUE(c.IsConnected());
  EXPECT_EQ(c.Binding()->PeerIP(), "127.0.0.1");
  EXPECT_EQ(c.Binding()->PeerPort(), peer.Port());
  EXPECT_EQ(c.Binding()->IP(), "127.0.0.1");
  EXPECT_NE(c.Binding()->Port(), 0);
  EXPECT_EQ(c.ReadLine(), "220 hello");
}

TEST(NetConnect, LocalhostInAnyCaseAndAlreadyConnected) {
  TScriptedPeer peer;
  peer.ReadLine().Send("200 still here\r\n").Hold();
  TIdTCPClient c;
  c.SetHost("LocalHost");
  c.SetPort(peer.Start());
  c.SetReadTimeout(10000);
  c.ConnectToHost();
  try {
    c.ConnectToHost();
    FAIL() << "expected EIdAlreadyConnected";
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_STREQ(e.what(), "Already connected.");
  }
  EXPECT_EQ(c.SendCmd("NOOP", 200), 200);
}

TEST(NetConnect, RefusedWithoutAndWithTimeoutThenReconnect) {
  const int port = UnusedPort();
  TIdTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(port);
  try {
    c.ConnectToHost();
    FAIL() << "expected EIdSocketError";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_FALSE(c.IsConnected());
  TIdIOHandlerSocket* handler = c.IOHandler();
  ASSERT_NE(handler, nullptr);
  try {
    c.ConnectToHost(5000);
    FAIL() << "expected EIdConnectException";
  } catch (const EIdConnectException& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
  }
  // The handler stays and serves the next attempt.
  TScriptedPeer peer;
  peer.Send("ok\n").Hold();
  c.SetPort(peer.Start());
  c.SetReadTimeout(10000);
  c.ConnectToHost(5000);
  EXPECT_EQ(c.IOHandler(), handler);
  EXPECT_EQ(c.ReadLine(), "ok");
  // After CloseConnection a fresh handler is made.
  c.CloseConnection();
  EXPECT_EQ(c.IOHandler(), nullptr);
  EXPECT_FALSE(c.IsConnected());
}

TEST(NetConnect, ServerThatNeverAnswersTimesOutAndClosesTheSocket) {
  TFullListener listener;
  ASSERT_TRUE(listener.Full());
  TIdTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(listener.Port());
  try {
    c.ConnectToHost(300);
    FAIL() << "expected EIdConnectTimeout";
  } catch (const EIdConnectTimeout& e) {
    EXPECT_STREQ(e.what(), "Connect timed out.");
  }
  EXPECT_FALSE(c.IsConnected());
  ASSERT_NE(c.Binding(), nullptr);
  EXPECT_FALSE(c.Binding()->HandleAllocated());
}

TEST(NetConnect, UnresolvableHostRaisesHostNotFound) {
  TIdTCPClient c;
  c.SetHost("");
  c.SetPort(21);
  try {
    c.ConnectToHost();
    FAIL() << "expected EIdSocketError";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
    EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
  }
  EXPECT_FALSE(c.IsConnected());
}

// --- port-range binding -----------------------------------------------------------------

TEST(NetBind, PortRangeSkipsBusyPortsFromTheTop) {
  const int top = FreePortTriple();
  ASSERT_GT(top, 0);
  TScriptedPeer peer;
  peer.Hold();
  TIdTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(peer.Start());
  c.SetBoundPortMin(top - 2);
  c.SetBoundPortMax(top);
  {
    TPortHolder busy(top);
    ASSERT_TRUE(busy.Held());
    c.ConnectToHost();
  }
  EXPECT_EQ(c.Binding()->Port(), top - 1);
}

TEST(NetBind, AllPortsBusyInvalidRangeAndBusyFixedPort) {
  const int top = FreePortTriple();
  ASSERT_GT(top, 0);
  TIdTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(UnusedPort());
  {
    TPortHolder a(top), b(top - 1), d(top - 2);
    c.SetBoundPortMin(top - 2);
    c.SetBoundPortMax(top);
    try {
      c.ConnectToHost();
      FAIL() << "expected EIdCanNotBindPortInRange";
    } catch (const EIdCanNotBindPortInRange& e) {
      EXPECT_EQ(e.Message(), "Can not bind in port range (" + std::to_string(top - 2) + " - " +
                                 std::to_string(top) + ")");
    }
    EXPECT_FALSE(c.IsConnected());

    c.SetBoundPortMin(0);
    c.SetBoundPortMax(0);
    c.SetBoundPort(top);
    try {
      c.ConnectToHost();
      FAIL() << "expected EIdCouldNotBindSocket";
    } catch (const EIdCouldNotBindSocket& e) {
      EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
  }
  c.SetBoundPort(0);
  c.SetBoundPortMin(5002);
  c.SetBoundPortMax(5000);
  try {
    c.ConnectToHost();
    FAIL() << "expected EIdInvalidPortRange";
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_STREQ(e.what(), "Invalid Port Range (5002 - 5000)");
  }
}

// --- listening and accepting --------------------------------------------------------------

TEST(NetListen, ListenAcceptAndTalk) {
  TIdSocketHandle listener;
  listener.AllocateHandle();
  listener.SetIP("127.0.0.1");
  listener.BindLocal();
  listener.StartListen(15);
  ASSERT_NE(listener.Port(), 0);
  EXPECT_FALSE(listener.WaitReadable(0));

  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(listener.Port());
  client.SetReadTimeout(10000);
  client.ConnectToHost();
  ASSERT_TRUE(listener.WaitReadable(10000));

  auto handler = std::make_unique<TIdIOHandlerSocket>();
  handler->Open();
  ASSERT_TRUE(handler->Binding()->AcceptFrom(listener.Handle()));
  EXPECT_EQ(handler->Binding()->PeerPort(), client.Binding()->Port());
  EXPECT_EQ(handler->Binding()->Port(), listener.Port());
  EXPECT_EQ(handler->Binding()->IP(), "127.0.0.1");

  TIdTCPConnection server;
  server.SetIOHandler(handler.get());
  EXPECT_FALSE(server.OwnsIOHandler());
  server.SetReadTimeout(10000);
  server.WriteLine("150 here");
  EXPECT_EQ(client.ReadLine(), "150 here");
  client.WriteLine("thanks");
  EXPECT_EQ(server.ReadLine(), "thanks");

  // The handler is the caller's: destroying it leaves the connection without one.
  handler.reset();
  EXPECT_EQ(server.IOHandler(), nullptr);
  EXPECT_FALSE(server.IsConnected());
  EXPECT_THROW(server.ReadLine(), EIdNotConnected);
  EXPECT_THROW(client.ReadLine(), EIdConnClosedGracefully);
}

TEST(NetListen, WaitOnUnallocatedHandleAndAcceptOnClosedListener) {
  TIdSocketHandle handle;
  try {
    handle.WaitReadable(10);
    FAIL() << "expected EIdConnClosedGracefully";
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  EXPECT_THROW(handle.Recv(nullptr, 0), EIdClosedSocket);
  // Accepting on something that is not a socket (10038) reports "no connection".
  veldra::platform::UniqueSocket notSocket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(notSocket.Valid());
  EXPECT_FALSE(handle.AcceptFrom(notSocket.Get()));
  EXPECT_FALSE(handle.HandleAllocated());
}

// --- interrupted waits --------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<Clock::rep> gInterruptAt{0};

bool InterruptDue() {
  return Clock::now().time_since_epoch().count() >= gInterruptAt.load();
}

}  // namespace

// Every wait that has no end of its own gives up with EIdInterrupted soon after the thread's
// interrupt check turns true, and not before.
TEST(NetInterrupt, EveryWaitEndsSoonAfterTheCheckTurnsTrue) {
  const std::string block(64 * 1024 * 1024, 'w');
  struct Row {
    const char* wait;
    std::function<void(TIdTCPClient& silent, int quietPort)> run;
  } rows[] = {
      {"ReadLine", [](TIdTCPClient& c, int) { c.ReadLine(); }},
      {"ReceiveChunk", [](TIdTCPClient& c, int) { c.ReceiveChunk(true, -1, true); }},
      {"ReadAvailable",
       [](TIdTCPClient& c, int) {
         char byte;
         c.ReadAvailable(&byte, 1);
       }},
      {"WriteBytes",
       [&](TIdTCPClient& c, int) { c.WriteBytes(block.data(), static_cast<long>(block.size())); }},
      {"WriteBytes with a time-out",
       [&](TIdTCPClient& c, int) {
         c.SetReadTimeout(60000);
         c.WriteBytes(block.data(), static_cast<long>(block.size()));
       }},
      {"connect",
       [](TIdTCPClient&, int port) {
         TIdTCPClient other;
         other.SetHost("127.0.0.1");
         other.SetPort(port);
         other.ConnectToHost();
       }},
      {"connect with a time-out",
       [](TIdTCPClient&, int port) {
         TIdTCPClient other;
         other.SetHost("127.0.0.1");
         other.SetPort(port);
         other.ConnectToHost(60000);
       }},
      {"accept",
       [](TIdTCPClient&, int) {
         TIdSocketHandle listener;
         listener.AllocateHandle();
         listener.SetIP("127.0.0.1");
         listener.BindLocal();
         listener.StartListen(1);
         TIdSocketHandle accepted;
         accepted.AcceptFrom(listener.Handle());
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wait);
    TFullListener quiet;
    ASSERT_TRUE(quiet.Full());
    TScriptedPeer peer;  // accepts, then neither sends nor reads
    peer.Hold();
    auto client = ConnectTo(peer, 0);
    const auto start = Clock::now();
    gInterruptAt = (start + std::chrono::milliseconds(300)).time_since_epoch().count();
    const auto previous = veldra::platform::SetInterruptCheck(InterruptDue);
    try {
      row.run(*client, quiet.Port());
      ADD_FAILURE() << "the wait ended without the interruption";
    } catch (const EIdInterrupted& e) {
      EXPECT_EQ(e.LastError(), 10004);
    }
    veldra::platform::SetInterruptCheck(previous);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(300 + 2 * veldra::platform::kWaitSliceMs + 500));
  }
}
