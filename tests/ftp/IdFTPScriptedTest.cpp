// The client against a scripted server, for replies real servers do not give. Each case
// checks the exact command lines the client sent as well as what it returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ftp/IdFTP.h"
#include "tests/support/ScriptedFtpServer.h"

using veldra::test::ScriptedFtpServer;
using veldra::test::ScriptedSession;
using Lines = std::vector<std::string>;

namespace {

void Login(ScriptedSession& s) {
  s.Greet();
  s.AcceptLogin();
  s.Expect("TYPE I");
  s.Send("200 Switching to Binary mode.");
  s.Expect("SYST");
  s.Send("215 UNIX Type: L8");
}

// Answers the client's PASV or PORT and opens the data connection once `command` came and
// "150" went; false when it could not.
bool OpenData(ScriptedSession& s, bool passive, const std::string& command) {
  std::string host;
  int port = 0;
  if (passive) {
    s.Expect("PASV");
    s.Send(s.OpenPassive());
  } else {
    s.Expect("PORT *");
    ScriptedSession::ParsePort(s.LastCommand(), host, port);
    s.Send("200 PORT command successful.");
  }
  s.Expect(command);
  s.Send("150 Here comes the data.");
  return passive ? s.AcceptData() : s.ConnectActive(host, port);
}

// Serves one transfer command: the data connection in the client's mode, `data`, then the
// final reply lines.
void ServeTransfer(ScriptedSession& s, bool passive, const std::string& command,
                   const std::string& data, const Lines& finals = {"226 Transfer complete."}) {
  if (!OpenData(s, passive, command)) return;
  s.SendData(data);
  s.CloseData();
  for (const std::string& f : finals) s.Send(f);
}

struct Client {
  ScriptedFtpServer server;
  TIdFTP ftp;
  Lines statuses;

  explicit Client(ScriptedFtpServer::Handler handler, bool passive = true)
      : server(std::move(handler)) {
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(server.Port());
    ftp.SetUsername("anna");
    ftp.SetPassword("pw");
    ftp.SetPassive(passive);
    ftp.SetReadTimeout(5000);
    ftp.OnStatus = [this](TIdFTP&, int, const std::string& text) { statuses.push_back(text); };
  }
  ~Client() { EXPECT_EQ(Lines{}, server.Mismatches()); }
};

// The reply code of the EIdProtocolReplyError `call` raised (0: none), or -1 for another error.
int ReplyCodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EIdProtocolReplyError& e) {
    return e.ErrorCode();
  } catch (const EIdException&) {
    return -1;
  }
  return 0;
}

TEST(FtpSessionScripted, LoginVariants) {
  struct Row {
    const char* greeting;  // raw
    const char* userReply;
    const char* passReply;  // nullptr: not asked
    const char* systReply;  // raw; nullptr: the session stops before TYPE
    Lines sent;
    int error;  // the reply error's code, 0: success
    const char* system;
  } rows[] = {
      {"220-Welcome\r\n  to the odd server\r\n220 ready\r\n",
       "331 pw",
       "230 in",
       "215-UNIX Type: L8\r\nVersion: 1\r\n215 end\r\n",
       {"USER anna", "PASS pw", "TYPE I", "SYST"},
       0,
       "UNIX Type: L8"},
      {"220 x\r\n",
       "230 no password needed",
       nullptr,
       "215 UNIX\r\n",
       {"USER anna", "TYPE I", "SYST"},
       0,
       "UNIX"},
      {"220 x\r\n", "331 pw", "332 need account", nullptr, {"USER anna", "PASS pw"}, 332, ""},
      {"220 x\r\n", "530 no", nullptr, nullptr, {"USER anna"}, 530, ""},
      {"220 x\r\n",
       "331 pw",
       "230 ok",
       "500 what\r\n",
       {"USER anna", "PASS pw", "TYPE I", "SYST"},
       0,
       "Unknown"},
      {"220 x\r\n",
       "331 pw",
       "230 ok",
       "502 no\r\n",
       {"USER anna", "PASS pw", "TYPE I", "SYST"},
       502,
       ""},
  };
  for (const Row& k : rows) {
    SCOPED_TRACE(k.userReply + std::string(" / ") + (k.passReply ? k.passReply : "-"));
    Client c([&k](ScriptedSession& s) {
      s.SendRaw(k.greeting);
      s.ReadCommand();
      s.Send(k.userReply);
      if (k.passReply) {
        s.ReadCommand();
        s.Send(k.passReply);
      }
      if (k.systReply) {
        s.ReadCommand();
        s.Send("200 ok");
        s.ReadCommand();
        s.SendRaw(k.systReply);
      }
      s.ReadCommand(1000);
    });
    EXPECT_EQ(k.error, ReplyCodeOf([&] { c.ftp.OpenSession(true, 5000); }));
    EXPECT_EQ(k.sent, c.server.Commands());
    EXPECT_EQ(k.error == 0, c.ftp.IsConnected());  // a failed open leaves it closed
    EXPECT_EQ(k.system, c.ftp.SystemDescription());
    if (k.error != 0) continue;
    EXPECT_EQ(220, c.ftp.GreetingReply().NumericCode());
    EXPECT_EQ(230, c.ftp.LoginReply().NumericCode());
    EXPECT_EQ(Lines{"Connection established"}, c.statuses);
  }
}

