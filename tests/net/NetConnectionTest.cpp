// The buffered connection and its reply layer over real loopback sockets, against a scripted
// peer: lines and their limits, exact and stream reads, replies (multi-line, split, hostile),
// disconnects, time-outs and writing. Each table row plays a peer script and runs reads whose
// results (or exception classes) are compared.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "net/IdRFCReply.h"
#include "net/IdTCPClient.h"
#include "tests/net/NetTestUtil.h"

namespace {

// One read by its code: "L" a line ("+" added when it was split), "E" a line ending in
// "<EOL>", "X4" exactly 4 bytes, "S3" a stream of 3 bytes ("S": until the peer closes), "A3" a
// bulk read of up to 3 bytes ("A": bulk reads until one raises), "C50" one receive step within
// 50 ms ("C": within the read time-out), "M4" sets the line limit (split, 0: none), "R" a reply
// ("R300": within 300 ms, "R0": without a deadline), "P" the previous reply's text. Returns
// what was read, or "!" and the class of what was raised (after what a stream or bulk read
// got; for a reply also the message). A reply reads "code text/text [second line as received]
// [bytes left in the socket]".
std::string Read(TIdTCPClient& c, const std::string& op) {
  const char k = op[0];
  const int n = op.size() > 1 ? std::stoi(op.substr(1)) : -1;
  TIdMemoryStream stream;
  std::string bytes(n > 0 ? n : 100000, '\0'), got;
  try {
    if (k == 'L') return got = c.ReadLine(), got + (c.LineWasSplit() ? "+" : "");
    if (k == 'E') return c.ReadLine("<EOL>");
    if (k == 'X') return c.ReadExact(&bytes[0], n), bytes;
    if (k == 'S') return c.ReadToStream(stream, n, n < 0), stream.Bytes();
    for (int i = 0; k == 'A' && i < (n < 0 ? 1000 : 1); ++i)
      got.append(bytes, 0, c.ReadAvailable(&bytes[0], n < 0 ? 100000 : n));
    if (k == 'A') return got;
    if (k == 'C') return std::to_string(c.ReceiveChunk(true, n, n < 0));
    if (k == 'M') return c.SetMaxLineLength(n), c.SetMaxLineAction(maSplit), "";
    if (k == 'P') return c.LastReply().FormattedText();
    c.SetReplyTimeout(n < 0 ? 30000 : n);
    c.ReadReply();
  } catch (const EIdException& e) {
    return stream.Bytes() + got + "!" + e.ClassName() + (k == 'R' ? ": " + e.Message() : "");
  }
  const TIdRFCReply& r = c.LastReply();
  char rest[16];
  const long left = c.PendingInput().Empty() ? c.Binding()->PeekWithin(rest, 16, 0) : -1;
  std::string out = std::to_string(r.NumericCode());
  for (std::size_t i = 0; i < r.Text().size(); ++i) out += (i ? "/" : " ") + r.Text()[i];
  return out + " [" + (r.Lines().size() > 1 ? r.Lines()[1] : "") + "] [" +
         std::string(rest, static_cast<std::size_t>(std::max(left, 0L))) + "]";
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

const std::string kLong(100000, 'z');
const std::string kA(16384, 'a');

// A session that logs every command: both SendCmd forms must reach the override.
class TLoggingClient : public TIdTCPClient {
 public:
  using TIdTCPConnection::SendCmd;
  int SendCmd(const std::string& command, const TIdReplyCodes& allowed) override {
    sent.push_back(command);
    return TIdTCPClient::SendCmd(command, allowed);
  }
  std::vector<std::string> sent;
};

}  // namespace

// Each row: the peer's steps (TPeer's, '|' between them) and the reads, "code=what it gives"
// (Read's codes), '|' between them.
TEST(NetReads, ScriptedPeerTable) {
  std::string trickle;  // a reply a byte at a time, 100 ms apart
  for (char ch : std::string("220 slow\r\n")) trickle += std::string(1, ch) + "|~100|";
  const std::string kTooLong = "R=!EIdReplyTooLong: Reply longer than 4096 lines.";
  const std::string kClosed = "!EIdConnClosedGracefully";
  // {the peer's steps, the reads}
  const std::pair<std::string, std::string> rows[] = {
      // CR LF, LF, inner CR; a line in several steps with a late terminator; a long terminator
      // split across receives.
      {"220 ok\r\n220 ok\na\rb\n|...", "L=220 ok|L=220 ok|L=a\rb"},
      {"22|~30|0 o|~30|k\r|~30|\nnext\n|...", "L=220 ok|L=next"},
      {"abc<|~30|EOL>rest<EOL>|...", "E=abc|E=rest"},
      // 16384 bytes fit, the CR of CR LF counts; an over-long line fails before any further
      // receive (no time-out). No limit; split at the limit.
      {kA + "\n" + kA + "\r\n|...", "L=" + kA + "|L=!EIdReadLnMaxLineLengthExceeded"},
      {std::string(16385, 'x') + "|...", "L=!EIdReadLnMaxLineLengthExceeded"},
      {kLong + "\n0123456789\nline\n|...",
       "M0=|L=" + kLong + "|M4=|L=0123+|M16384=|L=456789|L=line"},
      // A partial line, then the close: empty once, then closed. Lines pending at the close
      // stay readable.
      {"abc|$", "L=|L=" + kClosed + "|X3=abc"},
      {"one\ntwo\n|$", "L=one|L=two|L=" + kClosed},
      // Until closed takes everything, also after a line; so do bulk reads, pending bytes
      // first, and the end is an error only once everything was handed out.
      {"head\n|" + kLong.substr(0, 70000) + "|~30|" + kLong.substr(70000) + "|$",
       "L=head|S=" + kLong},
      {"line\nabc" + kLong + "|$", "L=line|A3=abc|A=" + kLong + kClosed + "|A0="},
      // Counted reads; a short counted read fails and keeps what came.
      {"0123456789|$", "X4=0123|S3=456|S5=789" + kClosed + "|X1=" + kClosed + "|C=" + kClosed},
      // A silent peer times out (raising, or not, or without waiting); the partial line stays,
      // the connection goes on.
      {"par|~1500|tial\n|...", "L=!EIdReadTimeout|L=partial"},
      {"data!|...", "X5=data!|C50=-1|C0=-1"},
      // Replies: blank lines before one are skipped, lines are trimmed before the code is cut;
      // no byte after a reply's last line is taken (after "234" to AUTH TLS, the handshake).
      {"\r\n  \r\n200 OK\r\nabc hello\r\n|...", "R=200 OK [] [abc hello\r\n]|R=0 hello [] []"},
      // Multi-line: a line with another code or indented is no end.
      {"220-first\r\n230 not the end\r\n   220 indented end\r\n|...",
       "R=220 first/not the end/indented end [230 not the end] []"},
      // Short continuation lines (FEAT), a bare code ends it.
      {"211-Features:\r\n CCC\r\n PBSZ\r\n211 End\r\n211-x\r\n211\r\n|...",
       "R=211 Features:///End [ CCC] [211-x\r\n211\r\n]|R=211 x/ [211] []"},
      // Continuation lines are cut too; an empty first text.
      {"230-Welcome\r\ncontinued\r\n230 Logged in\r\n550-\r\n550 gone\r\n|...",
       "R=230 Welcome/inued/Logged in [continued] [550-\r\n550 gone\r\n]|R=550 /gone [550 gone] "
       "[]"},
      // An MLST entry with blanks, then a TLS handshake.
      {"250-Listing\r\n type=file;  lead.txt \r\n250 End\r\n\x16\x03\x01|...",
       "R=250 Listing/=file;  lead.txt/End [ type=file;  lead.txt ] [\x16\x03\x01]"},
      // A failed read keeps the previous reply.
      {"200 OK\r\n250-partial\r\n|$",
       "R=200 OK [] [250-partial\r\n]|R=" + kClosed + ": Connection Closed Gracefully.|P=OK\r\n"},
      // 4096 lines pass, 4097 fail, blank lines count; an endless reply of long lines.
      {"211-a\r\n" + Repeat(" feature\r\n", 4094) + "211 End\r\n|...",
       "R=211 a/" + Repeat("ure/", 4094) + "End [ feature] []"},
      {"211-a\r\n" + Repeat(" feature\r\n", 4095) + "211 End\r\n|...", kTooLong},
      {Repeat("\r\n", 5000) + "|...", kTooLong},
      {"220-x\r\n" + Repeat(std::string(998, 'y') + "\r\n", 2048) + "|...",
       "R=!EIdReplyTooLong: Reply longer than 1048576 bytes."},
      // A trickle past the reply deadline, and without one.
      {trickle + "...", "R300=!EIdReadTimeout: Reply not complete within 300 ms."},
      {trickle + "...", "R0=220 slow [] []"},
  };
  for (const auto& [script, reads] : rows) {
    SCOPED_TRACE(script.substr(0, 80));
    TPeer peer(Split(script));
    auto c = ConnectTo(peer.Port(), 1000);
    // A script that closes has closed before the first read.
    if (script.back() == '$') {
      ASSERT_TRUE(peer.WaitClosed());
    }
    for (const std::string& read : Split(reads)) {
      const std::size_t eq = read.find('=');
      EXPECT_EQ(read.substr(eq + 1), Read(*c, read.substr(0, eq)));
    }
  }
}

// Replies checked against the allowed codes, unsafe lines refused, writes on a dropped, closed,
// stuck or reset connection.
TEST(NetCommands, ReplyChecksUnsafeLinesAndFailedWrites) {
  TPeer peer({"<", "331 need pass\r\n", "<", "230 in\r\n", "<", "200 OK\r\n", "<", "<", "$"});
  TLoggingClient c;
  Aim(c, peer.Port()).ConnectToHost();
  EXPECT_EQ(c.SendCmd("USER u", 331), 331);
  EXPECT_EQ(c.SendCmd("PASS p"), 230);  // single-code form without a code: any code
  try {
    c.SendCmd("NOOP", TIdReplyCodes{250, 257});
    ADD_FAILURE() << "expected EIdProtocolReplyError";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 200);
    EXPECT_STREQ(e.what(), "OK\r\n");
  }
  EXPECT_EQ(c.LastReply().NumericCode(), 200);  // the refused reply stays readable
  EXPECT_EQ(Join(c.sent), "USER u|PASS p|NOOP");
  EXPECT_EQ(c.CheckReplyCode(0, {}), 0);
  EXPECT_THROW(c.CheckReplyCode(0, {200}), EIdProtocolReplyError);
  EXPECT_THROW(c.RaiseReplyErrorAs<EIdConnectException>(), EIdConnectException);
  // A line with CR, LF or NUL would smuggle a second command: refused before anything is sent.
  for (const std::string& bad : {std::string("DELE a\r\nRMD /"), std::string("USER x\nPASS y"),
                                 std::string("CWD a\rb"), std::string("RETR a\0b", 8)})
    EXPECT_EQ(Raised([&] { c.WriteLine(bad); }),
              "EIdException Line to send contains CR, LF or NUL.");
  c.WriteLine("NOOP");
  c.WriteLine("");
  ASSERT_TRUE(peer.WaitClosed());
  EXPECT_EQ(Join(peer.Received()), "USER u|PASS p|NOOP|NOOP|");
  c.DropSocket();
  EXPECT_FALSE(c.IsConnected());
  const std::string kNot = "EIdNotConnected Not Connected";
  EXPECT_EQ(Raised([&] { c.WriteText("x"); }),
            "EIdConnClosedGracefully Connection Closed Gracefully.");
  c.CloseConnection();
  EXPECT_EQ(Raised([&] { c.WriteText("x"); }) + Raised([&] { c.ReceiveChunk(true, -1, true); }),
            kNot + kNot);
  EXPECT_EQ(c.ReceiveChunk(false, -1, true), 0);

