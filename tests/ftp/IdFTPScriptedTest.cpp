// The client against a scripted server, for replies real servers do not give. Each row plays
// a conversation in passive and in active mode and checks the exact command lines the client
// sent as well as what it returned.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ftp/IdFTP.h"
#include "tests/net/NetTestUtil.h"

using Lines = std::vector<std::string>;

namespace {

// The server's side, a step at a time: "+text" is sent at once (a greeting, a final reply);
// any other step first reads the next command. "@" answers PASV with a passive listener's 227
// ("@)": without the parentheses) and PORT with 200; "=data" sends 150, opens the data
// connection, sends data and closes it ("=data~": keeps it open and answers nothing more);
// anything else is the reply (CR LF added unless it ends in LF). Then it reads, silently,
// until the client closes (at most 10 s).
void Play(ScriptedSession& s, const Lines& steps) {
  std::string host;
  int port = 0;
  for (const std::string& step : steps) {
    std::string cmd;
    if (step[0] != '+' && (cmd = s.ReadCommand()).empty()) return;
    if (step[0] == '@') {
      std::string reply = s.OpenPassive();
      if (step == "@)") reply = reply.substr(0, 26) + reply.substr(27, reply.size() - 29);
      s.Send(ScriptedSession::ParsePort(cmd, host, port) ? "200 PORT ok" : reply);
    } else if (step[0] == '=') {
      s.Send("150 Here it comes");
      if (!(port != 0 ? s.ConnectActive(host, port) : s.AcceptData())) return;
      port = 0;
      const bool hold = step.back() == '~';
      s.SendData(step.substr(1, step.size() - 1 - hold));
      if (hold) break;
      s.CloseData();
    } else {
      s.SendRaw(step.substr(step[0] == '+') + (step.back() == '\n' ? "" : "\r\n"));
    }
  }
  for (int i = 0; i < 100 && !s.ClientClosed(); ++i) s.ReadCommand(100);
}

const std::string kLogin = "+220 ready|331 pw|230 in|200 binary|215 UNIX Type: L8";
const std::string kLoginSent = "USER anna|PASS pw|TYPE I|SYST";
const std::string kKept = "-rw-r--r-- 1 a b 1 Mar 5 2019 kept.txt";
// Logged in, a first listing (of kKept) served, then passive or active mode for the next.
const std::string kListed = kLogin + "|@|=" + kKept + "\r\n|+226 ok|@";
const std::string kListedSent = kLoginSent + "|PASV|LIST|PASV";

void Aim(TIdFTP& f, int port, bool passive = true) {
  f.SetHost("127.0.0.1");
  f.SetPort(port);
  f.SetUsername("anna");
  f.SetPassword("pw");
  f.SetPassive(passive);
  f.SetReadTimeout(5000);
}

// What a failure says: "!" and the code of a refusal, else "!" and the class.
std::string Failure(const EIdException& e) {
  const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&e);
  return "!" + (reply ? std::to_string(reply->ErrorCode()) : std::string(e.ClassName()));
}
std::string Outcome(const std::function<std::string()>& call) {
  try {
    return call();
  } catch (const EIdException& e) {
    return Failure(e);
  }
}

// Logs in: "system greeting-code login-code first-status"; a failed open leaves it closed.
std::string Open(TIdFTP& f) {
  std::string first;
  f.OnStatus = [&first](TIdFTP&, int, const std::string& text) {
    if (first.empty()) first = text;
  };
  const std::string out = Outcome([&] {
    f.OpenSession(true, 5000);
    return f.SystemDescription() + " " + std::to_string(f.GreetingReply().NumericCode()) + " " +
           std::to_string(f.LoginReply().NumericCode()) + " " + first;
  });
  f.OnStatus = nullptr;
  EXPECT_EQ(out[0] != '!', f.IsConnected());
  return out;
}

// After the first listing, lists again: "what the destination got / the listing lines
// afterwards / the code of a NOOP sent next" (a failure keeps the listing and its parse).
std::function<std::string(TIdFTP&)> List(const std::string& specifier, bool noop = true) {
  return [specifier, noop](TIdFTP& f) {
    Open(f);
    f.RequestListing(nullptr, "", true);
    TIdFTPListItems* before = &f.ParsedListing();
    Lines got{"old"};
    const std::string out = Outcome([&] {
      f.RequestListing(&got, specifier, specifier.empty());
      return Join(got);
    });
    if (out[0] == '!') {
      EXPECT_EQ(before, &f.ParsedListing());
    }
    return out + " / " + Join(f.ListingLines()) + " / " +
           (noop ? std::to_string(f.SendCmd("NOOP", 200)) : "");
  };
}

