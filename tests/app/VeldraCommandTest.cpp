// The veldra command run as a user runs it: printed lines and exit statuses, real FTP servers on
// 127.0.0.1, real FUSE mounts at /mnt/j .. /mnt/m.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "app/CommandLine.h"
#include "platform/Semaphore.h"
#include "platform/Volume.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace fs = std::filesystem;
using namespace veldra::test;

namespace {

const std::string kSuccess = "The operation completed successfully.\n";
const std::string kConnected = "Connecting...\nConnected.\n" + kSuccess;

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

// A socket on 127.0.0.1 that listens (and never accepts, so a client waits for the greeting),
// or with listening false a port where nothing listens (bound once, then released).
struct TPort {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  explicit TPort(bool listening) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    if (listening) ::listen(fd, 4);
    if (!listening) ::close(fd);
  }
  ~TPort() { ::close(fd); }
  std::string Option() const { return "/PORT:" + std::to_string(port); }
};

// Runs without touching any drive: only the command line is looked at.
TEST(VeldraUsage, AnswersThatNeedNoDrive) {
  struct Row {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  };
  const std::string usage = UsageText() + kSuccess;
  const std::vector<Row> rows = {
      {{}, usage, "", 0},
      {{"M:"}, usage, "", 0},
      {{"M:", "127.0.0.1", "/DELETE"}, usage, "", 0},
      {{"M:", "/delete", "extra"}, usage, "", 0},
      // A value out of rule stops the command before it prints anything on standard output.
      {{"M:", "127.0.0.1", "/PORT:abc"}, "", "'abc' is not a valid integer value\n", 1},
      {{"M:", "127.0.0.1", "/SESSIONS:17"}, "", "/SESSIONS:17 is out of range (1 to 16)\n", 1},
      {{"M:", "127.0.0.1", "/TLS:YES"},
       "",
       "'YES' is not a valid TLS mode: use /TLS or /TLS:IMPLICIT\n",
       1},
      // The background form with bad values; missing arguments read as empty.
      {{"M:", "h", "u", "-", "x", "0", "", "21", "/INTERNAL"},
       "",
       "'x' is not a valid boolean value\n",
       1},
      {{"M:", "h", "u", "-", "1", "0", "", "21x", "/INTERNAL"},
       "",
       "'21x' is not a valid integer value\n",
       1},
      {{"M:", "h", "u", "-", "1", "0", "", "21", "/CACHE:x", "/INTERNAL"},
       "",
       "'x' is not a valid integer value\n",
       1},
      {{"/INTERNAL"}, "", "'' is not a valid boolean value\n", 1},
      // An empty device name ends at once with 15 (invalid drive), before any connection.
      {{"", "127.0.0.1", "u", "-", "1", "0", "", "21", "/INTERNAL"}, "", "", 15},
  };
  for (const Row& row : rows) {
    const CommandResult r = RunVeldra(row.args);
    const std::string what = row.args.empty() ? "no arguments" : row.args.back();
    EXPECT_EQ(r.output, row.out) << what;
    EXPECT_EQ(r.err, row.err) << what;
    EXPECT_EQ(r.status, row.status) << what;
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
    const CommandResult r = RunCommand(argv, 60, "", true);
    EXPECT_EQ(r.output, refusal);
    EXPECT_EQ(r.status, 5);
  }
}

class VeldraMount : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char letter : used_) {
      EXPECT_FALSE(IsMounted(letter)) << letter << ": mount left behind";
      EXPECT_TRUE(WaitCopiesGone(letter, 10)) << letter << ": background copy left behind";
      ForceCleanup(letter);
    }
    EXPECT_EQ(StartSemaphoresLeftBehind(), std::vector<std::string>());
  }
  void Use(char letter) { used_.push_back(letter); }

  std::vector<char> used_;
};

