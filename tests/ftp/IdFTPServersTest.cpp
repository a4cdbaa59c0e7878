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

using veldra::test::ServerKind;

namespace {

int ReplyCodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EIdProtocolReplyError& e) {
    return e.ErrorCode();
  }
  return 0;
}

const TIdFTPListItem* Find(TIdFTPListItems& items, const std::string& name) {
  for (int i = 0; i < items.ItemCount(); ++i)
    if (items.ItemAt(i).EntryName == name) return &items.ItemAt(i);
  return nullptr;
}

class FtpRealServer : public ::testing::TestWithParam<std::tuple<ServerKind, bool>> {
 protected:
  void SetUp() override {
    root_ = std::make_unique<veldra::test::TempDir>("veldra-ftp");
    veldra::test::WriteFile(*root_ / "notes.txt", "hello");
    veldra::test::WriteFile(*root_ / "a  b.txt", "two spaces");
    veldra::test::WriteFile(*root_ / "sub dir/inner.txt", "inner");
    server_ = veldra::test::StartServer(std::get<0>(GetParam()), root_->Path());
    server_->OwnTree();
    ftp_.SetHost("127.0.0.1");
    ftp_.SetPort(server_->Port());
    ftp_.SetUsername(server_->User());
    ftp_.SetPassword(server_->Password());
    ftp_.SetPassive(std::get<1>(GetParam()));
    ftp_.SetReadTimeout(10000);
  }
  void TearDown() override {
    ftp_.CloseConnection();
    server_.reset();
  }

  std::unique_ptr<veldra::test::TempDir> root_;
  std::unique_ptr<veldra::test::TestFtpServer> server_;
  TIdFTP ftp_;
};

TEST_P(FtpRealServer, SessionListingsAndFileCommands) {
  ftp_.OpenSession(true, 10000);
  EXPECT_EQ(230, ftp_.LoginReply().NumericCode());
  EXPECT_FALSE(ftp_.SystemDescription().empty());
  EXPECT_TRUE(ftp_.ProbeRestartSupport());

  // Root listing: Unix layout, names with inner spaces intact, kinds and sizes.
  ftp_.RequestListing(nullptr, "", true);
  TIdFTPListItems& root = ftp_.ParsedListing();
  EXPECT_EQ(flfUnix, root.DetectedFormat);
  const TIdFTPListItem* notes = Find(root, "notes.txt");
  ASSERT_NE(nullptr, notes) << server_->Name();
  EXPECT_EQ(ekFile, notes->Kind);
  EXPECT_EQ(5, notes->ByteSize);
  EXPECT_GT(notes->Modified, 40000);  // a date of this century
  const TIdFTPListItem* dir = Find(root, "sub dir");
  ASSERT_NE(nullptr, dir);
  EXPECT_EQ(ekDirectory, dir->Kind);
  ASSERT_NE(nullptr, Find(root, "a  b.txt"));

  // CWD and a listing of the current directory.
  ftp_.ChangeRemoteDirectory("/sub dir");
  ftp_.RequestListing(nullptr, "", true);
  ASSERT_EQ(1, ftp_.ParsedListing().ItemCount());
  EXPECT_EQ("inner.txt", ftp_.ParsedListing().ItemAt(0).EntryName);
  EXPECT_EQ(550, ReplyCodeOf([&] { ftp_.ChangeRemoteDirectory("/missing"); }));

  // MKD / RMD.
  ftp_.CreateRemoteDirectory("/new dir");
  EXPECT_TRUE(veldra::test::Exists(*root_ / "new dir"));
  EXPECT_EQ(550, ReplyCodeOf([&] { ftp_.CreateRemoteDirectory("/new dir"); }));
  ftp_.RemoveRemoteDirectory("/new dir");
  EXPECT_FALSE(veldra::test::Exists(*root_ / "new dir"));
  EXPECT_EQ(550, ReplyCodeOf([&] { ftp_.RemoveRemoteDirectory("/new dir"); }));

  // RNFR / RNTO, refused RNFR.
  ftp_.RenameRemote("/a  b.txt", "/c.txt");
  EXPECT_EQ("two spaces", veldra::test::ReadFile(*root_ / "c.txt"));
  EXPECT_EQ(550, ReplyCodeOf([&] { ftp_.RenameRemote("/a  b.txt", "/d.txt"); }));

  // DELE.
  ftp_.DeleteRemoteFile("/notes.txt");
  EXPECT_FALSE(veldra::test::Exists(*root_ / "notes.txt"));
  EXPECT_EQ(550, ReplyCodeOf([&] { ftp_.DeleteRemoteFile("/notes.txt"); }));

  // A retrieve, whole and from an offset.
  TIdMemoryStream whole;
  ftp_.ReceiveToStream("RETR /c.txt", whole, false);
  EXPECT_EQ("two spaces", whole.Bytes());
  TIdMemoryStream tail;
  tail.SetSize(4);
  tail.SetPosition(4);
  ftp_.ReceiveToStream("RETR /c.txt", tail, true);
  EXPECT_EQ("spaces", tail.Bytes().substr(4));
  EXPECT_EQ(nullptr, ftp_.DataConnection());
  EXPECT_TRUE(ftp_.IsConnected());
}

TEST_P(FtpRealServer, RefusedListingKeepsThePreviousOne) {
  ftp_.OpenSession(true, 10000);
  ftp_.RequestListing(nullptr, "", true);
  const auto before = ftp_.ListingLines();
  ASSERT_EQ(3u, before.size());
  // pyftpdlib refuses a listing of a missing path (550) before any data connection; vsftpd
  // sends an empty listing with 226 instead.
  const int code = ReplyCodeOf([&] { ftp_.RequestListing(nullptr, "/no/such/dir", true); });
  if (std::get<0>(GetParam()) == ServerKind::Pyftpdlib) {
    EXPECT_EQ(550, code);
    EXPECT_EQ(before, ftp_.ListingLines());
    EXPECT_EQ(3, ftp_.ParsedListing().ItemCount());
  } else {
    EXPECT_EQ(0, code);
    EXPECT_TRUE(ftp_.ListingLines().empty());
    EXPECT_EQ(0, ftp_.ParsedListing().ItemCount());
  }
  // The session goes on after either answer.
  ftp_.RequestListing(nullptr, "", true);
  EXPECT_EQ(before, ftp_.ListingLines());
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<ServerKind, bool>>& info) {
  std::string name = veldra::test::KindName(std::get<0>(info.param));
  name += std::get<1>(info.param) ? "_passive" : "_active";
  return name;
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServer,
                         ::testing::Combine(::testing::Values(ServerKind::Pyftpdlib,
                                                              ServerKind::Vsftpd),
                                            ::testing::Bool()),
                         CaseName);

}  // namespace