// TLS that cannot start never lets the login go out in the clear. The build without TLS
// refuses before it connects.
TEST(FtpSessionScripted, TlsThatCannotStartStopsBeforeTheLogin) {
  struct Case {
    TTlsMode mode;
    const char* reply;  // raw bytes after the greeting's reply to AUTH TLS ("" for implicit)
    int timeoutMs;
    const char* error;
  } cases[] = {
      {TTlsMode::Explicit, "500 AUTH not understood.\r\n", 5000, "AUTH not understood."},
      {TTlsMode::Explicit, "534 Policy denies TLS.\r\n", 5000, "Policy denies TLS."},
      // Anything behind the 234 came in the clear: the reply reader leaves it in the socket,
      // where it is no TLS record, and never takes it for a protected reply.
      {TTlsMode::Explicit, "234 Go ahead.\r\n230 Logged in.\r\n", 5000, "TLS handshake failed"},
      {TTlsMode::Explicit, "234 Go ahead.\r\n", 300, "TLS handshake timed out."},
      {TTlsMode::Implicit, "", 5000, "TLS handshake failed"},  // a plain greeting
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.reply);
    Client c([&k](ScriptedSession& s) {
      s.Send("220 plain server");
      if (k.mode == TTlsMode::Explicit && s.Expect("AUTH TLS")) s.SendRaw(k.reply);
      // Silent until the client gives up (its handshake bytes are no command).
      for (int i = 0; i < 20 && !s.ClientClosed(); ++i) s.ReadCommand(100);
    });
    c.ftp.SetTlsMode(k.mode);
    c.ftp.SetReadTimeout(k.timeoutMs);
    std::string error;
    try {
      c.ftp.OpenSession(true, 5000);
    } catch (const EIdException& e) {
      error = e.Message();
    }
    if (!IdTLSAvailable()) {
      EXPECT_EQ("TLS is not available in this build.", error);
      EXPECT_EQ(0, c.server.SessionsStarted());
      continue;
    }
    EXPECT_NE(std::string::npos, error.find(k.error)) << error;
    for (const std::string& line : c.server.Commands())
      EXPECT_TRUE(line.rfind("USER", 0) != 0 && line.rfind("PASS", 0) != 0) << line;
    EXPECT_FALSE(c.ftp.IsConnected());
  }
}

