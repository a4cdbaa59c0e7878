// The veldra command run as a user runs it: printed lines and exit statuses, real FTP servers on
// 127.0.0.1, real FUSE mounts at /mnt/m .. /mnt/p.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "app/CommandLine.h"
#include "platform/Volume.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace fs = std::filesystem;
using namespace veldra::test;

namespace {

const std::string kSuccess = "The operation completed successfully.\n";

std::string UsageText() {
  std::string text;
  for (const std::string& line : UsageLines()) text += line + "\n";
  return text;
}

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// A port on 127.0.0.1 where nothing listens (bound once, then released).
int ClosedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// Runs without touching any drive: only the command line is looked at.
TEST(VeldraUsage, IncompleteCommandsPrintTheUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"M:"}, {"M:", "127.0.0.1", "/DELETE"}, {"M:", "/delete", "extra"}}) {
    const CommandResult r = RunVeldra(args);
    EXPECT_EQ(r.out, UsageText() + kSuccess) << args.size() << " arguments";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(VeldraUsage, RefusedWithoutRootRights) {
  // A copy the unprivileged user can surely reach, wherever the build tree lives.
  TempDir bin("veldra-app-bin");
  const std::string program = bin / "veldra";
  fs::copy_file(kVeldra, program);
  fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  const std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", program};
  const std::string refusal = UsageText() +
                              "Access Denied as you do not have sufficient privileges.\n"
                              "You have to invoke this utility running in elevated mode.\n";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"M:", "127.0.0.1"}, {"M:", "/DELETE"}, {}}) {
    std::vector<std::string> argv = nobody;
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult r = RunCommand(argv);
    EXPECT_EQ(r.out, refusal);
    EXPECT_EQ(r.status, 5);
  }
}

TEST(VeldraUsage, BackgroundFormWithBadValuesIsAConversionError) {
  CommandResult r = RunVeldra({"M:", "127.0.0.1", "u", "p", "x", "0", "0", "21", "/INTERNAL"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "'x' is not a valid boolean value\n");
  EXPECT_EQ(r.status, 1);
  r = RunVeldra({"M:", "127.0.0.1", "u", "p", "1", "0", "0", "21x", "/INTERNAL"});
  EXPECT_EQ(r.err, "'21x' is not a valid integer value\n");
  EXPECT_EQ(r.status, 1);
  // Missing arguments read as empty.
  r = RunVeldra({"/INTERNAL"});
  EXPECT_EQ(r.err, "'' is not a valid boolean value\n");
  EXPECT_EQ(r.status, 1);
  // An empty device name ends at once with 15 (invalid drive), before any connection.
  r = RunVeldra({"", "127.0.0.1", "u", "p", "1", "0", "0", "21", "/INTERNAL"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 15);
}

class VeldraMount : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char letter : used_) {
      EXPECT_FALSE(IsMounted(letter)) << letter << ": mount left behind";
      EXPECT_TRUE(WaitCopiesGone(letter, 10)) << letter << ": background copy left behind";
      ForceCleanup(letter);
    }
    EXPECT_FALSE(StartSemaphoreLeftBehind()) << "start semaphore left behind";
  }
  void Use(char letter) { used_.push_back(letter); }

  MountLock lock_;
  std::vector<char> used_;
};

TEST_F(VeldraMount, MountRemountInUseAndDelete) {
  Use('M');
  TempDir root("veldra-app");
  veldra::test::WriteFile(root / "pub files,2026/hello.txt", "hello from the server\n");
  veldra::test::WriteFile(root / "pub files,2026/docs/a.txt", "a");
  veldra::test::ServerOptions options;
  options.anonymous = true;
  auto server = veldra::test::StartPyftpdlib(root.Path(), options);
  const std::string port = "/PORT:" + std::to_string(server->Port());

  // Lower-case device name; a remote directory whose name the mount table must escape.
  const std::string dir = "pub files,2026";
  CommandResult r = RunVeldra({"m:", "127.0.0.1/" + dir, port});
  EXPECT_EQ(r.out, "Connecting...\nConnected.\n" + kSuccess);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.status, 0);
  ASSERT_TRUE(WaitMounted('M', true, 10));
  EXPECT_EQ(BackgroundCopies('M').size(), 1u);
  EXPECT_EQ(Listing("/mnt/m"), (std::set<std::string>{"docs", "hello.txt"}));
  EXPECT_EQ(veldra::test::ReadFile("/mnt/m/hello.txt"), "hello from the server\n");
  veldra::platform::TVolumeInfo volume;
  ASSERT_TRUE(veldra::platform::QueryVolumeInformation('M', &volume, nullptr));
  EXPECT_EQ(volume.VolumeName, "ftp://127.0.0.1/" + dir);
  EXPECT_EQ(volume.FileSystemName, "VELDRA");

  r = RunVeldra({"M:", "127.0.0.1/" + dir, port});
  EXPECT_EQ(r.out, "Already connected.\n");
  EXPECT_EQ(r.status, 0);

  r = RunVeldra({"M:", "127.0.0.1/" + dir + "/docs", port});
  EXPECT_EQ(r.out, "The local device name is already in use.\n");
  EXPECT_EQ(r.status, 255);  // exit code -1
  EXPECT_EQ(BackgroundCopies('M').size(), 1u);

  r = RunVeldra({"m:", "/delete"});
  EXPECT_EQ(r.out, kSuccess);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(WaitMounted('M', false, 10));
  EXPECT_TRUE(WaitCopiesGone('M', 15));
}

