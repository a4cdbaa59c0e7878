// Client connect with and without time-out, port-range binding, listening and accepting, and
// every wait ended by the thread's interrupt check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "net/IdTCPClient.h"
#include "platform/Socket.h"
#include "tests/net/NetTestUtil.h"

namespace vp = veldra::platform;

namespace {

// A listener whose accept queue is full: further connects never complete (their SYNs are
// dropped), which is how a server that never answers looks to the client. With a backlog of 0
// the queue holds one connection, the filler's.
void Listen(TIdSocketHandle& listener, int backlog) {
  listener.AllocateHandle();
  listener.SetIP("127.0.0.1");
  listener.BindLocal();
  listener.StartListen(backlog);
}

struct TFullListener {
  TFullListener() {
    Listen(listener, 0);
    filler.SetHost("127.0.0.1");
    filler.SetPort(listener.Port());
    filler.ConnectToHost(5000);
  }
  int Port() const { return listener.Port(); }
  TIdSocketHandle listener;
  TIdTCPClient filler;
};

// The class and message of what `call` raised; "" when it returned.
std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const EIdException& e) {
    return std::string(e.ClassName()) + " " + e.what();
  }
  return "";
}

void Aim(TIdTCPClient& c, const std::string& host, int port) {
  c.SetHost(host);
  c.SetPort(port);
  c.SetReadTimeout(10000);
}

void Connect(const std::string& host, int port, int timeout) {
  TIdTCPClient c;
  Aim(c, host, port);
  c.ConnectToHost(timeout);
}

// Binds one more handle to 127.0.0.1:port (kept in `held`); false when the port is busy.
bool Hold(std::vector<std::unique_ptr<TIdSocketHandle>>& held, int port) {
  held.push_back(std::make_unique<TIdSocketHandle>());
  held.back()->AllocateHandle();
  held.back()->SetIP("127.0.0.1");
  held.back()->SetPort(port);
  return held.back()->TryBindOnce();
}

int UnusedPort() {
  std::vector<std::unique_ptr<TIdSocketHandle>> probe;
  Hold(probe, 0);
  return probe.back()->Port();
}

using Clock = std::chrono::steady_clock;
std::atomic<Clock::rep> gInterruptAt{0};

bool InterruptDue() {
  return Clock::now().time_since_epoch().count() >= gInterruptAt.load();
}

}  // namespace

TEST(NetConnect, OutcomesWithAndWithoutTimeOut) {
  TFullListener silent;
  const int refused = UnusedPort();
  const std::string kRefused = "Socket Error # 10061\r\nConnection refused.";
  struct Row {
    std::string host;
    int port;  // 0: the scripted peer
    int timeout;
    std::string raised;
  } rows[] = {
      {"127.0.0.1", 0, 25000, ""},
      {"LocalHost", 0, -1, ""},
      {"127.0.0.1", refused, -1, "EIdSocketError " + kRefused},
      {"127.0.0.1", refused, 5000, "EIdConnectException " + kRefused},
      {"127.0.0.1", silent.Port(), 300, "EIdConnectTimeout Connect timed out."},
      {"", 21, -1, "EIdSocketError Socket Error # 11001\r\nHost not found."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host + ":" + std::to_string(row.port));
    TPeer peer({"220 hello\r\n", "<", "200 still here\r\n", "..."});
    TIdTCPClient c;
    Aim(c, row.host, row.port != 0 ? row.port : peer.Port());
    EXPECT_EQ(Raised([&] { c.ConnectToHost(row.timeout); }), row.raised);
    if (!row.raised.empty()) {
      // Nothing is left open.
      EXPECT_FALSE(c.IsConnected());
      ASSERT_NE(c.Binding(), nullptr);
      EXPECT_FALSE(c.Binding()->HandleAllocated());
      continue;
    }
    EXPECT_EQ(c.Binding()->PeerIP(), "127.0.0.1");
    EXPECT_EQ(c.Binding()->PeerPort(), peer.Port());
    EXPECT_NE(c.Binding()->Port(), 0);
    EXPECT_EQ(c.ReadLine(), "220 hello");
    EXPECT_EQ(Raised([&] { c.ConnectToHost(); }), "EIdAlreadyConnected Already connected.");
    EXPECT_EQ(c.SendCmd("NOOP", 200), 200);
    c.CloseConnection();  // a fresh handler is made next time
    EXPECT_EQ(c.IOHandler(), nullptr);
  }
}