std::string Code(const std::function<void()>& call) {
  return Outcome([&] { return call(), std::string("0"); });
}

std::string FileCommands(TIdFTP& f) {
  f.SetTransferType(ftBinary);  // unchanged: nothing sent
  Open(f);
  std::string out;
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { f.ChangeRemoteDirectory("/pub dir"); },
           [&] { f.ChangeRemoteDirectory("/missing"); }, [&] { f.CreateRemoteDirectory("/d"); },
           [&] { f.RemoveRemoteDirectory("/d"); }, [&] { f.DeleteRemoteFile("/a b.txt"); },
           [&] { f.RenameRemote("/x", "/y"); },  // no RNTO follows a refused RNFR
           [&] { f.RenameRemote("/a", "/b"); }})
    out += Code(call) + " ";
  out += std::to_string(f.ProbeRestartSupport()) + std::to_string(f.ProbeRestartSupport());
  f.SetTransferType(ftASCII);
  f.SetTransferType(ftASCII);
  out += " " + std::to_string(f.IsConnected());  // refusals leave the session open
  f.CloseConnection();
  f.SetTransferType(ftBinary);  // disconnected: only stored
  return out + std::to_string(f.TransferType() == ftBinary);
}

// REST with the stream position goes before the command; the data is appended.
std::string Resume(TIdFTP& f) {
  Open(f);
  TIdMemoryStream stream;
  stream.SetSize(1000);
  stream.SetPosition(1000);
  f.ReceiveToStream("RETR /f.bin", stream, true);
  return stream.Bytes().substr(1000);
}

// ABOR goes out at once and the data channel is dropped, not freed; a type change waits.
std::string Abort(TIdFTP& f) {
  Open(f);
  f.OpenDataConnection();
  std::string out = std::to_string(f.DataConnection()->IsConnected());
  f.SetTransferType(ftASCII);
  f.SendAbort();
  out += std::to_string(f.DataConnection()->IsConnected()) +
         std::to_string(f.TransferType() == ftBinary);
  out += " " + std::to_string(f.ExpectReply({}));
  out += " " + std::to_string(f.ExpectReply({}));
  f.FreeDataConnection();
  return out;
}

