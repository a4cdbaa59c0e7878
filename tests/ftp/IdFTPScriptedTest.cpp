// The client against a scripted server, for replies real servers do not give. Each case
// checks the exact command lines the client sent as well as what it returns.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
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

// Answers the client's PASV or PORT; for PORT, host and port receive the announced endpoint.
void AnswerDataEndpoint(ScriptedSession& s, bool passive, std::string& host, int& port) {
  if (passive) {
    s.Expect("PASV");
    s.Send(s.OpenPassive());
  } else {
    s.Expect("PORT *");
    ScriptedSession::ParsePort(s.LastCommand(), host, port);
    s.Send("200 PORT command successful.");
  }
}

// Serves one transfer command: the data connection in the client's mode, `data`, then the
// final reply lines.
void ServeTransfer(ScriptedSession& s, bool passive, const std::string& command,
                   const std::string& data, const Lines& finals = {"226 Transfer complete."}) {
  std::string host;
  int port = 0;
  AnswerDataEndpoint(s, passive, host, port);
  s.Expect(command);
  s.Send("150 Here comes the directory listing.");
  if (passive ? !s.AcceptData() : !s.ConnectActive(host, port)) return;
  s.SendData(data);
  s.CloseData();
  for (const std::string& f : finals) s.Send(f);
}

struct Client {
  ScriptedFtpServer server;
  TIdFTP ftp;
  std::vector<std::string> statuses;

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

int ReplyCodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EIdProtocolReplyError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(FtpSessionScripted, LoginTypeAndSystem) {
  Client c([](ScriptedSession& s) {
    s.SendRaw("220-Welcome\r\n  to the odd server\r\n220 ready\r\n");
    s.AcceptLogin();
    s.Expect("TYPE I");
    s.Send("200 ok");
    s.Expect("SYST");
    s.SendRaw("215-UNIX Type: L8\r\nVersion: 1\r\n215 end\r\n");
    s.ReadCommand();
  });
  c.ftp.OpenSession(true, 5000);
  EXPECT_EQ((Lines{"USER anna", "PASS pw", "TYPE I", "SYST"}), c.server.Commands());
  EXPECT_EQ(220, c.ftp.GreetingReply().NumericCode());
  EXPECT_EQ(230, c.ftp.LoginReply().NumericCode());
  EXPECT_EQ("UNIX Type: L8", c.ftp.SystemDescription());
  EXPECT_EQ(Lines{"Connection established"}, c.statuses);
  EXPECT_TRUE(c.ftp.IsConnected());
  c.ftp.CloseConnection();
}

TEST(FtpSessionScripted, LoginVariants) {
  struct Case {
    const char* userReply;
    const char* passReply;
    const char* systReply;
    Lines sent;
    int error;  // expected reply error code, 0: success
    const char* system;
  } cases[] = {
      {"230 no password needed", nullptr, "215 UNIX", {"USER anna", "TYPE I", "SYST"}, 0, "UNIX"},
      {"331 pw", "332 need account", nullptr, {"USER anna", "PASS pw"}, 332, ""},
      {"530 no", nullptr, nullptr, {"USER anna"}, 530, ""},
      {"331 pw", "230 ok", "500 what", {"USER anna", "PASS pw", "TYPE I", "SYST"}, 0, "Unknown"},
      {"331 pw", "230 ok", "502 no", {"USER anna", "PASS pw", "TYPE I", "SYST"}, 502, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.userReply + std::string(" / ") + (k.passReply ? k.passReply : "-"));
    Client c([&k](ScriptedSession& s) {
      s.Greet();
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
        s.Send(k.systReply);
      }
      s.ReadCommand(1000);
    });
    EXPECT_EQ(k.error, ReplyCodeOf([&] { c.ftp.OpenSession(true, 5000); }));
    EXPECT_EQ(k.sent, c.server.Commands());
    EXPECT_EQ(k.error == 0, c.ftp.IsConnected());  // a failed open leaves it closed
    EXPECT_EQ(k.system, c.ftp.SystemDescription());
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
  struct Case {
    TIdFtpProxyType type;
    const char* proxyPassword;
    Lines sent;
  } cases[] = {
      {fpcmNone, "pp", {"USER anna", "PASS pw"}},
      {fpcmUserSite, "pp", {"USER pu", "PASS pp", "USER anna@ftp.target", "PASS pw"}},
      {fpcmSite, "pp", {"USER pu", "PASS pp", "SITE ftp.target", "USER anna", "PASS pw"}},
      {fpcmOpen, "pp", {"USER pu", "PASS pp", "OPEN ftp.target", "USER anna", "PASS pw"}},
      {fpcmUserPass, "pp", {"USER anna@pu@ftp.target", "PASS pw@pp"}},
      {fpcmUserPass, "", {"USER anna@pu@ftp.target", "PASS pw"}},
      {fpcmTransparent, "pp", {"USER pu", "PASS pp", "USER anna", "PASS pw"}},
  };
  auto answerAll = [](ScriptedSession& s) {
    s.Greet();
    for (;;) {
      const std::string cmd = s.ReadCommand(2000);
      if (cmd.empty()) return;
      if (cmd.rfind("USER", 0) == 0)
        s.Send("331 send password");
      else if (cmd.rfind("PASS", 0) == 0)
        s.Send("230 in");
      else
        s.Send("200 ok");
    }
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.type);
    Client c(answerAll);
    // The proxy is the scripted server; the target only appears in the login lines.
    c.ftp.SetHost("ftp.target");
    c.ftp.SetPort(2121);
    TIdFtpProxySettings proxy;
    proxy.Host = "127.0.0.1";
    proxy.Port = c.server.Port();
    proxy.UserName = "pu";
    proxy.Password = k.proxyPassword;
    proxy.ProxyType = k.type;
    c.ftp.SetProxySettings(proxy);
    if (k.type == fpcmNone) {
      c.ftp.SetHost("127.0.0.1");
      c.ftp.SetPort(c.server.Port());
    }
    c.ftp.OpenSession(true, 5000);
    Lines expected = k.sent;
    expected.push_back("TYPE I");
    expected.push_back("SYST");
    EXPECT_EQ(expected, c.server.Commands());
    EXPECT_EQ(k.type == fpcmNone ? "127.0.0.1" : "ftp.target", c.ftp.Host());
    c.ftp.CloseConnection();
  }