  // A peer that stops reading: with a read time-out the send fails with 10060 and drops.
  TPeer stuck({"..."});
  auto s = ConnectTo(stuck.Port(), 200);
  const std::string block(64 * 1024 * 1024, 'w');
  EXPECT_EQ(Raised([&] { s->WriteBytes(block.data(), static_cast<long>(block.size())); }),
            "EIdSocketError Socket Error # 10060\r\nConnection timed out.");
  EXPECT_FALSE(s->IsConnected());

  // A peer that reset: a write fails (the first may still be taken) and drops the socket.
  TPeer gone({"$"});
  auto g = ConnectTo(gone.Port());
  ASSERT_TRUE(gone.WaitClosed());
  std::string outcome;
  for (int i = 0; i < 50 && outcome.empty(); ++i)
    outcome = Raised([&] { g->WriteBytes(block.data(), 65536); });
  EXPECT_TRUE(outcome.rfind("EIdSocketError", 0) == 0 ||
              outcome.rfind("EIdConnClosedGracefully", 0) == 0)
      << outcome;
  EXPECT_FALSE(g->IsConnected());

  TIdRFCReply reply;  // the code and text fields
  reply.SetNumericCode(421);
  EXPECT_EQ(reply.TextCode(), "421");
  reply.SetTextCode("");
  EXPECT_EQ(reply.NumericCode(), 421);
  reply.SetTextCode("2x0");
  EXPECT_EQ(reply.NumericCode(), 0);
  EXPECT_EQ(IdTrim(std::string("\t  x y \r\n\x01", 9)), "x y");
  reply.ParseReplyLines({});
  EXPECT_TRUE(reply.NumericCode() == 0 && reply.Text().empty() && reply.Lines().empty() &&
              reply.TextCode().empty());
}

TEST(NetBuffer, ManagedBufferRemovalAndCompaction) {
  TIdManagedBuffer b;
  b.Append("hello", 5);
  b.Remove(2);
  EXPECT_EQ(std::string(b.Data(), b.Size()), "llo");
  EXPECT_THROW(b.Remove(4), EIdNotEnoughDataInBuffer);
  b.Remove(3);
  EXPECT_EQ(b.ConsumedCount(), 0u);  // emptied: starts over at the front
  const std::string big = std::string(32768, 'b') + "Xbb";
  b.Append(big.data(), big.size());
  b.Remove(32767);
  EXPECT_EQ(b.ConsumedCount(), 32767u);
  b.Remove(1);  // reaches the threshold: the rest moves to the front
  EXPECT_EQ(b.ConsumedCount(), 0u);
  EXPECT_EQ(b.ExtractText(3), "Xbb");
  EXPECT_THROW(b.ExtractText(1), EIdNotEnoughDataInBuffer);
}