TEST(FtpScripted, Conversations) {
  const std::string kept = " / " + kKept + " / ";
  struct Row {
    std::string steps;
    std::function<std::string(TIdFTP&)> op;
    std::string sent, result;
    std::string active = "";  // when active mode differs
  } rows[] = {
      {"+220-Welcome\r\n  to the odd server\r\n220 ready\n|331 pw|230 in|200 ok|"
       "215-UNIX Type: L8\r\nVersion: 1\r\n215 end\n",
       Open, kLoginSent, "UNIX Type: L8 220 230 Connection established"},
      {"+220 x|230 no password needed|200 ok|215 UNIX", Open, "USER anna|TYPE I|SYST",
       "UNIX 220 230 Connection established"},
      {"+220 x|331 pw|332 account", Open, "USER anna|PASS pw", "!332"},
      {"+220 x|530 no", Open, "USER anna", "!530"},
      {"+220 x|331 pw|230 ok|200 ok|500 what", Open, kLoginSent,
       "Unknown 220 230 Connection established"},
      {"+220 x|331 pw|230 ok|200 ok|502 no", Open, kLoginSent, "!502"},
      {kLogin + "|250 CWD ok|550 no such dir|257 \"/d\" created|250 RMD ok|250 DELE ok|550 no|"
                "350 ready|250 RNTO ok|350 Restarting at 1|350 Restarting at 0|200 Type A",
       FileCommands,
       kLoginSent + "|CWD /pub dir|CWD /missing|MKD /d|RMD /d|DELE /a b.txt|RNFR /x|RNFR /a|"
                    "RNTO /b|REST 1|REST 0|TYPE A",
       "0 !550 0 0 0 !550 0 11 11"},
      // Listings: line ends, a transfer closed with 426, a refusal and a server that stalls.
      {kListed + "|=one\r\ntwo\nthree\rfour\r\n|+226 ok|200 NOOP ok", List(""),
       kListedSent + "|LIST|NOOP", "one|two|three|four / one|two|three|four / 200"},
      {kListed + std::string("|=one\r\n\r\ntw\0o\r\nlost|+226 ok|200 NOOP ok", 39), List(""),
       kListedSent + "|LIST|NOOP", "one||tw / one||tw / 200"},
      {kListed + "|=|+226 ok|200 NOOP ok", List(""), kListedSent + "|LIST|NOOP", " /  / 200"},
      // Closed with 426: maybe incomplete, an error, nothing kept.
      {kListed + "|=a.txt\r\nb.t|+426 Connection closed.|200 NOOP ok", List("*.txt"),
       kListedSent + "|NLST *.txt|NOOP", "!426" + kept + "200"},
      {kListed + "|550 No such directory.|200 NOOP ok", List(""), kListedSent + "|LIST|NOOP",
       "!550" + kept + "200"},
      {kListed + "|=partial~", List("", false), kListedSent + "|LIST", "!EIdReadTimeout" + kept},
      // The data connection never comes: the passive one is accepted by the kernel alone.
      {kListed + "|150 Here it comes", List("", false), kListedSent + "|LIST",
       "!EIdReadTimeout" + kept, "!EIdAcceptTimeout" + kept},
      {kLogin + "|@|350 Restarting at 1000|=tail|+226 done", Resume,
       kLoginSent + "|PASV|REST 1000|RETR /f.bin", "tail"},
      {kLogin + "|@)|426 aborted\r\n226 ABOR ok\n", Abort, kLoginSent + "|PASV|ABOR",
       "101 426 226"},  // and a 227 without parentheses
  };
  for (bool passive : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(passive ? "passive: " : "active: ") + row.steps);
      ScriptedFtpServer server([&row](ScriptedSession& s) { Play(s, Split(row.steps)); });
      TIdFTP ftp;
      Aim(ftp, server.Port(), passive);
      ftp.SetDataTimeout(300);
      EXPECT_EQ(passive || row.active.empty() ? row.result : row.active, row.op(ftp));
      EXPECT_EQ(nullptr, ftp.DataConnection());
      ftp.CloseConnection();
      // The active listener is announced on the control connection's local address.
      Lines sent = server.Commands();
      for (std::string& line : sent)
        if (!passive && line.rfind("PORT 127,0,0,1,", 0) == 0) line = "PASV";
      EXPECT_EQ(row.sent, Join(sent));
      EXPECT_EQ(Lines{}, server.Mismatches());
    }
  }
}

// TLS that cannot start never lets the login go out in the clear. The build without TLS
// refuses before it connects.
TEST(FtpScripted, TlsThatCannotStartStopsBeforeTheLogin) {
  const std::tuple<TTlsMode, const char*, int, const char*> rows[] = {
      {TTlsMode::Explicit, "500 AUTH not understood.\r\n", 5000, "AUTH not understood."},
      {TTlsMode::Explicit, "534 Policy denies TLS.\r\n", 5000, "Policy denies TLS."},
      // Anything behind the 234 came in the clear: the reply reader leaves it in the socket,
      // where it is no TLS record, and never takes it for a protected reply.
      {TTlsMode::Explicit, "234 Go ahead.\r\n230 Logged in.\r\n", 5000, "TLS handshake failed"},
      {TTlsMode::Explicit, "234 Go ahead.\r\n", 300, "TLS handshake timed out."},
      {TTlsMode::Implicit, "", 5000, "TLS handshake failed"},  // a plain greeting
  };
  for (const auto& [mode, reply, timeoutMs, error] : rows) {
    SCOPED_TRACE(reply);
    ScriptedFtpServer server([&, reply = reply](ScriptedSession& s) {
      Play(s, *reply ? Lines{"+220 plain", reply} : Lines{"+220 plain"});
    });
    TIdFTP ftp;
    Aim(ftp, server.Port());
    ftp.SetTlsMode(mode);
    ftp.SetReadTimeout(timeoutMs);
    std::string message;
    try {
      ftp.OpenSession(true, 5000);
    } catch (const EIdException& e) {
      message = e.Message();
    }
    const bool tls = IdTLSAvailable();
    EXPECT_NE(std::string::npos, message.find(tls ? error : "TLS is not available in this build."))
        << message;
    // The handshake's bytes are recorded too: only AUTH TLS may come before them.
    const Lines sent = server.Commands();
    EXPECT_TRUE(!tls || !*reply || sent.at(0) == "AUTH TLS");
    for (const std::string& line : sent)
      EXPECT_TRUE(line.rfind("USER", 0) != 0 && line.rfind("PASS", 0) != 0) << line;
    EXPECT_EQ(tls, server.SessionsStarted() > 0);
    EXPECT_FALSE(ftp.IsConnected());
  }
}

