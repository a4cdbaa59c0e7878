// Client connect with and without time-out, port-range binding, listening and accepting, and
// every wait ended by the thread's interrupt check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <tuple>

#include "net/IdTCPClient.h"
#include "platform/Socket.h"
#include "tests/net/NetTestUtil.h"

namespace vp = veldra::platform;

namespace {

void Listen(TIdSocketHandle& l, int backlog) {
  l.AllocateHandle(), l.SetIP("127.0.0.1"), l.BindLocal(), l.StartListen(backlog);
}

// A listener whose accept queue is full: further connects never complete (their SYNs are
// dropped), which is how a server that never answers looks to the client. With a backlog of 0
// the queue holds one connection, the filler's.
struct TFullListener {
  TFullListener() { Listen(listener, 0), Aim(filler, listener.Port()).ConnectToHost(5000); }
  int Port() const { return listener.Port(); }
  TIdSocketHandle listener;
  TIdTCPClient filler;
};

// Binds one more handle to 127.0.0.1:port (kept in `held`); false when the port is busy.
bool Hold(std::vector<std::unique_ptr<TIdSocketHandle>>& held, int port) {
  TIdSocketHandle& h = *held.emplace_back(std::make_unique<TIdSocketHandle>());
  h.AllocateHandle(), h.SetIP("127.0.0.1"), h.SetPort(port);
  return h.TryBindOnce();
}

using Clock = std::chrono::steady_clock;
std::atomic<Clock::rep> gInterruptAt{0};

bool InterruptDue() {
  return Clock::now().time_since_epoch().count() >= gInterruptAt.load();
}

}  // namespace

// Each row: host, port (0: the scripted peer), connect time-out, what the connect raised.
TEST(NetConnect, OutcomesWithAndWithoutTimeOut) {
  TFullListener silent;
  std::vector<std::unique_ptr<TIdSocketHandle>> probe;  // bound, never listening: refuses
  Hold(probe, 0);
  const int refused = probe.back()->Port();
  const std::string kRefused = "Socket Error # 10061\r\nConnection refused.";
  const std::tuple<std::string, int, int, std::string> rows[] = {
      {"127.0.0.1", 0, 25000, ""},
      {"LocalHost", 0, -1, ""},
      {"127.0.0.1", refused, -1, "EIdSocketError " + kRefused},
      {"127.0.0.1", refused, 5000, "EIdConnectException " + kRefused},
      {"127.0.0.1", silent.Port(), 300, "EIdConnectTimeout Connect timed out."},
      {"", 21, -1, "EIdSocketError Socket Error # 11001\r\nHost not found."},
  };
  for (const auto& [host, port, timeout, raised] : rows) {
    SCOPED_TRACE(host + ":" + std::to_string(port));
    TPeer peer({"220 hello\r\n", "<", "200 still here\r\n", "..."});
    TIdTCPClient c;
    Aim(c, port != 0 ? port : peer.Port(), 10000, host);
    EXPECT_EQ(Raised([&] { c.ConnectToHost(timeout); }), raised);
    ASSERT_NE(c.Binding(), nullptr);
    // A failure leaves nothing open.
    EXPECT_EQ(c.IsConnected(), raised.empty());
    EXPECT_EQ(c.Binding()->HandleAllocated(), raised.empty());
    if (!raised.empty()) continue;
    EXPECT_EQ(c.Binding()->PeerIP() + ":" + std::to_string(c.Binding()->PeerPort()),
              "127.0.0.1:" + std::to_string(peer.Port()));
    EXPECT_NE(c.Binding()->Port(), 0);
    EXPECT_EQ(c.ReadLine(), "220 hello");
    EXPECT_EQ(Raised([&] { c.ConnectToHost(); }), "EIdAlreadyConnected Already connected.");
    EXPECT_EQ(c.SendCmd("NOOP", 200), 200);
    c.CloseConnection();  // a fresh handler is made next time
    EXPECT_EQ(c.IOHandler(), nullptr);
  }
}