TEST(FtpSessionScripted, ProxyLoginSequences) {
  struct Row {
    TIdFtpProxyType type;
    const char* proxyHost;  // "": none, straight to the target with the type's lines
    const char* proxyPassword;
    Lines sent;
  } rows[] = {
      {fpcmNone, "p", "pp", {"USER anna", "PASS pw"}},
      {fpcmUserSite, "p", "pp", {"USER pu", "PASS pp", "USER anna@ftp.target", "PASS pw"}},
      {fpcmSite, "p", "pp", {"USER pu", "PASS pp", "SITE ftp.target", "USER anna", "PASS pw"}},
      {fpcmOpen, "p", "pp", {"USER pu", "PASS pp", "OPEN ftp.target", "USER anna", "PASS pw"}},
      {fpcmUserPass, "p", "pp", {"USER anna@pu@ftp.target", "PASS pw@pp"}},
      {fpcmUserPass, "p", "", {"USER anna@pu@ftp.target", "PASS pw"}},
      {fpcmTransparent, "p", "pp", {"USER pu", "PASS pp", "USER anna", "PASS pw"}},
      {fpcmSite, "", "pp", {"SITE 127.0.0.1", "USER anna", "PASS pw"}},
      {fpcmHttpProxyWithFtp, "p", "pp", {}},  // not supported: nothing sent, closed
  };
  for (const Row& k : rows) {
    SCOPED_TRACE(k.type);
    Client c([](ScriptedSession& s) {
      s.Greet();
      for (std::string cmd; !(cmd = s.ReadCommand(2000)).empty();)
        s.Send(cmd.rfind("USER", 0) == 0   ? "331 send password"
               : cmd.rfind("PASS", 0) == 0 ? "230 in"
                                           : "200 ok");
    });
    // The proxy is the scripted server; without a proxy host the target is.
    c.ftp.SetHost("ftp.target");
    TIdFtpProxySettings proxy;
    proxy.Host = "127.0.0.1";
    proxy.Port = c.server.Port();
    proxy.UserName = "pu";
    proxy.Password = k.proxyPassword;
    proxy.ProxyType = k.type;
    if (*k.proxyHost == '\0' || k.type == fpcmNone) {
      proxy = TIdFtpProxySettings();
      proxy.ProxyType = k.type;
      c.ftp.SetHost("127.0.0.1");
    }
    c.ftp.SetProxySettings(proxy);
    const bool supported = k.type != fpcmHttpProxyWithFtp;
    EXPECT_EQ(supported ? 0 : -1, ReplyCodeOf([&] { c.ftp.OpenSession(true, 5000); }));
    Lines expected = k.sent;
    if (supported) expected.insert(expected.end(), {"TYPE I", "SYST"});
    EXPECT_EQ(expected, c.server.Commands());
    EXPECT_EQ(proxy.Host.empty() ? "127.0.0.1" : "ftp.target", c.ftp.Host());
    EXPECT_EQ(supported, c.ftp.IsConnected());
    c.ftp.CloseConnection();
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

TEST(FtpSessionScripted, FileCommandsAndSettings) {
  Client c([](ScriptedSession& s) {
    Login(s);
    for (const char* r : {"250 CWD ok", "550 no such dir", "257 \"/d\" created", "250 RMD ok",
                          "250 DELE ok", "550 RNFR refused", "350 ready", "250 RNTO ok",
                          "350 Restarting at 1", "350 Restarting at 0", "200 Type A"}) {
      if (s.ReadCommand().empty()) return;
      s.Send(r);
    }
    s.ReadCommand(1000);
  });
  TIdFTP& f = c.ftp;
  f.SetTransferType(ftBinary);  // unchanged: nothing sent
  f.OpenSession(true, 5000);
  f.ChangeRemoteDirectory("/pub dir");
  EXPECT_EQ(550, ReplyCodeOf([&] { f.ChangeRemoteDirectory("/missing"); }));
  f.CreateRemoteDirectory("/d");
  f.RemoveRemoteDirectory("/d");
  f.DeleteRemoteFile("/a b.txt");
  EXPECT_EQ(550, ReplyCodeOf([&] { f.RenameRemote("/x", "/y"); }));  // no RNTO follows
  f.RenameRemote("/a", "/b");
  EXPECT_TRUE(f.ProbeRestartSupport());
  EXPECT_TRUE(f.ProbeRestartSupport());  // probed once per object
  f.SetTransferType(ftASCII);
  f.SetTransferType(ftASCII);
  EXPECT_EQ((Lines{"USER anna", "PASS pw", "TYPE I", "SYST", "CWD /pub dir", "CWD /missing",
                   "MKD /d", "RMD /d", "DELE /a b.txt", "RNFR /x", "RNFR /a", "RNTO /b", "REST 1",
                   "REST 0", "TYPE A"}),
            c.server.Commands());
  EXPECT_TRUE(f.IsConnected());  // refusals leave the session open
  f.CloseConnection();
  f.SetTransferType(ftBinary);  // disconnected: only stored
  EXPECT_EQ(ftBinary, f.TransferType());
}

// Listings in both modes: line ends, a transfer closed with 426, a refusal and a server that
// stalls. Each row serves one LIST or NLST after a listing of "kept.txt"; after the rows marked
// in step, the next reply is the next command's.
TEST(FtpTransferScripted, ListingTable) {
  const std::string kept = "-rw-r--r-- 1 a b 1 Mar 5 2019 kept.txt";
  struct Row {
    const char* what;
    std::function<void(ScriptedSession&, bool passive)> serve;
    const char* specifier;  // "*.txt": NLST
    Lines lines;            // the listing afterwards
    const char* raised;     // "": none; "passive|active" when they differ
    Lines statuses;         // the last reports
    bool inStep = true;     // a NOOP follows
  } rows[] = {
      {"mixed line ends",
       [](ScriptedSession& s, bool p) {
         ServeTransfer(s, p, "LIST", "one\r\ntwo\nthree\rfour\r\n");
       },
       "",
       {"one", "two", "three", "four"},
       "",
       {}},
      {"empty lines, a NUL",
       [](ScriptedSession& s, bool p) {
         ServeTransfer(s, p, "LIST", std::string("one\r\n\r\ntw\0o\r\nlost", 17));
       },
       "",
       {"one", "", "tw"},
       "",
       {}},
      {"no data",
       [](ScriptedSession& s, bool p) { ServeTransfer(s, p, "LIST", ""); },
       "",
       {},
       "",
       {}},
      {"closed with 426: maybe incomplete, an error, nothing kept",
       [](ScriptedSession& s, bool p) {
         ServeTransfer(s, p, "NLST *.txt", "a.txt\r\nb.t",
                       {"426 Connection closed; transfer aborted."});
       },
       "*.txt",
       {kept},
       "EIdProtocolReplyError",
       {}},
      {"a refused LIST keeps the previous listing",
       [](ScriptedSession& s, bool p) {
         s.Expect(p ? "PASV" : "PORT *");
         s.Send(p ? s.OpenPassive() : "200 ok");
         s.Expect("LIST");
         s.Send("550 No such directory.");
       },
       "",
       {kept},
       "EIdProtocolReplyError",
       {}},
      {"a stalled transfer (passive: part of the data; active: no connection)",
       [](ScriptedSession& s, bool p) {
         if (p && OpenData(s, p, "LIST")) s.SendData("partial");
         if (!p) {
           s.Expect("PORT *");
           s.Send("200 ok");
           s.Expect("LIST");
           s.Send("150 Here it comes");
         }
         s.ReadCommand(5000);  // holds the data connection open until the client gives up
       },
       "",
       {kept},
       "EIdReadTimeout|EIdAcceptTimeout",
       {},
       false},
  };
  for (bool passive : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(passive ? "passive: " : "active: ") + row.what);
      Client c(
          [&](ScriptedSession& s) {
            Login(s);
            ServeTransfer(s, passive, "LIST", kept + "\r\n");
            row.serve(s, passive);
            if (row.inStep && s.Expect("NOOP")) s.Send("200 NOOP ok.");
            s.ReadCommand(1000);
          },
          passive);
      c.ftp.SetDataTimeout(300);
      c.ftp.OpenSession(true, 5000);
      c.ftp.RequestListing(nullptr, "", true);
      TIdFTPListItems& before = c.ftp.ParsedListing();
      Lines destination{"old"};
      std::string raised;
      try {
        c.ftp.RequestListing(&destination, row.specifier, *row.specifier == '\0');
      } catch (const EIdException& e) {
        raised = e.ClassName();
      }
      const std::string both = row.raised;
      const size_t bar = both.find('|');
      EXPECT_EQ(bar == std::string::npos ? both
                : passive                ? both.substr(0, bar)
                                         : both.substr(bar + 1),
                raised);
      EXPECT_EQ(row.lines, c.ftp.ListingLines());
      if (raised.empty()) {
        EXPECT_EQ(row.lines, destination);
      } else {
        EXPECT_EQ(&before, &c.ftp.ParsedListing());  // the parsed listing stays too
      }
      EXPECT_EQ(nullptr, c.ftp.DataConnection());
      if (row.inStep) {
        EXPECT_EQ(200, c.ftp.SendCmd("NOOP", 200));
      }
      EXPECT_TRUE(row.statuses.size() <= c.statuses.size() &&
                  std::equal(row.statuses.rbegin(), row.statuses.rend(), c.statuses.rbegin()));
      // The listener is announced on the control connection's local address.
      const Lines sent = c.server.Commands();
      std::string host;
      int port = 0;
      EXPECT_TRUE(passive ||
                  (ScriptedSession::ParsePort(sent.at(4), host, port) && host == "127.0.0.1"));
      c.ftp.CloseConnection();
    }
  }
}

