// Replies of the line protocol: parsing, single- and multi-line reading, code checking and
// SendCmd, over a scripted loopback peer.
#include <gtest/gtest.h>

#include "net/IdRFCReply.h"
#include "tests/net/NetTestUtil.h"

TEST(NetReplyParse, CodeFieldRules) {
  TIdRFCReply reply;
  reply.SetNumericCode(421);
  EXPECT_EQ(reply.TextCode(), "421");
  reply.SetTextCode("");
  EXPECT_EQ(reply.NumericCode(), 421);
  reply.SetTextCode("2x0");
  EXPECT_EQ(reply.NumericCode(), 0);
  TIdRFCReply copy;
  reply.ParseReplyLines({"250 done"});
  copy = reply;
  EXPECT_EQ(copy.NumericCode(), 250);
  EXPECT_EQ(copy.FormattedText(), "done\r\n");
  EXPECT_EQ(IdTrim(std::string("\t  x y \r\n\x01", 9)), "x y");
  reply.ParseReplyLines({});
  EXPECT_EQ(reply.NumericCode(), 0);
  EXPECT_TRUE(reply.Text().empty() && reply.Lines().empty() && reply.TextCode().empty());
}

TEST(NetReplyRead, FailedReadKeepsPreviousReply) {
  TScriptedPeer peer;
  peer.Send("200 OK\r\n250-partial\r\n").Close();
  auto c = ConnectTo(peer);
  c->ReadReply();
  EXPECT_THROW(c->ReadReply(), EIdConnClosedGracefully);
  EXPECT_EQ(c->LastReply().NumericCode(), 200);
}

TEST(NetReplyCheck, AllowedCodesAndReplyError) {
  TScriptedPeer peer;
  peer.ReadLine()
      .Send("200 OK\r\n")
      .ReadLine()
      .Send("200 OK\r\n")
      .ReadLine()
      .Send("200 OK\r\n")
      .Hold();
  auto c = ConnectTo(peer);
  EXPECT_EQ(c->SendCmd("NOOP"), 200);  // single-code form without a code: any code
  EXPECT_EQ(c->SendCmd("NOOP", 200), 200);
  try {
    c->SendCmd("NOOP", TIdReplyCodes{250, 257});
    FAIL() << "expected EIdProtocolReplyError";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 200);
    EXPECT_STREQ(e.what(), "OK\r\n");
  }
  EXPECT_EQ(c->LastReply().NumericCode(), 200);
  EXPECT_EQ(c->CheckReplyCode(0, {}), 0);
  EXPECT_THROW(c->CheckReplyCode(0, {200}), EIdProtocolReplyError);
  EXPECT_THROW(c->RaiseReplyErrorAs<EIdConnectException>(), EIdConnectException);
}

