// Replies of the line protocol: parsing, single- and multi-line reading, code checking and
// SendCmd, over a scripted loopback peer.
#include <gtest/gtest.h>

#include "net/IdRFCReply.h"
#include "tests/net/NetTestUtil.h"

TEST(NetReplyParse, CodesAndTextLines) {
  TIdRFCReply reply;
  reply.ParseReplyLines({"227 Entering Passive Mode (127,0,0,1,4,1)"});
  EXPECT_EQ(reply.NumericCode(), 227);
  EXPECT_EQ(reply.TextCode(), "227");
  EXPECT_EQ(reply.Text(), std::vector<std::string>{"Entering Passive Mode (127,0,0,1,4,1)"});

  reply.ParseReplyLines({"230-Welcome", "continued", "230 Logged in"});
  EXPECT_EQ(reply.NumericCode(), 230);
  EXPECT_EQ(reply.Text(), (std::vector<std::string>{"Welcome", "inued", "Logged in"}));

  reply.ParseReplyLines({"550-"});
  EXPECT_EQ(reply.NumericCode(), 550);
  EXPECT_EQ(reply.Text(), std::vector<std::string>{""});

  reply.ParseReplyLines({"abc hello"});
  EXPECT_EQ(reply.NumericCode(), 0);

  reply.ParseReplyLines({});
  EXPECT_EQ(reply.NumericCode(), 0);
  EXPECT_TRUE(reply.Text().empty());
  EXPECT_EQ(reply.TextCode(), "");
}

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
}

TEST(NetReplyRead, SingleAndMultiLineReplies) {
  TScriptedPeer peer;
  peer.Send("\r\n  \r\n200 OK\r\n")
      .Send("220-first\r\n230 not the end\r\n   220 indented end\r\n")
      .Send("211-x\r\n211\r\n")
      .Send("550-\r\n550 gone\r\n")
      .Send("214-a\r\n214 end\r\n")
      .Hold();
  auto c = ConnectTo(peer);
  c->ReadReply();
  EXPECT_EQ(c->LastReply().NumericCode(), 200);
  EXPECT_EQ(c->LastReply().Text(), std::vector<std::string>{"OK"});

  c->ReadReply();
  EXPECT_EQ(c->LastReply().NumericCode(), 220);
  // Lines are trimmed before their first four characters are cut.
  EXPECT_EQ(c->LastReply().Text(),
            (std::vector<std::string>{"first", "not the end", "indented end"}));

  c->ReadReply();  // an exact "211" ends the reply and adds an empty text line
  EXPECT_EQ(c->LastReply().NumericCode(), 211);
  EXPECT_EQ(c->LastReply().Text(), (std::vector<std::string>{"x", ""}));

  c->ReadReply();
  EXPECT_EQ(c->LastReply().NumericCode(), 550);
  EXPECT_EQ(c->LastReply().Text(), (std::vector<std::string>{"", "gone"}));

  EXPECT_EQ(c->ExpectReply({214}), 214);
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
