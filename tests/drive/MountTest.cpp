// The drive as programs see it: a real mount at /mnt/<letter>, served by the test host program
// over a real FTP server on 127.0.0.1, exercised with ordinary calls and tools. Every test uses
// its own letter and always unmounts, also when it fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drive/Dokan.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

extern char** environ;

namespace vt = veldra::test;

namespace {

// The test host serving one drive; unmounted and reaped by the destructor in bounded time.
class HostMount {
 public:
  HostMount(char letter, const vt::TestFtpServer& server, std::vector<std::string> extra = {})
      : letter_(letter), path_(std::string("/mnt/") + letter), logDir_("veldra-host") {
    if (vt::FindMount(path_)) return;  // taken by a mount this test did not start: left alone
    std::vector<std::string> args = {
        DRIVE_TEST_HOST,  std::string(1, letter), std::to_string(server.Port()),
        "--user",         server.User(),          "--password",
        server.Password()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = logDir_ / "log";
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pid_ > 0 && !vt::FindMount(path_) && std::chrono::steady_clock::now() < until) {
      if (Exited(0)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~HostMount() { Stop(); }
  HostMount(const HostMount&) = delete;
  HostMount& operator=(const HostMount&) = delete;

  bool Mounted() const { return pid_ > 0 && vt::FindMount(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }
  std::string Log() const {
    return vt::Exists(logDir_ / "log") ? vt::ReadFile(logDir_ / "log") : "";
  }

  // Unmounts as the unmount command does and returns the host's exit status.
  int Stop() {
    if (pid_ > 0 && !exited_) {
      char16_t letter[2] = {static_cast<char16_t>(letter_), 0};
      DokanRemoveMountPoint(letter);
      if (!Exited(15)) {
        vt::ForceUnmount(path_);
        ::kill(pid_, SIGKILL);
        Exited(10);
      }
    }
    if (pid_ > 0) vt::ForceUnmount(path_);
    return status_;
  }

 private:
  // Waits up to seconds for the host to end; true when it has.
  bool Exited(int seconds) {
    if (exited_) return true;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    do {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      }
      if (seconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < until);
    return false;
  }

  char letter_;
  std::string path_;
  vt::TempDir logDir_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

std::string Quote(const std::string& path) {
  return "'" + path + "'";
}

int ErrnoOf(int result) {
  return result < 0 ? errno : 0;
}

// The server tree every tool test starts from.
void Populate(const vt::TempDir& root) {
  vt::WriteFile(root / "hello.txt", "hello world\n");
  vt::WriteFile(root / "sub/inner.txt", "inner");
  vt::WriteFile(root / "with space.txt", "spaced");
  vt::WriteFile(root /
                    "Gr\xc3\xbc\xc3\x9f"
                    "e.txt",
                "umlaut");
  vt::WriteFile(root / "keep.txt", "keep");
  vt::WriteFile(root / "other.txt", "other");
  vt::WriteFile(root / "big.bin", vt::PatternBytes(6 << 20, 3));
  for (int i = 0; i < 200; ++i) vt::WriteFile(root / ("many/entry " + std::to_string(i)), "");
}

void ExerciseTools(vt::ServerKind kind, char letter) {
  vt::TempDir root("veldra-mount");
  vt::TempDir local("veldra-local");
  Populate(root);
  auto server = vt::StartServer(kind, root.Path());
  HostMount mount(letter, *server);
  ASSERT_TRUE(mount.Mounted()) << mount.Log();
  std::string out;

  // Listing and attributes.
  ASSERT_EQ(0, vt::Shell("ls -la " + mount.Path(), &out)) << out;
  for (const char* name : {"hello.txt", "sub", "with space.txt",
                           "Gr\xc3\xbc\xc3\x9f"
                           "e.txt"}) {
    EXPECT_NE(std::string::npos, out.find(name)) << name << "\n" << out;
  }
  EXPECT_EQ(0, vt::Shell("stat -c '%s %F %a' " + (mount / "hello.txt"), &out));
  EXPECT_EQ("12 regular file 644\n", out);
  EXPECT_EQ(0, vt::Shell("stat -c '%F %a' " + (mount / "sub"), &out));
  EXPECT_EQ("directory 755\n", out);
  EXPECT_EQ(0, vt::Shell("ls -1 " + Quote(mount / "many") + " | wc -l", &out));
  EXPECT_EQ(200, std::stoi(out));

  // Contents out: cat and cp with checksums.
  EXPECT_EQ(0, vt::Shell("cat " + (mount / "hello.txt"), &out));
  EXPECT_EQ("hello world\n", out);
  EXPECT_EQ(0, vt::Shell("cat " + Quote(mount / "with space.txt"), &out));
  EXPECT_EQ("spaced", out);
  EXPECT_EQ(0, vt::Shell("cat " + Quote(mount / "Gr\xc3\xbc\xc3\x9f"
                                                "e.txt"),
                         &out));
  EXPECT_EQ("umlaut", out);
  ASSERT_EQ(0, vt::Shell("cp " + (mount / "big.bin") + " " + (local / "big.bin"), &out)) << out;
  EXPECT_EQ(vt::ChecksumOfFile(root / "big.bin"), vt::ChecksumOfFile(local / "big.bin"));

  // Contents in: complete on the server as soon as cp has closed the file.
  vt::WriteFile(local / "up.bin", vt::PatternBytes((5 << 20) + 123, 9));
  ASSERT_EQ(0, vt::Shell("cp " + (local / "up.bin") + " " + (mount / "up.bin"), &out)) << out;
  EXPECT_EQ(vt::ChecksumOfFile(local / "up.bin"), vt::ChecksumOfFile(root / "up.bin"));
  ASSERT_EQ(0, vt::Shell("cp " + (mount / "up.bin") + " " + (local / "back.bin"), &out)) << out;
  EXPECT_EQ(vt::ChecksumOfFile(local / "up.bin"), vt::ChecksumOfFile(local / "back.bin"));
  // Two readers at once: their transfers clash on the one session, their bytes must not.
  ASSERT_EQ(0, vt::Shell("cat " + (mount / "big.bin") + " > " + (local / "p1") + " & cat " +
                             (mount / "up.bin") + " > " + (local / "p2") + " & wait",
                         &out))
      << out;
  EXPECT_EQ(vt::ChecksumOfFile(root / "big.bin"), vt::ChecksumOfFile(local / "p1"));
  EXPECT_EQ(vt::ChecksumOfFile(local / "up.bin"), vt::ChecksumOfFile(local / "p2"));
  // A copy within the drive: reads of one file and writes of another take turns on the session.
  ASSERT_EQ(0, vt::Shell("cp " + (mount / "big.bin") + " " + (mount / "twin.bin"), &out)) << out;
  EXPECT_EQ(vt::ChecksumOfFile(root / "big.bin"), vt::ChecksumOfFile(root / "twin.bin"));
  // Over an existing file, and keeping modes and times (accepted, not kept).
  vt::WriteFile(local / "small.txt", "small");
  ASSERT_EQ(0, vt::Shell("cp " + (local / "small.txt") + " " + (mount / "up.bin"), &out)) << out;
  EXPECT_EQ("small", vt::ReadFile(root / "up.bin"));
  ASSERT_EQ(0, vt::Shell("cp -p " + (local / "up.bin") + " " + (mount / "kept.bin"), &out)) << out;
  EXPECT_EQ(vt::ChecksumOfFile(local / "up.bin"), vt::ChecksumOfFile(root / "kept.bin"));

  // Writes read back at once; appends continue the file; listings show new names.
  EXPECT_EQ(0,
            vt::Shell("printf one > " + (mount / "fresh.txt") + " && cat " + (mount / "fresh.txt"),
                      &out));
  EXPECT_EQ("one", out);
  EXPECT_EQ(0,
            vt::Shell("printf two >> " + (mount / "fresh.txt") + " && cat " + (mount / "fresh.txt"),
                      &out));
  EXPECT_EQ("onetwo", out);
  EXPECT_EQ("onetwo", vt::ReadFile(root / "fresh.txt"));
  EXPECT_EQ(0, vt::Shell("ls " + mount.Path(), &out));
  EXPECT_NE(std::string::npos, out.find("fresh.txt"));
  const std::string newName = "neu \xc3\xa4 12:30.txt";
  EXPECT_EQ(0, vt::Shell("printf x > " + Quote(mount / newName), &out)) << out;
  EXPECT_EQ("x", vt::ReadFile(root / newName));

  // Directories.
  EXPECT_EQ(0, vt::Shell("mkdir " + (mount / "newdir"), &out)) << out;
  EXPECT_TRUE(vt::Exists(root / "newdir"));
  EXPECT_NE(0, vt::Shell("rmdir " + (mount / "sub"), &out));
  EXPECT_TRUE(vt::Exists(root / "sub/inner.txt"));
  EXPECT_EQ(0, vt::Shell("mv " + (mount / "newdir") + " " + (mount / "newdir2"), &out)) << out;
  EXPECT_TRUE(vt::Exists(root / "newdir2"));
  EXPECT_FALSE(vt::Exists(root / "newdir"));
  EXPECT_EQ(0, vt::Shell("rmdir " + (mount / "newdir2"), &out)) << out;
  EXPECT_FALSE(vt::Exists(root / "newdir2"));

  // Files: mv, mv -n, rm.
  EXPECT_EQ(0, vt::Shell("mv " + (mount / "hello.txt") + " " + (mount / "renamed.txt"), &out));
  EXPECT_EQ("hello world\n", vt::ReadFile(root / "renamed.txt"));
  EXPECT_FALSE(vt::Exists(root / "hello.txt"));
  vt::Shell("mv -n " + (mount / "other.txt") + " " + (mount / "keep.txt"), &out);
  EXPECT_EQ("keep", vt::ReadFile(root / "keep.txt"));
  EXPECT_EQ("other", vt::ReadFile(root / "other.txt"));
  EXPECT_EQ(0, vt::Shell("rm " + (mount / "other.txt"), &out)) << out;
  EXPECT_FALSE(vt::Exists(root / "other.txt"));
  EXPECT_NE(0, vt::Shell("cat " + (mount / "other.txt"), &out));

  // Truncation to 0 and to another length; O_EXCL on an existing name; a write into the middle
  // (spooled, on the server at the close).
  EXPECT_EQ(0, vt::Shell("truncate -s 0 " + (mount / "renamed.txt"), &out)) << out;
  EXPECT_EQ("", vt::ReadFile(root / "renamed.txt"));
  EXPECT_EQ(0, vt::Shell("truncate -s 6 " + (mount / "keep.txt"), &out));
  EXPECT_EQ(std::string("keep\0\0", 6), vt::ReadFile(root / "keep.txt"));
  EXPECT_EQ(EEXIST,
            ErrnoOf(::open((mount / "keep.txt").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644)));
  int fd = ::open((mount / "keep.txt").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(2, ::pwrite(fd, "zz", 2, 1));
  EXPECT_EQ(0, ::close(fd));
  EXPECT_EQ(std::string("kzzp\0\0", 6), vt::ReadFile(root / "keep.txt"));

  EXPECT_EQ(0, mount.Stop()) << mount.Log();
  EXPECT_FALSE(vt::FindMount(mount.Path()));
}

}  // namespace

TEST(DriveMount, ToolsOverPyftpdlib) {
  ExerciseTools(vt::ServerKind::Pyftpdlib, 'e');
}

TEST(DriveMount, ToolsOverVsftpd) {
  ExerciseTools(vt::ServerKind::Vsftpd, 'f');
}

// Names that are not valid UTF-8 reach the drive and back byte for byte (vsftpd lists raw bytes).
TEST(DriveMount, NonUtf8NamesSurviveTheRoundTrip) {
  vt::TempDir root("veldra-mount");
  const std::string latin1 = "caf\xe9.txt";
  vt::WriteFile(root / latin1, "latin");
  auto server = vt::StartVsftpd(root.Path());
  HostMount mount('g', *server);
  ASSERT_TRUE(mount.Mounted()) << mount.Log();
  std::string out;
  EXPECT_EQ(0, vt::Shell("ls " + mount.Path(), &out));
  EXPECT_NE(std::string::npos, out.find(latin1)) << out;
  EXPECT_EQ(0, vt::Shell("cat " + Quote(mount / latin1), &out)) << out;
  EXPECT_EQ("latin", out);
  const std::string made = "d\xe9j\xe0";
  EXPECT_EQ(0, ::mkdir((mount / made).c_str(), 0755));
  EXPECT_TRUE(vt::Exists(root / made));
  EXPECT_EQ(0, mount.Stop()) << mount.Log();
}

// The single-thread debug mode: library debug output on standard error, the callbacks' lines on
// standard output.
TEST(DriveMount, DebugModeServesOnOneThreadAndLogs) {
  vt::TempDir root("veldra-mount");
  vt::TempDir local("veldra-local");
  vt::WriteFile(root / "a.txt", "alpha");
  vt::WriteFile(root / "big.bin", vt::PatternBytes(3 << 20, 5));
  vt::WriteFile(local / "up.bin", vt::PatternBytes(3 << 20, 6));
  auto server = vt::StartPyftpdlib(root.Path());
  HostMount mount('h', *server, {"--debug"});
  ASSERT_TRUE(mount.Mounted()) << mount.Log();
  std::string out;
  EXPECT_EQ(0, vt::Shell("cat " + (mount / "a.txt") + "; ls " + mount.Path(), &out));
  const size_t before = mount.Log().size();
  EXPECT_EQ(0, vt::Shell("cat " + (mount / "big.bin") + " > /dev/null", &out)) << out;
  const std::string reading = mount.Log().substr(before);
  const size_t between = mount.Log().size();
  EXPECT_EQ(0, vt::Shell("cp " + (local / "up.bin") + " " + (mount / "up.bin"), &out)) << out;
  const std::string writing = mount.Log().substr(between);
  // A whole cat runs on one data connection, in 1 MiB requests; so does the data of a cp in.
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(1u, count(reading, "FTP SendCmd: PASV")) << reading;
  EXPECT_LE(3u, count(reading, "  BufferLength: 1048576\n"));
  // The create's own transfer carries the data too: one data connection for the whole cp.
  EXPECT_EQ(1u, count(writing, "FTP SendCmd: PASV")) << writing;
  EXPECT_EQ(3u, count(writing, "  NumberOfBytesToWrite: 1048576\n"));
  EXPECT_EQ(vt::ChecksumOfFile(local / "up.bin"), vt::ChecksumOfFile(root / "up.bin"));
  EXPECT_EQ(0, mount.Stop()) << mount.Log();
  const std::string log = mount.Log();
  for (const char* line :
       {"FtpCreateFile: \\a.txt\n", "FtpReadFile: \\a.txt\n", "FtpFindFiles: \\\n",
        "    FTP SendCmd: ", "unique: ", "FtpUnmount\n", "DokanMain: 0\n"}) {
    EXPECT_NE(std::string::npos, log.find(line)) << line;
  }
}

// /OWNERACCESSONLY: the owning user (and root) is served, every other user is refused.
TEST(DriveMount, OwnerOnlyRefusesOtherUsers) {
  vt::TempDir root("veldra-mount");
  vt::WriteFile(root / "a.txt", "alpha");
  auto server = vt::StartPyftpdlib(root.Path());
  HostMount mount('i', *server, {"--owner", "65533"});
  ASSERT_TRUE(mount.Mounted()) << mount.Log();
  // This process (from any of its threads) may read.
  std::string content;
  std::thread([&] { content = vt::ReadFile(mount / "a.txt"); }).join();
  EXPECT_EQ("alpha", content);
  std::string out;
  EXPECT_NE(0,
            vt::Shell("setpriv --reuid=65534 --regid=65534 --clear-groups cat " + (mount / "a.txt"),
                      &out));
  EXPECT_NE(std::string::npos, out.find("Permission denied")) << out;
  EXPECT_EQ(0, mount.Stop()) << mount.Log();
}