TEST_F(VeldraMount, FailedMountsLeaveNothingUserPortAndNoPassiveMount) {
  Use('N');
  TempDir root("veldra-app");
  veldra::test::WriteFile(root / "report.txt", "report\n");
  auto pyftpd = veldra::test::StartPyftpdlib(root.Path());
  const std::string pyPort = "/PORT:" + std::to_string(pyftpd->Port());

  CommandResult r = RunVeldra({"N:", "127.0.0.1", "wrong", "/USER:veldra", pyPort});
  EXPECT_EQ(r.out, "Connecting...\nAuthentication failed.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(IsMounted('N'));
  EXPECT_TRUE(WaitCopiesGone('N', 10));

  r = RunVeldra({"N:", "127.0.0.1", "/PORT:" + std::to_string(ClosedPort())});
  EXPECT_EQ(r.out, "Connecting...\nSocket Error # 10061\nConnection refused.\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(IsMounted('N'));
  EXPECT_TRUE(WaitCopiesGone('N', 10));

  r = RunVeldra({"N:", "veldra-test.invalid"});
  EXPECT_EQ(r.out, "Connecting...\nSocket Error # 11001\nHost not found.\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(IsMounted('N'));
  EXPECT_TRUE(WaitCopiesGone('N', 10));

  // A named user with a password, a port of its own; the option typed in lower case.
  auto vsftpd = veldra::test::StartVsftpd(root.Path());
  const std::string password = "secret";
  r = RunVeldra({"n:", "127.0.0.1", password, "/user:" + vsftpd->User(),
                 "/PORT:" + std::to_string(vsftpd->Port())});
  EXPECT_EQ(r.out, "Connecting...\nConnected.\n" + kSuccess);
  ASSERT_EQ(r.status, 0);
  ASSERT_TRUE(WaitMounted('N', true, 10));
  EXPECT_EQ(veldra::test::ReadFile("/mnt/n/report.txt"), "report\n");

  // The password no longer shows in the copy's arguments; the layout stays.
  const std::vector<pid_t> copies = BackgroundCopies('N');
  ASSERT_EQ(copies.size(), 1u);
  const std::vector<std::string> args = ProcessArguments(copies[0]);
  ASSERT_EQ(args.size(), 10u);
  EXPECT_EQ(args[1], "N:");
  EXPECT_EQ(args[3], vsftpd->User());
  EXPECT_EQ(args[4], std::string(password.size(), '*'));
  EXPECT_EQ(args[5], "1");  // passive
  EXPECT_EQ(args[8], std::to_string(vsftpd->Port()));
  for (const std::string& a : args) EXPECT_EQ(a.find(password), std::string::npos) << a;

  r = RunVeldra({"N:", "/DELETE"});
  EXPECT_EQ(r.out, kSuccess);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(WaitMounted('N', false, 10));
  EXPECT_TRUE(WaitCopiesGone('N', 15));

  // Active-mode data connections: vsftpd connects back for the listing and the read.
  r = RunVeldra({"N:", "127.0.0.1", password, "/NOPASSIVE", "/USER:" + vsftpd->User(),
                 "/PORT:" + std::to_string(vsftpd->Port())});
  EXPECT_EQ(r.out, "Connecting...\nConnected.\n" + kSuccess);
  ASSERT_EQ(r.status, 0);
  ASSERT_TRUE(WaitMounted('N', true, 10));
  EXPECT_EQ(Listing("/mnt/n"), (std::set<std::string>{"report.txt"}));
  EXPECT_EQ(veldra::test::ReadFile("/mnt/n/report.txt"), "report\n");
  ASSERT_EQ(BackgroundCopies('N').size(), 1u);
  EXPECT_EQ(ProcessArguments(BackgroundCopies('N')[0]).at(5), "0");  // not passive
  r = RunVeldra({"N:", "/DELETE"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(WaitMounted('N', false, 10));
  EXPECT_TRUE(WaitCopiesGone('N', 15));
}

TEST_F(VeldraMount, DeleteLeavesOtherFileSystemsAlone) {
  Use('O');
  // A port that is no number: nothing printed on standard output.
  CommandResult r = RunVeldra({"O:", "127.0.0.1", "/PORT:abc"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "'abc' is not a valid integer value\n");
  EXPECT_EQ(r.status, 1);

  r = RunVeldra({"O:", "/delete"});
  EXPECT_EQ(r.out, "The system cannot find the path specified.\n");
  EXPECT_EQ(r.status, 255);

  const bool created = ::mkdir("/mnt/o", 0755) == 0;
  ASSERT_EQ(::mount("veldra-test", "/mnt/o", "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
  r = RunVeldra({"o:", "/DELETE"});
  const bool stillMounted = IsMounted('O');
  const CommandResult inUse = RunVeldra({"O:", "127.0.0.1"});
  ::umount2("/mnt/o", 0);
  if (created) ::rmdir("/mnt/o");
  EXPECT_EQ(r.out,
            "The system tried to delete the substitution of a drive that is not substituted.\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(stillMounted);
  EXPECT_EQ(inUse.out, "The local device name is already in use.\n");
  EXPECT_EQ(inUse.status, 255);
}

TEST_F(VeldraMount, RefusedDriveLetterReportsTheDiskDriverLine) {
  TempDir root("veldra-app");
  veldra::test::ServerOptions options;
  options.anonymous = true;
  auto server = veldra::test::StartPyftpdlib(root.Path(), options);
  // The copy logs in, reports its start, then the drive library refuses the letter within the
  // settle pause: its line and its code (-2) reach the user.
  const CommandResult r = RunVeldra({"1:", "127.0.0.1", "/PORT:" + std::to_string(server->Port())});
  EXPECT_EQ(r.out, "Connecting...\nDisk driver: Bad Drive letter\n");
  EXPECT_EQ(r.status, 254);
  EXPECT_TRUE(WaitCopiesGone('1', 10));
}

TEST_F(VeldraMount, DebugServesInTheForegroundAndLogs) {
  Use('P');
  TempDir root("veldra-app");
  veldra::test::WriteFile(root / "one.txt", "1");
  veldra::test::ServerOptions options;
  options.anonymous = true;
  auto server = veldra::test::StartPyftpdlib(root.Path(), options);

  Process run(VeldraCommand(
      {"P:", "127.0.0.1", "guest-pass", "/DEBUG", "/PORT:" + std::to_string(server->Port())}));
  ASSERT_TRUE(WaitMounted('P', true, 20)) << run.Result().out;
  // This process serves the drive: its password is gone from its arguments too.
  const std::vector<std::string> args = ProcessArguments(run.Pid());
  ASSERT_EQ(args.size(), 6u);
  EXPECT_EQ(args[3], "**********");
  EXPECT_EQ(Listing("/mnt/p"), (std::set<std::string>{"one.txt"}));
  EXPECT_TRUE(run.WaitForOutput("FtpFindFiles: \\", 10)) << run.Result().out;
  EXPECT_TRUE(BackgroundCopies('P').empty());

  const CommandResult r = RunVeldra({"P:", "/DELETE"});
  EXPECT_EQ(r.out, kSuccess);
  EXPECT_EQ(r.status, 0);
  ASSERT_TRUE(run.WaitForExit(20));
  EXPECT_EQ(run.Result().status, 0);
  EXPECT_EQ(run.Result().err.find("Sanitizer"), std::string::npos) << run.Result().err;
  const std::vector<std::string> lines = Lines(run.Result().out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Connecting...");
  EXPECT_EQ(lines.back(), "The operation completed successfully.");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Connected."), 0);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("    FTP SendCmd: USER anonymous", 0) == 0;
  })) << run.Result().out;
}

}  // namespace
