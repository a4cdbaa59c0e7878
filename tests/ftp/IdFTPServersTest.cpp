// The client against real servers on 127.0.0.1 (pyftpdlib and vsftpd), in passive and active
// mode: login, listings parsed into entries, the file commands with their success and
// refusal codes, the restart probe and a retrieve.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "ftp/IdFTP.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"

namespace veldra::test {
namespace {

int ReplyCodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EIdProtocolReplyError& e) {
    return e.ErrorCode();
  }
  return 0;
}

// "kind size" of the listed entry `name` ("" when it is not listed).
std::string Listed(TIdFTPListItems& items, const std::string& name) {
  for (int i = 0; i < items.ItemCount(); ++i)
    if (items.ItemAt(i).EntryName == name)
      return "dfl"[items.ItemAt(i).Kind] + (" " + std::to_string(items.ItemAt(i).ByteSize));
  return "";
}

class FtpRealServer : public ::testing::TestWithParam<std::tuple<ServerKind, bool>> {};

TEST_P(FtpRealServer, SessionListingsFileCommandsAndRetrieve) {
  TempDir root("veldra-ftp");
  WriteFile(root / "notes.txt", "hello");
  WriteFile(root / "a  b.txt", "two spaces");
  WriteFile(root / "sub dir/inner.txt", "inner");
  auto server = StartServer(std::get<0>(GetParam()), root.Path());
  TIdFTP ftp;
  ftp.SetHost("127.0.0.1");
  ftp.SetPort(server->Port());
  ftp.SetUsername(server->User());
  ftp.SetPassword(server->Password());
  ftp.SetPassive(std::get<1>(GetParam()));
  ftp.SetReadTimeout(10000);
  ftp.OpenSession(true, 10000);
  EXPECT_EQ(230, ftp.LoginReply().NumericCode());
  EXPECT_FALSE(ftp.SystemDescription().empty());
  EXPECT_TRUE(ftp.ProbeRestartSupport());

  // Root listing: Unix layout, names with inner spaces intact, kinds and sizes.
  ftp.RequestListing(nullptr, "", true);
  const auto before = ftp.ListingLines();
  TIdFTPListItems& items = ftp.ParsedListing();
  EXPECT_EQ(flfUnix, items.DetectedFormat);
  EXPECT_EQ("f 5", Listed(items, "notes.txt"));
  EXPECT_EQ('d', Listed(items, "sub dir")[0]);
  EXPECT_EQ("f 10", Listed(items, "a  b.txt"));
  EXPECT_GT(items.ItemAt(0).Modified, 40000);  // a date of this century
  // A missing path: pyftpdlib refuses before any data connection and the previous listing
  // stays; vsftpd sends an empty listing with 226. The session goes on after either.
  const int code = ReplyCodeOf([&] { ftp.RequestListing(nullptr, "/no/such/dir", true); });
  const bool refuses = std::get<0>(GetParam()) == ServerKind::Pyftpdlib;
  EXPECT_EQ(refuses ? 550 : 0, code);
  EXPECT_EQ(refuses ? before.size() : 0u, ftp.ListingLines().size());

  // CWD and a listing of the current directory.
  ftp.ChangeRemoteDirectory("/sub dir");
  ftp.RequestListing(nullptr, "", true);
  ASSERT_EQ(1, ftp.ParsedListing().ItemCount());
  EXPECT_EQ("inner.txt", ftp.ParsedListing().ItemAt(0).EntryName);
  EXPECT_EQ(550, ReplyCodeOf([&] { ftp.ChangeRemoteDirectory("/missing"); }));

  // Each command succeeds once, then is refused (550), and the server's tree shows it.
  const std::tuple<const char*, std::function<void()>, std::function<bool()>> rows[] = {
      {"MKD", [&] { ftp.CreateRemoteDirectory("/new dir"); },
       [&] { return IsDir(root / "new dir"); }},
      {"RMD", [&] { ftp.RemoveRemoteDirectory("/new dir"); },
       [&] { return !Exists(root / "new dir"); }},
      {"RNFR/RNTO", [&] { ftp.RenameRemote("/a  b.txt", "/c.txt"); },
       [&] { return ReadFile(root / "c.txt") == "two spaces"; }},
      {"DELE", [&] { ftp.DeleteRemoteFile("/notes.txt"); },
       [&] { return !Exists(root / "notes.txt"); }},
  };
  for (const auto& [what, call, done] : rows) {
    EXPECT_EQ(0, ReplyCodeOf(call)) << what;
    EXPECT_TRUE(done()) << what;
    EXPECT_EQ(550, ReplyCodeOf(call)) << what;
  }

  // A retrieve, whole and from an offset.
  TIdMemoryStream whole;
  ftp.ReceiveToStream("RETR /c.txt", whole, false);
  EXPECT_EQ("two spaces", whole.Bytes());
  TIdMemoryStream tail;
  tail.SetSize(4);
  tail.SetPosition(4);
  ftp.ReceiveToStream("RETR /c.txt", tail, true);
  EXPECT_EQ("spaces", tail.Bytes().substr(4));
  EXPECT_EQ(nullptr, ftp.DataConnection());
  EXPECT_TRUE(ftp.IsConnected());
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServer,
                         ::testing::Combine(::testing::Values(ServerKind::Pyftpdlib,
                                                              ServerKind::Vsftpd),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(KindName(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_passive" : "_active");
                         });

}  // namespace
}  // namespace veldra::test