namespace {
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

TEST(NetReplyCheck, SingleCodeFormGoesThroughTheOverride) {
  TScriptedPeer peer;
  peer.ReadLine().Send("331 need pass\r\n").ReadLine().Send("230 in\r\n").Hold();
  TLoggingClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(peer.Start());
  c.ConnectToHost();
  c.SetReadTimeout(10000);
  EXPECT_EQ(c.SendCmd("USER u", 331), 331);
  EXPECT_EQ(c.SendCmd("PASS p"), 230);
  EXPECT_EQ(c.sent, (std::vector<std::string>{"USER u", "PASS p"}));
  EXPECT_EQ(peer.Received(), (std::vector<std::string>{"USER u", "PASS p"}));
}

// The bounds a hostile server meets, beside replies that must pass. Each row's bytes go out in
// chunks with a pause after each. Outcome: "code text|lines [second line as received] [bytes
// left in the socket]", or "class: message" of the failure.
TEST(NetReplyBounds, HostileAndNormalReplies) {
  auto repeat = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  std::vector<std::string> trickle;
  for (char ch : std::string("220 slow\r\n")) trickle.emplace_back(1, ch);
  struct Row {
    const char* name;
    std::vector<std::string> chunks;
    int pauseMs;
    int replyTimeout;
    std::string outcome;
  } rows[] = {
      // Blank lines before a reply are skipped; lines are trimmed before the code is cut off.
      {"single line", {"\r\n  \r\n200 OK\r\n"}, 0, 30000, "200 OK [] []"},
      {"multi-line",
       {"220-first\r\n230 not the end\r\n   220 indented end\r\n"},
       0,
       30000,
       "220 first|not the end|indented end [230 not the end] []"},
      // A short continuation line (" CCC" in a FEAT reply) is no end.
      {"short lines inside",
       {"211-Features:\r\n CCC\r\n PBSZ\r\n211 End\r\n"},
       0,
       30000,
       "211 Features:|||End [ CCC] []"},
      {"continuation lines are cut too",
       {"230-Welcome\r\ncontinued\r\n230 Logged in\r\n"},
       0,
       30000,
       "230 Welcome|inued|Logged in [continued] []"},
      {"no numeric code", {"abc hello\r\n"}, 0, 30000, "0 hello [] []"},
      {"a bare code ends it", {"211-x\r\n211\r\n"}, 0, 30000, "211 x| [211] []"},
      {"empty first text", {"550-\r\n550 gone\r\n"}, 0, 30000, "550 |gone [550 gone] []"},
      {"MLST entry with blanks, then a TLS handshake",
       {"250-Listing\r\n type=file;  lead.txt \r\n250 End\r\n\x16\x03\x01"},
       0,
       30000,
       "250 Listing|=file;  lead.txt|End [ type=file;  lead.txt ] [\x16\x03\x01]"},
      {"4096 lines pass",
       {"211-a\r\n" + repeat(" feature\r\n", 4094) + "211 End\r\n"},
       0,
       30000,
       "211 a|" + repeat("ure|", 4094) + "End [ feature] []"},
      {"4097 lines fail",
       {"211-a\r\n" + repeat(" feature\r\n", 4095) + "211 End\r\n"},
       0,
       30000,
       "EIdReplyTooLong: Reply longer than 4096 lines."},
      {"blank lines count",
       {repeat("\r\n", 5000)},
       0,
       30000,
       "EIdReplyTooLong: Reply longer than 4096 lines."},
      {"endless reply of long lines",
       {"220-x\r\n" + repeat(std::string(998, 'y') + "\r\n", 2048)},
       0,
       30000,
       "EIdReplyTooLong: Reply longer than 1048576 bytes."},
      {"trickle past the deadline", trickle, 100, 300,
       "EIdReadTimeout: Reply not complete within 300 ms."},
      {"the same trickle without a deadline", trickle, 100, 0, "220 slow [] []"},
  };
  for (const Row& row : rows) {
    TScriptedPeer peer;
    for (const std::string& chunk : row.chunks) peer.Send(chunk).Pause(row.pauseMs);
    peer.Hold();
    auto c = ConnectTo(peer, 5000);
    c->SetReplyTimeout(row.replyTimeout);
    std::string outcome;
    try {
      c->ReadReply();
      const TIdRFCReply& r = c->LastReply();
      char rest[16];
      const long n = c->PendingInput().Empty() ? c->Binding()->RecvWithin(rest, 16, 0) : -1;
      outcome = std::to_string(r.NumericCode());
      for (std::size_t i = 0; i < r.Text().size(); ++i) outcome += (i ? "|" : " ") + r.Text()[i];
      outcome += " [" + (r.Lines().size() > 1 ? r.Lines()[1] : "") + "] [" +
                 std::string(rest, static_cast<std::size_t>(std::max(n, 0L))) + "]";
    } catch (const EIdException& e) {
      outcome = std::string(e.ClassName()) + ": " + e.what();
    }
    EXPECT_EQ(row.outcome, outcome) << row.name;
  }
}