TEST_F(VeldraMount, MountRemountInUseAndDeadServer) {
  Use('J');
  TempDir root("veldra-app");
  veldra::test::WriteFile(root / "pub files,2026/hello.txt", "hello from the server\n");
  veldra::test::WriteFile(root / "pub files,2026/docs/a.txt", "a");
  veldra::test::ServerOptions options;
  options.anonymous = true;
  auto server = veldra::test::StartPyftpdlib(root.Path(), options);
  const std::string port = std::to_string(server->Port());
  const bool hadDirectory = fs::exists("/mnt/j");

  // Lower-case device name; a remote directory whose name the mount table must escape.
  const std::string share = "127.0.0.1/pub files,2026";
  CommandResult r =
      RunVeldra({"j:", share, "/PORT:" + port, "/SESSIONS:2", "/CACHE:0", "/SPOOL:64"});
  EXPECT_EQ(r.output, kConnected);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.status, 0);
  ASSERT_TRUE(WaitMounted('J', true, 10));
  EXPECT_EQ(Listing("/mnt/j"), (std::set<std::string>{"docs", "hello.txt"}));
  EXPECT_EQ(veldra::test::ReadFile("/mnt/j/hello.txt"), "hello from the server\n");
  veldra::platform::TVolumeInfo volume;
  ASSERT_TRUE(veldra::platform::QueryVolumeInformation('J', &volume, nullptr));
  EXPECT_EQ(volume.VolumeName, "ftp://" + share);
  EXPECT_EQ(volume.FileSystemName, "VELDRA");
  // The copy's arguments: the settings, a marker for the password, the start report's name.
  ASSERT_EQ(BackgroundCopies('J').size(), 1u);
  std::vector<std::string> args = ProcessArguments(BackgroundCopies('J')[0]);
  ASSERT_EQ(args.size(), 14u);
  EXPECT_EQ(args[12].rfind("/START:veldra-start-", 0), 0u) << args[12];
  args.erase(args.begin() + 12);
  EXPECT_EQ(args,
            (std::vector<std::string>{kVeldra, "J:", share, "anonymous", "-", "1", "0", "", port,
                                      "/SESSIONS:2", "/CACHE:0", "/SPOOL:64", "/INTERNAL"}));

  r = RunVeldra({"J:", share, "/PORT:" + port});
  EXPECT_EQ(r.output, "Already connected.\n");
  EXPECT_EQ(r.status, 0);
  r = RunVeldra({"J:", share + "/docs", "/PORT:" + port});
  EXPECT_EQ(r.output, "The local device name is already in use.\n");
  EXPECT_EQ(r.status, 255);  // exit code -1

  // The serving copy dies: the drive answers "Transport endpoint is not connected", yet it
  // blocks neither a new mount nor its unmount.
  for (const bool mountAgain : {true, false}) {
    for (const pid_t pid : BackgroundCopies('J')) ::kill(pid, SIGKILL);
    ASSERT_TRUE(WaitCopiesGone('J', 10));
    EXPECT_EQ(::opendir("/mnt/j"), nullptr);
    EXPECT_TRUE(errno == ENOTCONN || errno == ECONNABORTED) << std::strerror(errno);
    r = mountAgain ? RunVeldra({"J:", share, "/PORT:" + port}) : RunVeldra({"J:", "/DELETE"});
    EXPECT_EQ(r.output, mountAgain ? kConnected : kSuccess);
    EXPECT_EQ(r.status, 0);
    if (mountAgain) {
      EXPECT_EQ(Listing("/mnt/j"), (std::set<std::string>{"docs", "hello.txt"}));
    }
  }
  EXPECT_FALSE(IsMounted('J'));
  EXPECT_EQ(fs::exists("/mnt/j"), hadDirectory);
}

