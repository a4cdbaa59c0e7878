// The buffered connection over real loopback sockets, against a scripted peer: line reading
// and its limits, exact and stream reads, disconnect detection, time-outs and writing. Each
// row plays a peer script and runs reads whose results (or exception classes) are compared.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "net/IdTCPClient.h"
#include "tests/net/NetTestUtil.h"

namespace {

// What a call returned, or "!" and the class of what it raised.
std::string Outcome(const std::function<std::string()>& call) {
  try {
    return call();
  } catch (const EIdException& e) {
    return std::string("!") + e.ClassName();
  }
}

// A peer script in words: "~30" pauses 30 ms, "<" reads a line, "|" closes, "..." holds;
// anything else is sent.
void Script(TScriptedPeer& peer, const std::vector<std::string>& steps) {
  for (const std::string& s : steps) {
    if (s.size() > 1 && s[0] == '~')
      peer.Pause(std::stoi(s.substr(1)));
    else if (s == "<")
      peer.ReadLine();
    else if (s == "|")
      peer.Close();
    else if (s == "...")
      peer.Hold();
    else
      peer.Send(s);
  }
}

using Read = std::function<std::string(TIdTCPClient&)>;

Read Line(const std::string& terminator = "") {
  return [terminator](TIdTCPClient& c) { return c.ReadLine(terminator); };
}
Read Exact(int n) {
  return [n](TIdTCPClient& c) {
    std::string bytes(n, '\0');
    c.ReadExact(&bytes[0], n);
    return bytes;
  };
}
Read Stream(std::int64_t count) {  // -1: until the peer closes
  return [count](TIdTCPClient& c) {
    TIdMemoryStream stream;
    try {
      c.ReadToStream(stream, count, count < 0);
    } catch (const EIdException& e) {
      return stream.Bytes() + "!" + e.ClassName();  // what arrived stays in the stream
    }
    return stream.Bytes();
  };
}

const std::string kLong(100000, 'z');
const std::string kA(16384, 'a');

}  // namespace