TEST(FtpTransferScripted, ResumeAbortAndReplyWithoutParentheses) {
  // Resume: REST with the stream position precedes the command; data is appended.
  for (bool passive : {true, false}) {
    Client c(
        [passive](ScriptedSession& s) {
          Login(s);
          std::string host;
          int port = 0;
          s.Expect(passive ? "PASV" : "PORT *");
          ScriptedSession::ParsePort(s.LastCommand(), host, port);
          s.Send(passive ? s.OpenPassive() : "200 ok");
          s.Expect("REST 1000");
          s.Send("350 Restarting at 1000");
          s.Expect("RETR /f.bin");
          s.Send("150 Opening");
          if (passive ? s.AcceptData() : s.ConnectActive(host, port)) s.SendData("tail");
          s.CloseData();
          s.Send("226 done");
          s.ReadCommand(1000);
        },
        passive);
    c.ftp.OpenSession(true, 5000);
    TIdMemoryStream stream;
    stream.SetSize(1000);
    stream.SetPosition(1000);
    c.ftp.ReceiveToStream("RETR /f.bin", stream, true);
    EXPECT_EQ("tail", stream.Bytes().substr(1000));
    c.ftp.CloseConnection();
  }
  // Abort: ABOR goes out at once and the data channel is dropped, not freed.
  Client c([](ScriptedSession& s) {
    Login(s);
    s.Expect("PASV");
    // A 227 reply without parentheses.
    const std::string reply = s.OpenPassive();
    const size_t open = reply.find('(');
    s.Send("227 Entering Passive Mode " + reply.substr(open + 1, reply.find(')') - open - 1));
    s.AcceptData();
    s.Expect("ABOR");
    s.Send("426 aborted");
    s.Send("226 ABOR ok");
    s.ReadCommand(1000);
  });
  c.ftp.OpenSession(true, 5000);
  c.ftp.OpenDataConnection();
  ASSERT_NE(nullptr, c.ftp.DataConnection());
  EXPECT_TRUE(c.ftp.DataConnection()->IsConnected());
  c.ftp.SetTransferType(ftASCII);  // ignored during a transfer
  EXPECT_EQ(ftBinary, c.ftp.TransferType());
  c.ftp.SendAbort();
  EXPECT_FALSE(c.ftp.DataConnection()->IsConnected());
  EXPECT_EQ(426, c.ftp.ExpectReply({}));
  EXPECT_EQ(226, c.ftp.ExpectReply({}));
  c.ftp.FreeDataConnection();
  EXPECT_EQ(nullptr, c.ftp.DataConnection());
}