  // No proxy host: straight to Host:Port, but still the proxy type's lines.
  {
    Client c(answerAll);
    c.ftp.ProxySettings().ProxyType = fpcmSite;
    c.ftp.OpenSession(true, 5000);
    EXPECT_EQ((Lines{"SITE 127.0.0.1", "USER anna", "PASS pw", "TYPE I", "SYST"}),
              c.server.Commands());
    c.ftp.CloseConnection();
  }
  // Not supported: nothing is sent after the greeting and the connection is closed.
  {
    Client c(answerAll);
    c.ftp.ProxySettings().ProxyType = fpcmHttpProxyWithFtp;
    try {
      c.ftp.OpenSession(true, 5000);
      ADD_FAILURE() << "no error";
    } catch (const EIdException& e) {
      EXPECT_STREQ("Command not supported.", e.what());
    }
    EXPECT_FALSE(c.ftp.IsConnected());
    EXPECT_EQ(Lines{}, c.server.Commands());
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
    const char* replies[] = {"250 CWD ok",          "550 no such dir", "257 \"/d\" created",
                             "250 RMD ok",          "250 DELE ok",     "550 RNFR refused",
                             "350 ready",           "250 RNTO ok",     "350 Restarting at 1",
                             "350 Restarting at 0", "200 Type A"};
    for (const char* r : replies) {
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

TEST(FtpTransferScripted, ListingLineEndsInBothModes) {
  struct Case {
    std::string data;
    Lines lines;
  } cases[] = {
      {"one\r\ntwo\nthree\rfour", {"one", "two", "three", "four"}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"one\r\n\r\ntwo", {"one", "", "two"}},
      {std::string("one\r\ntw\0o\r\nlost", 15), {"one", "tw"}},
      {"", {}},
  };
  for (bool passive : {true, false}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(passive ? "passive " : "active ") + k.data);
      Client c(
          [&](ScriptedSession& s) {
            Login(s);
            ServeTransfer(s, passive, "LIST", k.data);
            s.ReadCommand(1000);
          },
          passive);
      c.ftp.OpenSession(true, 5000);
      std::vector<std::string> destination{"old"};
      c.ftp.RequestListing(&destination, "", true);
      EXPECT_EQ(k.lines, c.ftp.ListingLines());
      EXPECT_EQ(k.lines, destination);
      EXPECT_EQ(nullptr, c.ftp.DataConnection());
      const Lines sent = c.server.Commands();
      ASSERT_EQ(6u, sent.size());
      if (passive) {
        EXPECT_EQ("PASV", sent[4]);
      } else {
        // The listener is announced on the control connection's local address.
        std::string host;
        int port = 0;
        EXPECT_TRUE(ScriptedSession::ParsePort(sent[4], host, port));
        EXPECT_EQ("127.0.0.1", host);
      }
      EXPECT_EQ("LIST", sent[5]);
      c.ftp.CloseConnection();
    }
  }
}

TEST(FtpTransferScripted, AbortedRefusedAndResumedTransfers) {
  // Closed with 426: the listing may be incomplete, so it is an error and nothing is kept;
  // the control connection stays in step (the next reply is the next command's).
  {
    Client c([](ScriptedSession& s) {
      Login(s);
      ServeTransfer(s, true, "NLST *.txt", "a.txt\r\nb.t",
                    {"426 Connection closed; transfer aborted."});
      s.Expect("NOOP");
      s.Send("200 NOOP ok.");
      s.ReadCommand(1000);
    });
    c.ftp.OpenSession(true, 5000);
    c.ftp.ListingLines() = {"previous"};
    EXPECT_EQ(426, ReplyCodeOf([&] { c.ftp.RequestListing(nullptr, "*.txt", false); }));
    EXPECT_EQ(Lines{"previous"}, c.ftp.ListingLines());
    EXPECT_EQ(200, c.ftp.SendCmd("NOOP", 200));
    c.ftp.CloseConnection();
  }
  // A refused LIST keeps the previous lines and parsed listing.
  {
    Client c([](ScriptedSession& s) {
      Login(s);
      ServeTransfer(s, true, "LIST", "-rw-r--r-- 1 a b 1 Mar 5 2019 kept.txt\r\n");
      s.Expect("PASV");
      s.Send(s.OpenPassive());
      s.Expect("LIST /nope");
      s.Send("550 No such directory.");
      s.ReadCommand(1000);
    });
    c.ftp.OpenSession(true, 5000);
    c.ftp.RequestListing(nullptr, "", true);
    TIdFTPListItems& before = c.ftp.ParsedListing();
    ASSERT_EQ(1, before.ItemCount());
    EXPECT_EQ(550, ReplyCodeOf([&] { c.ftp.RequestListing(nullptr, "/nope", true); }));
    EXPECT_EQ(Lines{"-rw-r--r-- 1 a b 1 Mar 5 2019 kept.txt"}, c.ftp.ListingLines());
    EXPECT_EQ(&before, &c.ftp.ParsedListing());
    EXPECT_EQ("kept.txt", c.ftp.ParsedListing().ItemAt(0).EntryName);
    EXPECT_EQ(nullptr, c.ftp.DataConnection());
    c.ftp.CloseConnection();
  }
  // Resume: REST with the stream position precedes the command; data is appended.
  for (bool passive : {true, false}) {
    Client c(
        [passive](ScriptedSession& s) {
          Login(s);
          std::string host;
          int port = 0;
          AnswerDataEndpoint(s, passive, host, port);
          s.Expect("REST 1000");
          s.Send("350 Restarting at 1000");
          s.Expect("RETR /f.bin");
          s.Send("150 Opening");
          if (passive ? s.AcceptData() : s.ConnectActive(host, port)) {
            s.SendData("tail");
            s.CloseData();
          }
          s.Send("226 done");
          s.ReadCommand(1000);
        },
        passive);
    c.ftp.OpenSession(true, 5000);
    TIdMemoryStream stream;
    stream.SetSize(1000);
    stream.SetPosition(1000);
    c.ftp.ReceiveToStream("RETR /f.bin", stream, true);
    EXPECT_EQ(1004, stream.Size());
    EXPECT_EQ("tail", stream.Bytes().substr(1000));
    c.ftp.CloseConnection();
  }
}

TEST(FtpTransferScripted, StalledServerGivesAnError) {
  // Active: the server answers 150 but never connects. Passive: it sends part of the data
  // and then nothing, without closing.
  for (bool passive : {false, true}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    Client c(
        [passive](ScriptedSession& s) {
          Login(s);
          if (passive) {
            s.Expect("PASV");
            s.Send(s.OpenPassive());
            s.Expect("LIST");
            s.Send("150 Here it comes");
            s.AcceptData();
            s.SendData("partial");
          } else {
            s.Expect("PORT *");
            s.Send("200 ok");
            s.Expect("LIST");
            s.Send("150 Here it comes");
          }
          s.ReadCommand(5000);  // holds the data connection open until the client gives up
        },
        passive);
    c.ftp.SetDataTimeout(300);
    c.ftp.OpenSession(true, 5000);
    c.ftp.ListingLines() = {"previous"};
    if (passive)
      EXPECT_THROW(c.ftp.RequestListing(nullptr, "", true), EIdReadTimeout);
    else
      EXPECT_THROW(c.ftp.RequestListing(nullptr, "", true), EIdAcceptTimeout);
    EXPECT_EQ(nullptr, c.ftp.DataConnection());
    EXPECT_EQ(Lines{"previous"}, c.ftp.ListingLines());
    c.ftp.CloseConnection();
  }
}

TEST(FtpTransferScripted, AbortWritesAborAndDropsTheDataChannel) {
  Client c([](ScriptedSession& s) {
    Login(s);
    s.Expect("PASV");
    s.Send(s.OpenPassive());
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
  EXPECT_FALSE(c.ftp.DataConnection()->IsConnected());  // dropped, not freed
  EXPECT_EQ(426, c.ftp.ExpectReply({}));
  EXPECT_EQ(226, c.ftp.ExpectReply({}));
  c.ftp.FreeDataConnection();
  EXPECT_EQ(nullptr, c.ftp.DataConnection());
  c.ftp.CloseConnection();
}

TEST(FtpPassiveReply, ReplyShapes) {
  struct Case {
    const char* line;
    const char* host;
    int port;
  } cases[] = {
      {"Entering Passive Mode (192,168,0,10,19,137)", "192.168.0.10", 5001},
      {"Entering Passive Mode (10,1,2,3,4,1).", "10.1.2.3", 1025},
      {"Entering Passive Mode 10,1,2,3,4,1", "10.1.2.3", 1025},
      {"=10,1,2,3,4,1", "=10.1.2.3", 1025},
      {"  Entering Passive Mode (127,0,0,1,0,21)  ", "127.0.0.1", 21},
      {"Entering Passive Mode (10,1,2,3,4,1,99)", "10.1.2.3", 1025},
  };
  for (const Case& k : cases) {
    std::string host;
    int port = 0;
    TIdFTP::ParsePassiveReply(k.line, host, port);
    EXPECT_EQ(k.host, host) << k.line;
    EXPECT_EQ(k.port, port) << k.line;
  }
  for (const char* bad : {"Entering Passive Mode (10,1,2,3,4)", "Entering Passive Mode",
                          "(10,1,2,3,x,1)", "(10,1,2,3,256,1)", "(10,1,2,3,4,-1)",
                          "(1,2,3,4,400000002,1)", "", "Entering Passive Mode )10,1,2,3,4,1("}) {
    std::string host;
    int port = 0;
    EXPECT_THROW(TIdFTP::ParsePassiveReply(bad, host, port), EConvertError) << bad;
  }
}

TEST(FtpPassiveReply, ServerWithoutParentheses) {
  Client c([](ScriptedSession& s) {
    Login(s);
    std::string reply = s.OpenPassive();  // "227 Entering Passive Mode (h,h,h,h,p,p)."
    const size_t open = reply.find('(');
    reply = "227 Entering Passive Mode " + reply.substr(open + 1, reply.find(')') - open - 1);
    s.Expect("PASV");
    s.Send(reply);
    s.Expect("LIST");
    s.Send("150 go");
    if (s.AcceptData()) {
      s.SendData("x\r\n");
      s.CloseData();
    }
    s.Send("226 ok");
    s.ReadCommand(1000);
  });
  c.ftp.OpenSession(true, 5000);
  c.ftp.RequestListing(nullptr, "", true);
  EXPECT_EQ(Lines{"x"}, c.ftp.ListingLines());
  c.ftp.CloseConnection();
}

TEST(FtpPortCommand, PortFieldsOfTheBinding) {
  struct Case {
    int port;
    const char* line;
  } cases[] = {
      {256, "PORT 127,0,0,1,1,0"}, {255, "PORT 127,0,0,1,0,255"}, {5001, "PORT 127,0,0,1,19,137"}};
  for (const Case& k : cases) {
    Client c([](ScriptedSession& s) {
      Login(s);
      s.ReadCommand();
      s.Send("200 PORT ok");
      s.ReadCommand(1000);
    });
    c.ftp.OpenSession(true, 5000);
    TIdSocketHandle binding;
    binding.SetIP("127.0.0.1");
    binding.SetPort(k.port);
    c.ftp.SendPortCommand(binding);
    EXPECT_EQ(k.line, c.server.Commands().back());
    c.ftp.CloseConnection();
  }
}

TEST(FtpSimpleServer, AcceptsOneConnectionOrEndsOnAbort) {
  // A client connects: the binding becomes the accepted socket, the listener is closed.
  {
    TIdSimpleServer server;
    server.BoundIP = "127.0.0.1";
    server.AcceptTimeout = 5000;
    server.StartListening();
    ASSERT_TRUE(server.IsListening());
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Binding()->Port());
    client.ConnectToHost(-1);
    EXPECT_TRUE(server.AcceptConnection());
    EXPECT_EQ(veldra::platform::kInvalidSocket, server.ListenSocket());
    client.WriteLine("hello");
    EXPECT_EQ("hello", server.ReadLine());
  }
  // Nobody connects: RequestAbort from another thread ends the wait with false.
  {
    TIdSimpleServer server;
    server.BoundIP = "127.0.0.1";
    server.StartListening();
    std::thread aborter([&server] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      server.RequestAbort();
    });
    EXPECT_FALSE(server.AcceptConnection());
    aborter.join();
    EXPECT_EQ(veldra::platform::kInvalidSocket, server.ListenSocket());
  }
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