TEST(NetBind, PortRangesAndFixedPorts) {
  // Three consecutive free ports [top-2, top], held busy as the rows need. Below the kernel's
  // ephemeral range, so that other tests' client sockets do not take one meanwhile.
  int top = -1;
  for (int attempt = 0; attempt < 50 && top < 0; ++attempt) {
    const int p = 20002 + static_cast<int>((::getpid() * 7919u + attempt * 104729u) % 12000u);
    std::vector<std::unique_ptr<TIdSocketHandle>> probe;
    bool free = p > 1026;
    for (int q = p; free && q > p - 3; --q) free = Hold(probe, q);
    if (free) top = p;
  }
  ASSERT_GT(top, 0);
  const std::string inRange = "EIdCanNotBindPortInRange Can not bind in port range (" +
                              std::to_string(top - 2) + " - " + std::to_string(top) + ")";
  const std::string busy =
      "EIdCouldNotBindSocket Could not bind socket. Address and port are already in use.";
  struct Row {
    std::vector<int> busy;
    int min, max, fixed;
    std::string raised;
    int port;  // the local port of the connection
  } rows[] = {
      {{top}, top - 2, top, 0, "", top - 1},  // from the top down, skipping a busy port
      {{top, top - 1, top - 2}, top - 2, top, 0, inRange, 0},
      {{top}, 0, 0, top, busy, 0},
      {{}, 5002, 5000, 0, "EIdInvalidPortRange Invalid Port Range (5002 - 5000)", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.raised);
    std::vector<std::unique_ptr<TIdSocketHandle>> held;
    for (int port : row.busy) ASSERT_TRUE(Hold(held, port));
    TPeer peer({"..."});
    TIdTCPClient c;
    Aim(c, "127.0.0.1", peer.Port());
    c.SetBoundPortMin(row.min);
    c.SetBoundPortMax(row.max);
    c.SetBoundPort(row.fixed);
    EXPECT_EQ(Raised([&] { c.ConnectToHost(); }), row.raised);
    if (row.port != 0) {
      EXPECT_EQ(c.Binding()->Port(), row.port);
    }
  }
}

TEST(NetListen, ListenAcceptTalkAndFailures) {
  TIdSocketHandle listener;
  Listen(listener, 15);
  EXPECT_FALSE(listener.WaitReadable(0));
  TIdTCPClient client;
  Aim(client, "127.0.0.1", listener.Port());
  client.ConnectToHost();
  ASSERT_TRUE(listener.WaitReadable(10000));
  auto handler = std::make_unique<TIdIOHandlerSocket>();
  handler->Open();
  ASSERT_TRUE(handler->Binding()->AcceptFrom(listener.Handle()));
  EXPECT_EQ(handler->Binding()->PeerPort(), client.Binding()->Port());
  EXPECT_EQ(handler->Binding()->Port(), listener.Port());
  TIdTCPConnection server;
  server.SetIOHandler(handler.get());
  server.SetReadTimeout(10000);
  server.WriteLine("150 here");
  EXPECT_EQ(client.ReadLine(), "150 here");
  client.WriteLine("thanks");
  std::string line(8, '\0');  // a line goes out with CR LF
  server.ReadExact(&line[0], 8);
  EXPECT_EQ(line, "thanks\r\n");
  // The handler is the caller's: destroying it leaves the connection without one.
  handler.reset();
  EXPECT_EQ(server.IOHandler(), nullptr);
  EXPECT_EQ(Raised([&] { server.ReadLine(); }), "EIdNotConnected Not Connected");
  EXPECT_EQ(Raised([&] { client.ReadLine(); }),
            "EIdConnClosedGracefully Connection Closed Gracefully.");

  TIdSocketHandle unallocated;
  EXPECT_EQ(Raised([&] { unallocated.WaitReadable(10); }),
            "EIdConnClosedGracefully Connection Closed Gracefully.");
  EXPECT_EQ(Raised([&] { unallocated.Recv(nullptr, 0); }), "EIdClosedSocket Disconnected.");
  // Accepting on something that is not a socket (10038) reports "no connection".
  vp::UniqueSocket notSocket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(unallocated.AcceptFrom(notSocket.Get()));
}

// Every wait that has no end of its own gives up with EIdInterrupted soon after the thread's
// interrupt check turns true, and not before.
TEST(NetInterrupt, EveryWaitEndsSoonAfterTheCheckTurnsTrue) {
  const std::string block(64 * 1024 * 1024, 'w');
  const long size = static_cast<long>(block.size());
  char byte;
  TFullListener quiet;
  TIdSocketHandle listener;
  Listen(listener, 1);
  TIdSocketHandle accepted;
  const std::pair<const char*, std::function<void(TIdTCPClient&)>> rows[] = {
      {"ReadLine", [](TIdTCPClient& c) { c.ReadLine(); }},
      {"ReceiveChunk", [](TIdTCPClient& c) { c.ReceiveChunk(true, -1, true); }},
      {"ReadAvailable", [&](TIdTCPClient& c) { c.ReadAvailable(&byte, 1); }},
      {"WriteBytes", [&](TIdTCPClient& c) { c.WriteBytes(block.data(), size); }},
      {"WriteBytes with a time-out",
       [&](TIdTCPClient& c) {
         c.SetReadTimeout(60000);
         c.WriteBytes(block.data(), size);
       }},
      {"connect", [&](TIdTCPClient&) { Connect("127.0.0.1", quiet.Port(), -1); }},
      {"connect with a time-out",
       [&](TIdTCPClient&) { Connect("127.0.0.1", quiet.Port(), 60000); }},
      {"accept", [&](TIdTCPClient&) { accepted.AcceptFrom(listener.Handle()); }},
  };
  for (const auto& [wait, run] : rows) {
    SCOPED_TRACE(wait);
    TPeer peer({"..."});  // accepts, then neither sends nor reads
    auto client = ConnectTo(peer, 0);
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