TEST(FtpPassiveReply, ReplyShapesAndPortFields) {
  const std::tuple<const char*, const char*, int> good[] = {
      {"Entering Passive Mode (192,168,0,10,19,137)", "192.168.0.10", 5001},
      {"Entering Passive Mode (10,1,2,3,4,1).", "10.1.2.3", 1025},
      {"Entering Passive Mode 10,1,2,3,4,1", "10.1.2.3", 1025},
      {"=10,1,2,3,4,1", "=10.1.2.3", 1025},
      {"  Entering Passive Mode (127,0,0,1,0,21)  ", "127.0.0.1", 21},
      {"Entering Passive Mode (10,1,2,3,4,1,99)", "10.1.2.3", 1025},
  };
  for (const auto& [line, host, port] : good) {
    std::string h;
    int p = 0;
    TIdFTP::ParsePassiveReply(line, h, p);
    EXPECT_EQ(host, h) << line;
    EXPECT_EQ(port, p) << line;
  }
  for (const char* bad : {"Entering Passive Mode (10,1,2,3,4)", "Entering Passive Mode",
                          "(10,1,2,3,x,1)", "(10,1,2,3,256,1)", "(10,1,2,3,4,-1)",
                          "(1,2,3,4,400000002,1)", "", "Entering Passive Mode )10,1,2,3,4,1("}) {
    std::string h;
    int p = 0;
    EXPECT_THROW(TIdFTP::ParsePassiveReply(bad, h, p), EConvertError) << bad;
  }
  Client c([](ScriptedSession& s) {
    Login(s);
    for (std::string cmd; !(cmd = s.ReadCommand(1000)).empty();) s.Send("200 PORT ok");
  });
  c.ftp.OpenSession(true, 5000);
  for (const auto& [port, line] : {std::pair<int, const char*>{256, "PORT 127,0,0,1,1,0"},
                                   {255, "PORT 127,0,0,1,0,255"},
                                   {5001, "PORT 127,0,0,1,19,137"}}) {
    TIdSocketHandle binding;
    binding.SetIP("127.0.0.1");
    binding.SetPort(port);
    c.ftp.SendPortCommand(binding);
    EXPECT_EQ(line, c.server.Commands().back());
  }
}