TEST(NetReads, ScriptedPeerTable) {
  struct Row {
    const char* what;
    std::vector<std::string> peer;
    std::vector<std::pair<Read, std::string>> reads;
  } rows[] = {
      {"CR LF, LF, inner CR",
       {"220 ok\r\n220 ok\na\rb\n", "..."},
       {{Line(), "220 ok"}, {Line(), "220 ok"}, {Line(), "a\rb"}}},
      {"a line in several steps, late terminator",
       {"22", "~30", "0 o", "~30", "k\r", "~30", "\nnext\n", "..."},
       {{Line(), "220 ok"}, {Line(), "next"}}},
      {"a long terminator split across receives",
       {"abc<", "~30", "EOL>rest<EOL>", "..."},
       {{Line("<EOL>"), "abc"}, {Line("<EOL>"), "rest"}}},
      {"16384 bytes fit, the CR of CR LF counts",
       {kA + "\n" + kA + "\r\n", "..."},
       {{Line(), kA}, {Line(), "!EIdReadLnMaxLineLengthExceeded"}}},
      {"an over-long line fails before any further receive (no time-out)",
       {std::string(16385, 'x'), "..."},
       {{Line(), "!EIdReadLnMaxLineLengthExceeded"}}},
      {"a partial line, then the close: empty once, then closed",
       {"abc", "|"},
       {{Line(), ""}, {Line(), "!EIdConnClosedGracefully"}, {Exact(3), "abc"}}},
      {"lines pending at the close stay readable",
       {"one\ntwo\n", "|"},
       {{Line(), "one"}, {Line(), "two"}, {Line(), "!EIdConnClosedGracefully"}}},
      {"until closed takes everything, also after a line",
       {"head\n", kLong.substr(0, 70000), "~30", kLong.substr(70000), "|"},
       {{Line(), "head"}, {Stream(-1), kLong}}},
      {"counted reads; a short counted read fails and keeps what came",
       {"0123456789", "|"},
       {{Exact(4), "0123"},
        {Stream(3), "456"},
        {Stream(5), "789!EIdConnClosedGracefully"},
        {Exact(1), "!EIdConnClosedGracefully"}}},
      {"a silent peer times out; the partial line stays, the connection goes on",
       {"par", "~450", "tial\n", "..."},
       {{Line(), "!EIdReadTimeout"}, {Line(), "partial"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TScriptedPeer peer;
    Script(peer, row.peer);
    auto c = ConnectTo(peer, 300);
    // A script that closes has closed before the first read.
    if (row.peer.back() == "|") {
      ASSERT_TRUE(peer.WaitDone());
    }
    for (const auto& [read, want] : row.reads) EXPECT_EQ(Outcome([&] { return read(*c); }), want);
  }
}

TEST(NetReads, LimitsTimeoutsAndDirectConsumption) {
  TScriptedPeer peer;
  Script(peer, {kLong + "\n0123456789\nline\nabc", "~300", kLong, "|"});
  auto c = ConnectTo(peer);
  c->SetMaxLineLength(0);  // any length
  EXPECT_EQ(c->ReadLine(), kLong);
  c->SetMaxLineLength(4);
  c->SetMaxLineAction(maSplit);
  EXPECT_EQ(c->ReadLine(), "0123");
  EXPECT_TRUE(c->LineWasSplit());
  c->SetMaxLineLength(16384);
  EXPECT_EQ(c->ReadLine(), "456789");
  EXPECT_EQ(c->ReadLine(), "line");
  // A bulk reader takes pending bytes first, then receives straight into its own buffer; the
  // end is EIdConnClosedGracefully only once everything was handed out.
  std::string out(kLong.size() + 16, '\0');
  long got = 0;
  while (got < 3) got += c->ReadAvailable(&out[got], 2);
  EXPECT_TRUE(c->PendingInput().Empty());
  EXPECT_EQ(Outcome([&] {
              for (int i = 0; i < 1000; ++i)
                got += c->ReadAvailable(&out[got], static_cast<long>(out.size()) - got);
              return std::string("never closed");
            }),
            "!EIdConnClosedGracefully");
  EXPECT_EQ(out.substr(0, got), "abc" + kLong);
  EXPECT_EQ(c->ReadAvailable(&out[0], 0), 0);
}

TEST(NetReads, ReceiveStepsWithoutRaising) {
  TScriptedPeer peer;
  Script(peer, {"data!", "~300", "|"});
  auto c = ConnectTo(peer);
  while (c->PendingInput().Size() < 5) c->ReceiveChunk(true, -1, true);
  EXPECT_EQ(std::string(c->PendingInput().Data(), 5), "data!");
  c->PendingInput().Remove(5);
  EXPECT_EQ(c->ReceiveChunk(true, 50, false), -1);  // a time-out that does not raise
  EXPECT_EQ(c->ReceiveChunk(true, 0, false), -1);   // 0: look, do not wait
  EXPECT_EQ(Outcome([&] {
              c->ReceiveChunk(true, -1, true);
              c->DetectDisconnect(true, true);
              return std::string();
            }),
            "!EIdConnClosedGracefully");
}

TEST(NetWrite, LinesUnsafeLinesDroppedSocketsAndStuckPeers) {
  TScriptedPeer reader;
  Script(reader, {"<", "<", "|"});
  auto c = ConnectTo(reader);
  // A line with CR, LF or NUL would smuggle a second command: refused before anything is sent.
  for (const std::string& bad : {std::string("DELE a\r\nRMD /"), std::string("USER x\nPASS y"),
                                 std::string("CWD a\rb"), std::string("RETR a\0b", 8)})
    EXPECT_EQ(Outcome([&] { return c->WriteLine(bad), std::string(); }), "!EIdException");
  c->WriteLine("NOOP");
  c->WriteLine("");
  ASSERT_TRUE(reader.WaitDone());
  EXPECT_EQ(reader.RawReceived(), "NOOP\r\n\r\n");
  c->DropSocket();
  EXPECT_FALSE(c->IsConnected());
  EXPECT_EQ(Outcome([&] { return c->WriteText("x"), std::string(); }), "!EIdConnClosedGracefully");
  c->CloseConnection();
  EXPECT_EQ(Outcome([&] { return c->WriteText("x"), std::string(); }), "!EIdNotConnected");
  EXPECT_EQ(Outcome([&] { return std::to_string(c->ReceiveChunk(true, -1, true)); }),
            "!EIdNotConnected");
  EXPECT_EQ(c->ReceiveChunk(false, -1, true), 0);

  // A peer that stops reading: with a read time-out the send fails with 10060 and drops.
  TScriptedPeer stuck;
  stuck.Hold();
  auto s = ConnectTo(stuck, 200);
  const std::string block(64 * 1024 * 1024, 'w');
  try {
    s->WriteBytes(block.data(), static_cast<long>(block.size()));
    ADD_FAILURE() << "a peer that reads nothing cannot take 64 MiB";
  } catch (const EIdSocketError& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 10060\r\nConnection timed out.");
  }
  EXPECT_FALSE(s->IsConnected());

  // A peer that reset: a write fails (the first may still be taken) and drops the socket.
  TScriptedPeer gone;
  gone.Close();
  auto g = ConnectTo(gone);
  ASSERT_TRUE(gone.WaitDone());
  std::string outcome;
  for (int i = 0; i < 50 && outcome.empty(); ++i)
    outcome = Outcome([&] { return g->WriteBytes(block.data(), 65536), std::string(); });
  EXPECT_TRUE(outcome == "!EIdSocketError" || outcome == "!EIdConnClosedGracefully") << outcome;
  EXPECT_FALSE(g->IsConnected());
}

TEST(NetBuffer, ManagedBufferRemovalAndCompaction) {
  TIdManagedBuffer buffer;
  buffer.Append("hello", 5);
  buffer.Remove(2);
  EXPECT_EQ(std::string(buffer.Data(), buffer.Size()), "llo");
  EXPECT_THROW(buffer.Remove(4), EIdNotEnoughDataInBuffer);
  buffer.Remove(3);
  EXPECT_EQ(buffer.ConsumedCount(), 0u);
  std::string big(40000, 'b');
  big[32768] = 'X';
  buffer.Append(big.data(), big.size());
  buffer.Remove(32767);
  EXPECT_EQ(buffer.ConsumedCount(), 32767u);
  buffer.Remove(1);  // reaches the threshold: the rest moves to the front
  EXPECT_EQ(buffer.ConsumedCount(), 0u);
  EXPECT_EQ(buffer.ExtractText(3), "Xbb");
  EXPECT_THROW(buffer.ExtractText(buffer.Size() + 1), EIdNotEnoughDataInBuffer);
}
