// The veldra command run as a user runs it: printed lines and exit statuses, a real FTP server on
// 127.0.0.1, real FUSE mounts at /mnt/j .. /mnt/m. Most runs are rows, in order; a row may check
// the drive afterwards.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/CommandLine.h"
#include "platform/Semaphore.h"
#include "platform/Volume.h"
#include "tests/support/FtpServers.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace fs = std::filesystem;
using namespace veldra::test;
using veldra::platform::TNamedSemaphore;

namespace {

const std::string kSuccess = "The operation completed successfully.\n";
const std::string kConnected = "Connecting...\nConnected.\n" + kSuccess;

std::string UsageText() {
  std::string text;
  for (const std::string& line : UsageLines()) text += line + "\n";
  return text;
}

std::string Ls(const std::string& dir) {
  std::string out;
  Shell("ls " + ShellQuote(dir), &out);
  return out;
}

// On the way out, also of a failed test: nothing of these letters may be left (what is, is
// cleared), and no start semaphore.
struct Letters {
  std::vector<char> letters;
  ~Letters() {
    for (const char letter : letters) {
      EXPECT_FALSE(IsMounted(letter)) << letter << ": mount left behind";
      EXPECT_TRUE(WaitCopiesGone(letter, 10)) << letter << ": background copy left behind";
      ForceCleanup(letter);
    }
    EXPECT_EQ(StartSemaphoresLeftBehind(), std::vector<std::string>());
  }
};

// One run of the command: what it prints and its status, then what to check.
struct Row {
  std::vector<std::string> args;
  std::string out;
  int status;
  std::function<void()> then;
  std::string err, input, env;  // standard error; standard input; "NAME=value" for its environment
};
Row R(std::vector<std::string> args, std::string out, int status,
      std::function<void()> then = nullptr, std::string err = "", std::string input = "",
      std::string env = "") {
  return {std::move(args), std::move(out), status, std::move(then), err, input, env};
}

TEST(VeldraCommand, RunsInOrder) {
  Letters letters{{'J', 'K', 'L', 'M', '1'}};
  TempDir root("veldra-app");
  WriteFile(root / "pub files,2026/hello.txt", "hello from the server\n");
  WriteFile(root / "pub files,2026/docs/a.txt", "a");
  ServerOptions options;
  options.anonymous = true;
  options.password = "pw-" + std::to_string(::getpid()) + "-Zq7";
  auto server = StartPyftpdlib(root.Path(), options);
  const std::string port = "/PORT:" + std::to_string(server->Port());
  const std::string share = "127.0.0.1/pub files,2026";
  int closedPort = 0;  // where nothing listens any more
  {
    ScriptedFtpServer gone([](ScriptedSession&) {});
    closedPort = gone.Port();
  }
  const bool hadJ = fs::exists("/mnt/j");
  // The start semaphore of an older build, left with a count, must not make a failure look like
  // a success.
  const char* const oldName = "_kzr_mount_start_semaphore_";
  TNamedSemaphore::Unlink(oldName);
  auto stale = TNamedSemaphore::Create(oldName, 3);

  const auto servesJ = [] { EXPECT_EQ(Ls("/mnt/j"), "docs\nhello.txt\n"); };
  // The serving copy dies: the drive answers "not connected".
  const auto killJ = [] {
    for (const pid_t pid : BackgroundCopies('J')) ::kill(pid, SIGKILL);
    ASSERT_TRUE(WaitCopiesGone('J', 10));
    EXPECT_EQ(::opendir("/mnt/j"), nullptr);
    EXPECT_TRUE(errno == ENOTCONN || errno == ECONNABORTED) << std::strerror(errno);
  };
  const auto mountedJ = [&] {
    ASSERT_TRUE(WaitMounted('J', true, 10));
    servesJ();
    EXPECT_EQ(ReadFile("/mnt/j/hello.txt"), "hello from the server\n");
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
    EXPECT_EQ(args, (std::vector<std::string>{kVeldra, "J:", share, "anonymous", "-", "1", "0", "",
                                              port.substr(6), "/SESSIONS:2", "/CACHE:0",
                                              "/SPOOL:64", "/INTERNAL"}));
  };
  // /OWNERACCESSONLY: root and the owner may use the drive, every other user is refused.
  const auto onlyFor = [](const std::string& owner) {
    ASSERT_TRUE(WaitMounted('M', true, 20));
    EXPECT_EQ(Ls("/mnt/m"), "pub files,2026\n");  // root
    for (const std::string uid : {"65534", "65533"}) {
      const CommandResult r = RunCommand(
          {"setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "ls", "/mnt/m"}, 60, "",
          true);
      EXPECT_EQ(r.output, uid == owner ? "pub files,2026\n" : "") << uid;
      EXPECT_EQ(r.err.find("Permission denied") != std::string::npos, uid != owner) << r.err;
    }
  };
  const auto gone = [](char letter) {
    return [letter] {
      EXPECT_TRUE(WaitMounted(letter, false, 10));
      EXPECT_TRUE(WaitCopiesGone(letter, 15));
    };
  };
  bool madeL = false;
  const std::string usage = UsageText() + kSuccess;
  const Row rows[] = {
      R({}, usage, 0),
      R({"M:"}, usage, 0),
      R({"M:", "/delete", "extra"}, usage, 0),
      // A value out of rule stops the command before it prints anything on standard output.
      R({"M:", "127.0.0.1", "/PORT:abc"}, "", 1, nullptr, "'abc' is not a valid integer value\n"),
      // The background form: options only after the eight positional arguments; missing ones
      // read as empty; an empty device name ends with 15 (invalid drive) before any connection.
      R({"M:", "h", "u", "-", "x", "0", "", "21", "/INTERNAL"}, "", 1, nullptr,
        "'x' is not a valid boolean value\n"),
      R({"M:", "h", "u", "-", "1", "0", "", "21", "/CACHE:x", "/INTERNAL"}, "", 1, nullptr,
        "'x' is not a valid integer value\n"),
      R({"/INTERNAL"}, "", 1, nullptr, "'' is not a valid boolean value\n"),
      R({"", "127.0.0.1", "u", "-", "1", "0", "", "21", "/INTERNAL"}, "", 15),
      R({"K:", "127.0.0.1", "wrong", "/USER:veldra", port},
        "Connecting...\nAuthentication failed.\n", 255),
      R({"K:", "127.0.0.1", "/PORT:" + std::to_string(closedPort)},
        "Connecting...\nSocket Error # 10061\nConnection refused.\n", 255),
      R({"K:", "veldra-test.invalid"}, "Connecting...\nSocket Error # 11001\nHost not found.\n",
        255),
      // The copy logs in and reports its start; the library then refuses the letter within the
      // settle pause: its line and its code (-2) reach the user.
      R({"1:", "127.0.0.1", port}, "Connecting...\nDisk driver: Bad Drive letter\n", 254),
      // Another file system on /mnt/l: neither unmounted nor mounted over.
      R({"L:", "/delete"}, "The system cannot find the path specified.\n", 255,
        [&] {
          madeL = ::mkdir("/mnt/l", 0755) == 0;
          ASSERT_EQ(::mount("veldra-test", "/mnt/l", "tmpfs", 0, "size=1m"), 0);
        }),
      R({"l:", "/DELETE"},
        "The system tried to delete the substitution of a drive that is not substituted.\n", 255,
        [] { EXPECT_TRUE(IsMounted('L')); }),
      R({"L:", "127.0.0.1"}, "The local device name is already in use.\n", 255,
        [&] {
          ::umount2("/mnt/l", 0);
          if (madeL) ::rmdir("/mnt/l");
        }),
      // Lower-case device name; a remote directory whose name the mount table must escape.
      R({"j:", share, port, "/SESSIONS:2", "/CACHE:0", "/SPOOL:64"}, kConnected, 0, mountedJ),
      R({"J:", share, port}, "Already connected.\n", 0),
      R({"J:", share + "/docs", port}, "The local device name is already in use.\n", 255, killJ),
      // A dead drive blocks neither a new mount nor its unmount.
      R({"J:", share, port}, kConnected, 0,
        [&] {
          servesJ();
          killJ();
        }),
      R({"J:", "/DELETE"}, kSuccess, 0,
        [&] {
          EXPECT_FALSE(IsMounted('J'));
          EXPECT_EQ(fs::exists("/mnt/j"), hadJ);
        }),
      // The password from standard input; active-mode data connections.
      R(
          {"k:", "127.0.0.1", "-", "/USER:veldra", port, "/NOPASSIVE"}, kConnected, 0,
          [] {
            ASSERT_TRUE(WaitMounted('K', true, 10));
            EXPECT_EQ(Ls("/mnt/k/pub files,2026"), "docs\nhello.txt\n");
            EXPECT_EQ(ReadFile("/mnt/k/pub files,2026/docs/a.txt"), "a");
            ASSERT_EQ(BackgroundCopies('K').size(), 1u);
            EXPECT_EQ(ProcessArguments(BackgroundCopies('K')[0]).at(5), "0");  // not passive
          },
          "", options.password + "\n"),
      R({"K:", "/DELETE"}, kSuccess, 0, gone('K')),
      // Mounted by root through sudo: the user who ran sudo owns the drive.
      R(
          {"M:", "127.0.0.1", "/OWNERACCESSONLY", port}, kConnected, 0,
          [&] {
            onlyFor("65534");
            ASSERT_EQ(BackgroundCopies('M').size(), 1u);
            EXPECT_EQ(ProcessArguments(BackgroundCopies('M')[0]).at(7), "65534");
          },
          "", "", "SUDO_UID=65534"),
      R({"M:", "/DELETE"}, kSuccess, 0, gone('M')),
  };

  // Meanwhile the password stands in the arguments of none of the command's processes.
  std::atomic<bool> running{true};
  std::vector<std::string> leaks;
  size_t seen[2] = {0, 0};  // the visible command, its copy
  std::thread watch([&] {
    while (running) {
      for (const pid_t pid : OwnProcesses([](const std::vector<std::string>& args) {
             return !args.empty() && args[0].rfind(kVeldra, 0) == 0;
           })) {
        std::string line;
        for (const std::string& a : ProcessArguments(pid)) line += a + " ";
        if (line.find(options.password) != std::string::npos) leaks.push_back(line);
        if (!line.empty()) ++seen[line.find(" /INTERNAL") != std::string::npos ? 1 : 0];
      }
    }
  });
  for (const Row& row : rows) {
    const std::string what =
        row.args.empty() ? "no arguments" : row.args[0] + " " + row.args.back();
    std::vector<std::string> argv = VeldraCommand(row.args);
    if (!row.env.empty()) argv.insert(argv.begin(), {"env", row.env});
    const CommandResult r = RunCommand(argv, 60, row.input, true);
    EXPECT_EQ(std::tie(r.output, r.err, r.status), std::tie(row.out, row.err, row.status)) << what;
    if (row.then) row.then();
  }
  running = false;
  watch.join();
  EXPECT_EQ(leaks, std::vector<std::string>());
  EXPECT_GT(seen[0], 0u);
  EXPECT_GT(seen[1], 0u);
  TNamedSemaphore::Unlink(oldName);

  // Stopped while the server has not greeted yet: its start semaphore and its copy go with it.
  ScriptedFtpServer silent([](ScriptedSession& s) {
    while (!s.ClientClosed()) s.ReadCommand(100);
  });
  Process run(VeldraCommand({"K:", "127.0.0.1", "/PORT:" + std::to_string(silent.Port())}), "", "",
              true);
  const pid_t pid = run.Pid();
  ASSERT_TRUE(WaitUntil([&] { return StartSemaphoresLeftBehind(pid).size() == 1; }, 5000));
  ::kill(pid, SIGTERM);
  ASSERT_TRUE(run.WaitForExit(10));
  EXPECT_EQ(run.Result().status, 128 + SIGTERM);  // ended by the signal
  EXPECT_EQ(StartSemaphoresLeftBehind(pid), std::vector<std::string>());
  EXPECT_TRUE(WaitCopiesGone('K', 10));

  // /DEBUG serves in the foreground; its arguments show neither the password nor its length.
  Process debug(
      VeldraCommand({"M:", "127.0.0.1", "guest-pass", "/DEBUG", "/OWNERACCESSONLY", port}), "", "",
      true);
  ASSERT_TRUE(WaitMounted('M', true, 20)) << debug.Result().output;
  EXPECT_EQ(ProcessArguments(debug.Pid()),
            std::vector<std::string>{std::string(kVeldra) + " M: 127.0.0.1 * /DEBUG " +
                                     "/OWNERACCESSONLY " + port});
  onlyFor("0");
  EXPECT_EQ(RunVeldra({"M:", "/DELETE"}).output, kSuccess);
  ASSERT_TRUE(debug.WaitForExit(20));
  const CommandResult& served = debug.Result();
  EXPECT_EQ(served.status, 0);
  EXPECT_EQ(served.err.find("Sanitizer"), std::string::npos) << served.err;
  EXPECT_NE(served.err.find("unique: "), std::string::npos);  // the library's own lines
  // The callbacks' and the FTP client's lines between "Connecting..." and the success.
  EXPECT_EQ(served.output.rfind("Connecting...\n", 0), 0u);
  EXPECT_EQ(served.output.find("Connected."), std::string::npos);
  for (const char* line :
       {"\n    FTP SendCmd: USER anonymous", "\nFtpFindFiles: \\\n", "\nFtpUnmount\n"})
    EXPECT_NE(served.output.find(line), std::string::npos) << line;
  EXPECT_EQ(served.output.size() - served.output.rfind(kSuccess), kSuccess.size());
  gone('M')();
}

TEST(VeldraCommand, RefusedWithoutRootRights) {
  // A copy (modes kept) the unprivileged user can surely reach, wherever the build tree lives.
  TempDir bin("veldra-app-bin");
  const std::string program = bin / "veldra";
  fs::copy_file(kVeldra, program);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"M:", "127.0.0.1"}, {"M:", "/DELETE"}, {}}) {
    std::vector<std::string> argv{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                  program};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult r = RunCommand(argv, 60, "", true);
    EXPECT_EQ(r.output, UsageText() +
                            "Access Denied as you do not have sufficient privileges.\n"
                            "You have to invoke this utility running in elevated mode.\n");
    EXPECT_EQ(r.status, 5);
  }
}

}  // namespace
