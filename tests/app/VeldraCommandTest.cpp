// The veldra command: its command line and its background launch, then the command run as a user
// runs it: printed lines and exit statuses, a real FTP server on 127.0.0.1, real FUSE mounts at
// /mnt/j .. /mnt/m. Most runs are rows, in order; a row may check the drive afterwards.
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
#include "app/Launch.h"
#include "platform/Semaphore.h"
#include "platform/Volume.h"
#include "tests/support/FtpServers.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/VeldraDrive.h"

namespace fs = std::filesystem;
using namespace veldra::test;
using veldra::platform::TNamedSemaphore;

namespace {

TCommandLine Args(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/veldra");
  return TCommandLine(std::move(args));
}

// The rules a row of the command cannot show; the options out of rule are rows there.
TEST(CommandLine, RulesAndTheHandOverToTheBackgroundCopy) {
  // Only "/" starts a switch, in any letter case, with nothing after its name; an option's name
  // stands at the second character, the separator is not examined, the value keeps its case.
  const TCommandLine q =
      Args({"F:", "h", "/debug", "-NOPASSIVE", "/OWNERACCESSONLY=1", "", "/username:Bob"});
  EXPECT_TRUE(q.FindSwitch("DEBUG") && !q.FindSwitch("NOPASSIVE") &&
              !q.FindSwitch("OWNERACCESSONLY") && !q.FindSwitch(""));
  EXPECT_EQ(q.OptionValue("USER", "x") + "|" + q.OptionValue("CACHE", "30"), "ame:Bob|30");
  EXPECT_TRUE(StrToInt("-2147483648") == INT32_MIN && StrToInt("+21") == 21);
  for (const char* bad : {"", "21x", "2147483648", "-", " 21"})
    EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
  EXPECT_TRUE(!StrToBool("0") && StrToBool("1") && StrToBool("true") && !StrToBool("FALSE"));

  std::string typedPin = "AA";  // upper case, colons between the pairs
  for (int i = 1; i < 32; ++i) typedPin += ":AA";
  MountOptions o = ReadMountOptions(
      Args({"f:", "127.0.0.1/my files", "-", "/user:xcache:7", "/SESSIONS:16", "/CACHE:0",
            "/TLS:implicit", "/CERT:" + typedPin, "/SPOOL:64", "/NOPASSIVE"}));
  o.LoginPassword = "never on the line";
  o.OwnerUser = "1000";
  o.StartSemaphore = "veldra-start-1-2-3";
  // The user name "xcache:7" stands where options are not looked for; 990: implicit TLS
  // without /PORT:.
  const MountOptions copy =
      ReadInternalArguments(TCommandLine(InternalArguments("/opt/veldra dir/veldra", o)));
  EXPECT_EQ(
      std::make_tuple(copy.DeviceName, copy.HostAndPath, copy.LoginUser, copy.UsePassive,
                      copy.OwnerUser, copy.ServerPort, copy.Sessions, copy.CacheSeconds, copy.Tls,
                      copy.CertificatePin, copy.SpoolMiB, copy.StartSemaphore, copy.LoginPassword),
      std::make_tuple(o.DeviceName, o.HostAndPath, "xcache:7", false, o.OwnerUser, 990, 16, 0,
                      TTlsMode::Implicit, std::string(64, 'a'), 64, o.StartSemaphore, ""));
  // Defaults; /TLS alone is explicit TLS; "*" and a missing third argument are no password.
  for (const char* third : {"*", "/TLS"}) {
    o = ReadMountOptions(Args({"F:", "h", third, "/TLS"}));
    EXPECT_EQ(std::make_tuple(o.LoginPassword, o.PasswordFromInput, o.ServerPort, o.Tls, o.Sessions,
                              o.CacheSeconds, o.SpoolMiB, o.LoginUser),
              std::make_tuple("", false, 21, TTlsMode::Explicit, 4, 30, 4096, "anonymous"));
  }
  EXPECT_EQ(ReadMountOptions(Args({"F:", "h", ""})).LoginPassword, "");
  EXPECT_EQ(ReadMountOptions(Args({"F:", "h", "pw", "/TLS:IMPLICIT", "/PORT:21"})).ServerPort, 21);
}

// The launch with stand-in programs: exit codes, the output snapshot and its limit, the input
// pipe, the wait's end without a start report, and operating-system refusals.
TEST(LaunchBackground, ACopyWithoutAStartReportNeverCountsAsStarted) {
  const std::string tooMuch = "<" + std::to_string(kOutputSnapshotMax) + " bytes>";
  const struct {
    std::vector<std::string> argv;
    int timeoutMs, exitCode;
    std::string output;  // tooMuch: that many bytes
  } rows[] = {
      {{"/bin/sh", "-c", "echo first; echo second >&2; exit 3"}, 30000, 3, "first\nsecond\n"},
      // Ended with 0 but never reported its start: no success.
      {{"/bin/sh", "-c", "exit 0"}, 30000, -1, ""},
      {{"/usr/bin/head", "-c", "100000", "/dev/zero"}, 30000, -1, tooMuch},
      // Still running at the time-out: stopped, and the failure says why.
      {{"/bin/sh", "-c", "echo x; exec sleep 30"}, 1000, -1, "The mount did not start within 1 s."},
      {{"/nonexistent/veldra"}, 1000, 2, "System Error.  Code: 2.\nNo such file or directory"},
  };
  for (const auto& row : rows) {
    const std::string name = NewStartSemaphoreName();
    const TLaunchResult r = LaunchBackground(row.argv, "", name, row.timeoutMs);
    EXPECT_EQ(std::make_tuple(r.Started, r.ExitCode), std::make_tuple(false, row.exitCode))
        << row.argv.back();
    EXPECT_EQ(row.output == tooMuch ? "<" + std::to_string(r.Output.size()) + " bytes>" : r.Output,
              row.output);
    EXPECT_FALSE(TNamedSemaphore::Exists(name));
  }
  // A name that exists already (a stale one may hold a count) is never taken over.
  const std::string name = NewStartSemaphoreName();
  auto stale = TNamedSemaphore::Create(name, 3);
  const TLaunchResult r = LaunchBackground({"/bin/true"}, "", name, 1000);
  TNamedSemaphore::Unlink(name);
  EXPECT_EQ(std::make_tuple(r.Started, r.ExitCode, r.Output),
            std::make_tuple(false, EEXIST, "System Error.  Code: 17.\nFile exists"));
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
  std::string err, input;        // standard error; standard input
  std::vector<std::string> via;  // what runs the program (env, setpriv), with its path
};
Row R(std::vector<std::string> args, std::string out, int status,
      std::function<void()> then = nullptr, std::string err = "", std::string input = "",
      std::vector<std::string> via = {}) {
  return {args, out, status, then, err, input, via};
}

TEST(VeldraCommand, RunsInOrder) {
  Letters letters{{'J', 'K', 'L', 'M', '1'}};
  TempDir root("veldra-app");
  WriteFile(root / "pub files,2026/hello.txt", "hello from the server\n");
  WriteFile(root / "pub files,2026/docs/a.txt", "a");
  ServerOptions options;
  options.anonymous = true;
  options.password = "pw-" + std::to_string(::getpid()) + "-Zq7";
  auto server = StartServer(ServerKind::Pyftpdlib, root.Path(), options);
  const std::string port = "/PORT:" + std::to_string(server->Port());
  const std::string share = "127.0.0.1/pub files,2026";
  const int closedPort = ScriptedFtpServer([](ScriptedSession&) {}).Port();  // gone again
  const bool hadJ = fs::exists("/mnt/j");
  // A copy (modes kept) the unprivileged user can surely reach, wherever the build tree lives.
  TempDir bin("veldra-app-bin");
  fs::copy_file(kVeldra, bin / "veldra");
  const std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", bin / "veldra"};

  const auto servesJ = [] { EXPECT_EQ(RunCommand({"ls", "/mnt/j"}).output, "docs\nhello.txt\n"); };
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
    EXPECT_EQ(volume.VolumeName + " " + volume.FileSystemName, "ftp://" + share + " VELDRA");
    // The copy's arguments: the settings, a marker for the password, the start report's name.
    ASSERT_EQ(BackgroundCopies('J').size(), 1u);
    std::vector<std::string> args = ProcessArguments(BackgroundCopies('J')[0]);
    if (args.size() == 14) args[12].resize(20);  // the rest of the name is unique to the run
    EXPECT_EQ(args, (std::vector<std::string>{kVeldra, "J:", share, "anonymous", "-", "1", "0", "",
                                              port.substr(6), "/SESSIONS:2", "/CACHE:0",
                                              "/SPOOL:64", "/START:veldra-start-", "/INTERNAL"}));
  };
  // /OWNERACCESSONLY: root and the owner may use the drive, every other user is refused.
  const auto onlyFor = [](const std::string& owner) {
    ASSERT_TRUE(WaitMounted('M', true, 20));
    EXPECT_EQ(RunCommand({"ls", "/mnt/m"}).output, "pub files,2026\n");  // root
    for (const std::string uid : {"65534", "65533"}) {
      const CommandResult r = RunCommand(
          {"setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "ls", "/mnt/m"}, 60, "",
          true);
      EXPECT_EQ(r.output, uid == owner ? "pub files,2026\n" : "") << uid;
      EXPECT_EQ(r.err.find("Permission denied") != std::string::npos, uid != owner) << r.err;
    }
  };
  const auto gone = [](char letter) {
    return [letter] { EXPECT_TRUE(WaitMounted(letter, false, 10) && WaitCopiesGone(letter, 15)); };
  };
  bool madeL = false;
  std::string usage;
  for (const std::string& line : UsageLines()) usage += line + "\n";
  const std::string kSuccess = "The operation completed successfully.\n";
  const std::string kConnected = "Connecting...\nConnected.\n" + kSuccess;
  const std::string denied = usage +
                             "Access Denied as you do not have sufficient privileges.\n"
                             "You have to invoke this utility running in elevated mode.\n";
  const std::string here = "127.0.0.1";  // where a faulty command would go: nobody listens on 21
  const std::string notInt = " is not a valid integer value\n";
  const std::string notTls = " is not a valid TLS mode: use /TLS or /TLS:IMPLICIT\n";
  const std::string notPin = " is not a SHA-256 fingerprint: 64 hex digits, colons optional\n";
  const Row rows[] = {
      R({}, usage + kSuccess, 0),
      R({"M:"}, usage + kSuccess, 0),
      R({"M:", "/delete", "extra"}, usage + kSuccess, 0),
      // A value out of rule stops the command before it prints anything on standard output.
      R({"M:", here, "/PORT:abc"}, "", 1, nullptr, "'abc'" + notInt),
      // Positional arguments are scanned too, and the first that qualifies wins.
      R({"M:", here, "xport.example.com"}, "", 1, nullptr, "'example.com'" + notInt),
      R({"M:", here, "/PORT:", "/PORT:22"}, "", 1, nullptr, "''" + notInt),
      R({"M:", here, "/SESSIONS:x"}, "", 1, nullptr, "'x'" + notInt),
      R({"M:", here, "/SESSIONS:0"}, "", 1, nullptr, "/SESSIONS:0 is out of range (1 to 16)\n"),
      R({"M:", here, "/sessions:17"}, "", 1, nullptr, "/SESSIONS:17 is out of range (1 to 16)\n"),
      R({"M:", here, "/CACHE:-1"}, "", 1, nullptr, "/CACHE:-1 is out of range (0 to 86400)\n"),
      R({"M:", here, "/CACHE:86401"}, "", 1, nullptr,
        "/CACHE:86401 is out of range (0 to 86400)\n"),
      R({"M:", here, "/SPOOL:0"}, "", 1, nullptr, "/SPOOL:0 is out of range (1 to 1048576)\n"),
      R({"M:", here, "/TLS:EXPLICIT"}, "", 1, nullptr, "'EXPLICIT'" + notTls),
      R({"M:", here, "/TLS:"}, "", 1, nullptr, "''" + notTls),
      R({"M:", here, "/CERT:AB:CD"}, "", 1, nullptr, "'AB:CD'" + notPin),
      R({"M:", here, "/CERT:" + std::string(63, 'a') + "g"}, "", 1, nullptr,
        "'" + std::string(63, 'a') + "g'" + notPin),
      // Not root: refused before anything else, whatever the form.
      R({"M:", "127.0.0.1"}, denied, 5, nullptr, "", "", nobody),
      R({"M:", "/DELETE"}, denied, 5, nullptr, "", "", nobody),
      R({}, denied, 5, nullptr, "", "", nobody),
      // The background form: options only after the eight positional arguments; missing ones
      // read as empty; an empty device name ends with 15 (invalid drive) before any connection.
      R({"M:", here, "u", "-", "x", "0", "", "21", "/INTERNAL"}, "", 1, nullptr,
        "'x' is not a valid boolean value\n"),
      R({"M:", here, "u", "-", "1", "0", "", "21", "/CACHE:x", "/INTERNAL"}, "", 1, nullptr,
        "'x'" + notInt),
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
      R({"J:", share, port}, kConnected, 0, [&] { servesJ(), killJ(); }),
      R({"J:", "/DELETE"}, kSuccess, 0,
        [&] { EXPECT_TRUE(!IsMounted('J') && fs::exists("/mnt/j") == hadJ); }),
      // The password from standard input; active-mode data connections.
      R(
          {"k:", "127.0.0.1", "-", "/USER:veldra", port, "/NOPASSIVE"}, kConnected, 0,
          [] {
            ASSERT_TRUE(WaitMounted('K', true, 10));
            EXPECT_EQ(ReadFile("/mnt/k/pub files,2026/docs/a.txt"), "a");
            ASSERT_EQ(BackgroundCopies('K').size(), 1u);
            EXPECT_EQ(ProcessArguments(BackgroundCopies('K')[0]).at(5), "0");  // not passive
          },
          "", options.password + "\n"),
      R({"K:", "/DELETE"}, kSuccess, 0, gone('K')),
      // Mounted by root through sudo: the user who ran sudo owns the drive.
      R({"M:", "127.0.0.1", "/OWNERACCESSONLY", port}, kConnected, 0,
        [&] {
          onlyFor("65534");
          ASSERT_EQ(BackgroundCopies('M').size(), 1u);
          EXPECT_EQ(ProcessArguments(BackgroundCopies('M')[0]).at(7), "65534");
        },
        "", "", {"env", "SUDO_UID=65534", kVeldra}),
      R({"M:", "/DELETE"}, kSuccess, 0, gone('M')),
  };
  // Meanwhile the password stands in the arguments of none of the command's processes.
  std::atomic<bool> running{true};
  std::vector<std::string> leaks;
  size_t seen[2] = {0, 0};  // the visible command, its copy
  std::thread watch([&] {
    while (running)
      OwnProcesses([&](const std::vector<std::string>& args) {
        std::string line;
        for (const std::string& a : args) line += a + " ";
        if (line.rfind(kVeldra, 0) != 0) return false;
        if (line.find(options.password) != std::string::npos) leaks.push_back(line);
        ++seen[line.find(" /INTERNAL") != std::string::npos ? 1 : 0];
        return false;
      });
  });
  for (const Row& row : rows) {
    std::vector<std::string> argv = row.via.empty() ? VeldraCommand({}) : row.via;
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const CommandResult r = RunCommand(argv, 60, row.input, true);
    EXPECT_EQ(std::tie(r.output, r.err, r.status), std::tie(row.out, row.err, row.status))
        << (row.args.empty() ? "no arguments" : row.args[0] + " " + row.args.back());
    if (row.then) row.then();
  }
  running = false;
  watch.join();
  EXPECT_EQ(leaks, std::vector<std::string>());
  EXPECT_TRUE(seen[0] > 0 && seen[1] > 0);

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
  EXPECT_EQ(RunCommand(VeldraCommand({"M:", "/DELETE"})).output, kSuccess);
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

}  // namespace