// Each row: the ports held busy, the bound port range and fixed port, what the connect raised
// and the connection's local port.
TEST(NetBind, PortRangesAndFixedPorts) {
  // Three consecutive free ports [top-2, top]. Below the kernel's ephemeral range, so that
  // other tests' client sockets do not take one meanwhile.
  int top = 0;
  for (int attempt = 0; attempt < 50 && top == 0; ++attempt) {
    const int p = 20002 + static_cast<int>((::getpid() * 7919u + attempt * 104729u) % 12000u);
    std::vector<std::unique_ptr<TIdSocketHandle>> probe;
    if (Hold(probe, p) && Hold(probe, p - 1) && Hold(probe, p - 2)) top = p;
  }
  ASSERT_GT(top, 0);
  const std::string range = "EIdCanNotBindPortInRange Can not bind in port range (" +
                            std::to_string(top - 2) + " - " + std::to_string(top) + ")";
  const std::string inUse =
      "EIdCouldNotBindSocket Could not bind socket. Address and port are already in use.";
  const std::tuple<std::vector<int>, int, int, int, std::string, int> rows[] = {
      {{top, top - 1, top - 2}, top - 2, top, 0, range, 0},
      {{top}, 0, 0, top, inUse, 0},
      {{}, 5002, 5000, 0, "EIdInvalidPortRange Invalid Port Range (5002 - 5000)", 0},
      // From the top down, skipping a busy port. Last: its connection leaves top - 1 in
      // TIME_WAIT, where no other row could hold it.
      {{top}, top - 2, top, 0, "", top - 1},
  };
  for (const auto& [busy, min, max, fixed, raised, port] : rows) {
    SCOPED_TRACE(raised);
    std::vector<std::unique_ptr<TIdSocketHandle>> held;
    for (int p : busy) ASSERT_TRUE(Hold(held, p));
    TPeer peer({"..."});
    TIdTCPClient c;
    Aim(c, peer.Port()).SetBoundPortMin(min);
    c.SetBoundPortMax(max);
    c.SetBoundPort(fixed);
    EXPECT_EQ(Raised([&] { c.ConnectToHost(); }), raised);
    EXPECT_EQ(port != 0 ? c.Binding()->Port() : 0, port);
  }
}

TEST(NetListen, ListenAcceptTalkAndFailures) {
  TIdSocketHandle listener;
  Listen(listener, 15);
  EXPECT_FALSE(listener.WaitReadable(0));
  auto client = ConnectTo(listener.Port());
  ASSERT_TRUE(listener.WaitReadable(10000));
  auto handler = std::make_unique<TIdIOHandlerSocket>();
  handler->Open();
  ASSERT_TRUE(handler->Binding()->AcceptFrom(listener.Handle()));
  EXPECT_EQ(handler->Binding()->PeerPort(), client->Binding()->Port());
  EXPECT_EQ(handler->Binding()->Port(), listener.Port());
  TIdTCPConnection server;
  server.SetIOHandler(handler.get());
  server.SetReadTimeout(10000);
  server.WriteLine("150 here");
  EXPECT_EQ(client->ReadLine(), "150 here");
  client->WriteLine("thanks");
  std::string line(8, '\0');  // a line goes out with CR LF
  server.ReadExact(&line[0], 8);
  EXPECT_EQ(line, "thanks\r\n");
  // The handler is the caller's: destroying it leaves the connection without one.
  handler.reset();
  EXPECT_EQ(server.IOHandler(), nullptr);
  EXPECT_EQ(Raised([&] { server.ReadLine(); }), "EIdNotConnected Not Connected");
  const std::string kClosed = "EIdConnClosedGracefully Connection Closed Gracefully.";
  EXPECT_EQ(Raised([&] { client->ReadLine(); }), kClosed);

  TIdSocketHandle unallocated;
  EXPECT_EQ(Raised([&] { unallocated.WaitReadable(10); }), kClosed);
  EXPECT_EQ(Raised([&] { unallocated.Recv(nullptr, 0); }), "EIdClosedSocket Disconnected.");
  // Accepting on something that is not a socket (10038) reports "no connection".
  vp::UniqueSocket notSocket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(unallocated.AcceptFrom(notSocket.Get()));
}

// Every wait that has no end of its own gives up with EIdInterrupted soon after the thread's
// interrupt check turns true, and not before: reads (peeking for a line, or receiving),
// writes and connects without and with a
// time-out, accepting.
TEST(NetInterrupt, EveryWaitEndsSoonAfterTheCheckTurnsTrue) {
  const std::string block(64 * 1024 * 1024, 'w');
  const long size = static_cast<long>(block.size());
  char byte;
  TFullListener quiet;
  TIdSocketHandle listener, accepted;
  Listen(listener, 1);
  const std::function<void(TIdTCPClient&)> rows[] = {
      [](TIdTCPClient& c) { c.ReadLine(); },
      [&](TIdTCPClient& c) { c.ReadAvailable(&byte, 1); },
      [&](TIdTCPClient& c) { c.WriteBytes(block.data(), size); },
      [&](TIdTCPClient& c) { c.SetReadTimeout(60000), c.WriteBytes(block.data(), size); },
      [&](TIdTCPClient&) { ConnectTo(quiet.Port(), 0, -1); },
      [&](TIdTCPClient&) { ConnectTo(quiet.Port(), 0, 60000); },
      [&](TIdTCPClient&) { accepted.AcceptFrom(listener.Handle()); },
  };
  for (const auto& run : rows) {
    SCOPED_TRACE(&run - rows);
    TPeer peer({"..."});  // accepts, then neither sends nor reads
    auto client = ConnectTo(peer.Port(), 0);
    const auto start = Clock::now();
    gInterruptAt = (start + std::chrono::milliseconds(300)).time_since_epoch().count();
    const vp::TInterruptCheck previous = vp::SetInterruptCheck(InterruptDue);
    EXPECT_EQ(Raised([&] { run(*client); }),
              "EIdInterrupted Socket Error # 10004\r\nInterrupted system call.");
    vp::SetInterruptCheck(previous);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(300 + 2 * vp::kInterruptSliceMs + 500));
  }
}