TEST(FtpScripted, ProxyLoginSequences) {
  const std::pair<TIdFtpProxyType, std::string> rows[] = {
      {fpcmUserSite, "USER pu|PASS pp|USER anna@ftp.target|PASS pw"},
      {fpcmSite, "USER pu|PASS pp|SITE ftp.target|USER anna|PASS pw"},
      {fpcmOpen, "USER pu|PASS pp|OPEN ftp.target|USER anna|PASS pw"},
      {fpcmUserPass, "USER anna@pu@ftp.target|PASS pw@pp"},
      {fpcmUserPass, "USER anna@pu@ftp.target|PASS pw"},  // no proxy password
      {fpcmTransparent, "USER pu|PASS pp|USER anna|PASS pw"},
      {fpcmNone, "USER anna|PASS pw"},                 // straight to the target
      {fpcmSite, "SITE 127.0.0.1|USER anna|PASS pw"},  // no proxy host: the same
      {fpcmHttpProxyWithFtp, ""},                      // not supported: nothing sent, closed
  };
  for (const auto& [type, sent] : rows) {
    SCOPED_TRACE(sent);
    ScriptedFtpServer server([](ScriptedSession& s) {
      s.Greet();
      for (std::string cmd; !(cmd = s.ReadCommand(2000)).empty();)
        s.Send(cmd.rfind("USER", 0) == 0 ? "331 pw" : cmd.rfind("PASS", 0) == 0 ? "230 in" : "200");
    });
    // The proxy is the scripted server; without a proxy host the target is.
    const bool direct = type == fpcmNone || sent.rfind("SITE 127.0.0.1", 0) == 0;
    TIdFTP ftp;
    Aim(ftp, server.Port());
    ftp.SetHost(direct ? "127.0.0.1" : "ftp.target");
    TIdFtpProxySettings proxy;
    proxy.ProxyType = type;
    if (!direct) {
      proxy.Host = "127.0.0.1";
      proxy.Port = server.Port();
      proxy.UserName = "pu";
      proxy.Password = sent == "USER anna@pu@ftp.target|PASS pw" ? "" : "pp";
    }
    ftp.SetProxySettings(proxy);
    const bool supported = type != fpcmHttpProxyWithFtp;
    EXPECT_EQ(supported ? "" : "!EIdException",
              Outcome([&] { return ftp.OpenSession(true, 5000), std::string(); }));
    EXPECT_EQ(supported ? sent + "|TYPE I|SYST" : sent, Join(server.Commands()));
    EXPECT_EQ(direct ? "127.0.0.1" : "ftp.target", ftp.Host());
    EXPECT_EQ(supported, ftp.IsConnected());
  }
  // Settings are copied, and only from their own kind.
  TIdFTP ftp;
  TIdPersistent other;
  try {
    ftp.ProxySettings().Assign(other);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ("Cannot assign a TIdPersistent to a TIdFtpProxySettings", e.what());
  }
}