TEST_F(VeldraMount, FailedMountsLeaveNothingAndThePasswordStaysHidden) {
  Use('K');
  TempDir root("veldra-app");
  veldra::test::WriteFile(root / "report.txt", "report\n");
  veldra::test::ServerOptions options;
  options.password = "pw-" + std::to_string(::getpid()) + "-Zq7";
  auto server = veldra::test::StartPyftpdlib(root.Path(), options);
  const std::string port = "/PORT:" + std::to_string(server->Port());

  // The start semaphore of an older build, left behind with a count, must not make a failed
  // login look like a success.
  const char* const oldName = "_kzr_mount_start_semaphore_";
  veldra::platform::TNamedSemaphore::Unlink(oldName);
  auto stale = veldra::platform::TNamedSemaphore::Create(oldName, 3);
  const TPort closed(false);
  for (const auto& [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"K:", "127.0.0.1", "wrong", "/USER:veldra", port},
            "Connecting...\nAuthentication failed.\n"},
           {{"K:", "127.0.0.1", closed.Option()},
            "Connecting...\nSocket Error # 10061\nConnection refused.\n"},
           {{"K:", "veldra-test.invalid"},
            "Connecting...\nSocket Error # 11001\nHost not found.\n"}}) {
    const CommandResult r = RunVeldra(args);
    EXPECT_EQ(r.output, out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(IsMounted('K'));
    EXPECT_TRUE(WaitCopiesGone('K', 10));
  }
  veldra::platform::TNamedSemaphore::Unlink(oldName);

  // Stopped while the server has not greeted yet: the command's start semaphore goes with it,
  // and so does its copy.
  const TPort silent(true);
  {
    Process run(VeldraCommand({"K:", "127.0.0.1", silent.Option()}), "", "", true);
    const pid_t pid = run.Pid();
    for (int i = 0; i < 200 && StartSemaphoresLeftBehind(pid).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_EQ(StartSemaphoresLeftBehind(pid).size(), 1u);
    ::kill(pid, SIGTERM);
    ASSERT_TRUE(run.WaitForExit(10));
    EXPECT_EQ(run.Result().status, 128 + SIGTERM);  // ended by the signal
    EXPECT_EQ(StartSemaphoresLeftBehind(pid), std::vector<std::string>());
    EXPECT_TRUE(WaitCopiesGone('K', 10));
  }

  // The password read from standard input stands in the arguments of none of the command's
  // processes at any moment.
  std::atomic<bool> mounting{true};
  std::vector<std::string> leaks;
  size_t seen[2] = {0, 0};  // the visible command, its copy
  std::thread watch([&] {
    while (mounting) {
      for (const auto& entry : fs::directory_iterator("/proc")) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        std::string line;
        for (const std::string& a : pid > 0 ? ProcessArguments(pid) : std::vector<std::string>())
          line += a + " ";
        if (line.rfind(kVeldra, 0) != 0) continue;
        if (line.find(options.password) != std::string::npos) leaks.push_back(line);
        ++seen[line.find(" /INTERNAL") != std::string::npos ? 1 : 0];
      }
    }
  });
  const CommandResult r = RunVeldra({"k:", "127.0.0.1", "-", "/USER:veldra", port, "/NOPASSIVE"},
                                    60, options.password + "\n");
  mounting = false;
  watch.join();
  EXPECT_EQ(leaks, std::vector<std::string>());
  EXPECT_GT(seen[0], 0u);
  EXPECT_GT(seen[1], 0u);
  EXPECT_EQ(r.output, kConnected);
  ASSERT_EQ(r.status, 0);
  ASSERT_TRUE(WaitMounted('K', true, 10));
  // Active-mode data connections: the server connects back for the listing and the read.
  EXPECT_EQ(Listing("/mnt/k"), (std::set<std::string>{"report.txt"}));
  EXPECT_EQ(veldra::test::ReadFile("/mnt/k/report.txt"), "report\n");
  ASSERT_EQ(BackgroundCopies('K').size(), 1u);
  EXPECT_EQ(ProcessArguments(BackgroundCopies('K')[0]).at(5), "0");  // not passive
  const CommandResult gone = RunVeldra({"K:", "/DELETE"});
  EXPECT_EQ(gone.output, kSuccess);
  EXPECT_EQ(gone.status, 0);
  EXPECT_TRUE(WaitMounted('K', false, 10));
  EXPECT_TRUE(WaitCopiesGone('K', 15));
}