TEST(FtpSimpleServer, AcceptsOneConnectionOrEndsOnAbort) {
  // A client connects: the binding becomes the accepted socket, the listener is closed.
  {
    TIdSimpleServer server;
    server.BoundIP = "127.0.0.1";
    server.AcceptTimeout = 5000;
    server.StartListening();
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Binding()->Port());
    client.ConnectToHost(-1);
    EXPECT_TRUE(server.AcceptConnection());
    EXPECT_EQ(veldra::platform::kInvalidSocket, server.ListenSocket());
    client.WriteLine("hello");
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

TEST(FtpParsedListing, OwnerHooksAndCustomLayout) {
  TIdFTP ftp;
  // No lines: an empty collection with the initial layout.
  EXPECT_EQ(0, ftp.ParsedListing().ItemCount());
  EXPECT_EQ(flfUnix, ftp.ParsedListing().DetectedFormat);
  // A first line of a layout nobody knows; the owner claims it and parses it.
  TIdFTP custom;
  custom.ListingLines() = {"#entry one", "#entry two"};
  TIdFTPListItems* supplied = nullptr;
  custom.OnCreateFTPList = [&](TIdFTP&, std::unique_ptr<TIdFTPListItems>& list) {
    list = std::make_unique<TIdFTPListItems>();
    supplied = list.get();
    list->OnParseCustomListFormat = [](TIdFTPListItem& item) {
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
  EXPECT_TRUE(custom.GetOnParseCustomListFormat());
  EXPECT_EQ(&items, &custom.ParsedListing());  // parsed once per listing
}

}  // namespace