TEST(FtpScripted, PassiveRepliesAndPortCommands) {
  const std::tuple<const char*, const char*, int> good[] = {
      {"Entering Passive Mode (192,168,0,10,19,137)", "192.168.0.10", 5001},
      {"Entering Passive Mode (10,1,2,3,4,1).", "10.1.2.3", 1025},
      {"=10,1,2,3,4,1", "=10.1.2.3", 1025},
      {"  Entering Passive Mode (127,0,0,1,0,21)  ", "127.0.0.1", 21},
      {"Entering Passive Mode (10,1,2,3,4,1,99)", "10.1.2.3", 1025},
  };
  for (const auto& [line, host, port] : good) {
    std::string h;
    int p = 0;
    TIdFTP::ParsePassiveReply(line, h, p);
    EXPECT_EQ(std::string(host) + ":" + std::to_string(port), h + ":" + std::to_string(p)) << line;
  }
  for (const char* bad : {"Entering Passive Mode (10,1,2,3,4)", "Entering Passive Mode",
                          "(10,1,2,3,x,1)", "(10,1,2,3,256,1)", "(10,1,2,3,4,-1)",
                          "(1,2,3,4,400000002,1)", "", "Entering Passive Mode )10,1,2,3,4,1("}) {
    std::string h;
    int p = 0;
    EXPECT_THROW(TIdFTP::ParsePassiveReply(bad, h, p), EConvertError) << bad;
  }
  ScriptedFtpServer server([](ScriptedSession& s) { Play(s, Split(kLogin + "|200|200|200")); });
  TIdFTP ftp;
  Aim(ftp, server.Port());
  Open(ftp);
  for (int port : {256, 255, 5001}) {
    TIdSocketHandle binding;
    binding.SetIP("127.0.0.1");
    binding.SetPort(port);
    ftp.SendPortCommand(binding);
  }
  EXPECT_EQ(kLoginSent + "|PORT 127,0,0,1,1,0|PORT 127,0,0,1,0,255|PORT 127,0,0,1,19,137",
            Join(server.Commands()));
}

// The active mode's listener.
TEST(FtpScripted, SimpleServerAcceptsOneConnectionOrEndsOnAbort) {
  {
    // A client connects: the binding becomes the accepted socket, the listener is closed.
    TIdSimpleServer server;
    server.BoundIP = "127.0.0.1";
    server.AcceptTimeout = 5000;
    server.StartListening();
    auto client = ConnectTo(server.Binding()->Port());
    EXPECT_TRUE(server.AcceptConnection());
    EXPECT_EQ(veldra::platform::kInvalidSocket, server.ListenSocket());
    client->WriteLine("hello");
    EXPECT_EQ("hello", server.ReadLine());
  }
  // Nobody connects: RequestAbort from another thread (before or during the wait) ends it
  // with false.
  TIdSimpleServer server;
  server.BoundIP = "127.0.0.1";
  server.StartListening();
  std::thread aborter([&server] { server.RequestAbort(); });
  EXPECT_FALSE(server.AcceptConnection());
  aborter.join();
  EXPECT_EQ(veldra::platform::kInvalidSocket, server.ListenSocket());
}

// A first line of a layout nobody knows; the owner claims it and parses it, refusing a line.
TEST(FtpScripted, ParsedListingOwnerHooksAndCustomLayout) {
  TIdFTP ftp;
  // No lines: an empty collection with the initial layout.
  EXPECT_EQ(0, ftp.ParsedListing().ItemCount());
  EXPECT_EQ(flfUnix, ftp.ParsedListing().DetectedFormat);
  TIdFTP custom;
  custom.ListingLines() = {"#entry one", "bad", "#entry two"};
  TIdFTPListItems* supplied = nullptr;
  custom.OnCreateFTPList = [&](TIdFTP&, std::unique_ptr<TIdFTPListItems>& list) {
    list = std::make_unique<TIdFTPListItems>();
    supplied = list.get();
    list->OnParseCustomListFormat = [](TIdFTPListItem& item) {
      if (item.RawLine == "bad") throw EIdInvalidFTPListingFormat("bad");
      item.EntryName = item.RawLine.substr(7);
    };
  };
  std::string seen;
  custom.OnCheckListFormat = [&](TIdFTP&, const std::string& line, TIdFTPListFormat& format) {
    seen = line;
    EXPECT_EQ(flfUnknown, format);
    format = flfCustom;
  };
  TIdFTPListItems& items = custom.ParsedListing();
  EXPECT_EQ(supplied, &items);
  EXPECT_EQ("#entry one", seen);
  ASSERT_EQ(2, items.ItemCount());
  EXPECT_EQ("two", items.ItemAt(1).EntryName);
  EXPECT_EQ("#entry two", items.ItemAt(1).RawLine);
  EXPECT_TRUE(custom.GetOnParseCustomListFormat());
  EXPECT_EQ(&items, &custom.ParsedListing());  // parsed once per listing
}

}  // namespace