TEST_F(VeldraMount, DeleteLeavesOtherFileSystemsAlone) {
  Use('L');
  CommandResult r = RunVeldra({"L:", "/delete"});
  EXPECT_EQ(r.output, "The system cannot find the path specified.\n");
  EXPECT_EQ(r.status, 255);

  const bool created = ::mkdir("/mnt/l", 0755) == 0;
  ASSERT_EQ(::mount("veldra-test", "/mnt/l", "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
  r = RunVeldra({"l:", "/DELETE"});
  const bool stillMounted = IsMounted('L');
  const CommandResult inUse = RunVeldra({"L:", "127.0.0.1"});
  ::umount2("/mnt/l", 0);
  if (created) ::rmdir("/mnt/l");
  EXPECT_EQ(r.output,
            "The system tried to delete the substitution of a drive that is not substituted.\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(stillMounted);
  EXPECT_EQ(inUse.output, "The local device name is already in use.\n");
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
  EXPECT_EQ(r.output, "Connecting...\nDisk driver: Bad Drive letter\n");
  EXPECT_EQ(r.status, 254);
  EXPECT_TRUE(WaitCopiesGone('1', 10));
}

// /OWNERACCESSONLY: the user who mounted (SUDO_UID for root's sudo) and root may use the
// drive, every other user is refused. Served in the foreground with /DEBUG, then by a copy.
TEST_F(VeldraMount, OwnerAccessOnlyAndDebug) {
  Use('M');
  TempDir root("veldra-app");
  veldra::test::WriteFile(root / "one.txt", "1");
  veldra::test::ServerOptions options;
  options.anonymous = true;
  auto server = veldra::test::StartPyftpdlib(root.Path(), options);
  const std::string port = "/PORT:" + std::to_string(server->Port());
  const auto listAs = [](const std::string& uid) {
    return RunCommand(
        {"setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "ls", "/mnt/m"}, 60, "",
        true);
  };

  for (const std::string owner : {"0", "65534"}) {
    std::unique_ptr<Process> debug;
    if (owner == "0") {
      debug = std::make_unique<Process>(
          VeldraCommand({"M:", "127.0.0.1", "guest-pass", "/DEBUG", "/OWNERACCESSONLY", port}), "",
          "", true);
      ASSERT_TRUE(WaitMounted('M', true, 20)) << debug->Result().output;
      // The serving command's arguments show neither the password nor its length.
      EXPECT_EQ(ProcessArguments(debug->Pid()),
                std::vector<std::string>{std::string(kVeldra) + " M: 127.0.0.1 * /DEBUG " +
                                         "/OWNERACCESSONLY " + port});
    } else {
      const CommandResult r = RunCommand(
          {"env", "SUDO_UID=" + owner, kVeldra, "M:", "127.0.0.1", "/OWNERACCESSONLY", port}, 60,
          "", true);
      EXPECT_EQ(r.output, kConnected);
      ASSERT_TRUE(WaitMounted('M', true, 10));
      ASSERT_EQ(BackgroundCopies('M').size(), 1u);
      EXPECT_EQ(ProcessArguments(BackgroundCopies('M')[0]).at(7), owner);
    }
    EXPECT_EQ(Listing("/mnt/m"), (std::set<std::string>{"one.txt"}));  // root
    for (const std::string uid : {"65534", "65533"}) {
      const CommandResult r = listAs(uid);
      EXPECT_EQ(r.output, uid == owner ? "one.txt\n" : "") << uid;
      EXPECT_EQ(r.err.find("Permission denied") != std::string::npos, uid != owner) << r.err;
    }
    const CommandResult r = RunVeldra({"M:", "/DELETE"});
    EXPECT_EQ(r.output, kSuccess);
    EXPECT_EQ(r.status, 0);
    if (debug) {
      ASSERT_TRUE(debug->WaitForExit(20));
      EXPECT_EQ(debug->Result().status, 0);
      EXPECT_EQ(debug->Result().err.find("Sanitizer"), std::string::npos) << debug->Result().err;
      const std::vector<std::string> lines = Lines(debug->Result().output);
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.front(), "Connecting...");
      EXPECT_EQ(lines.back(), "The operation completed successfully.");
      EXPECT_EQ(std::count(lines.begin(), lines.end(), "Connected."), 0);
      for (const char* start : {"    FTP SendCmd: USER anonymous", "FtpFindFiles: \\"}) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
          return line.rfind(start, 0) == 0;
        })) << start;
      }
    }
    EXPECT_TRUE(WaitMounted('M', false, 10));
    EXPECT_TRUE(WaitCopiesGone('M', 15));
  }
}

}  // namespace
