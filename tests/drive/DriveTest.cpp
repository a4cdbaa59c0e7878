// The drive as programs see it: the callbacks (FillOperations, FillExtensions) served by a FUSE
// mount of this process, over a real device on a server of 127.0.0.1, driven by ordinary system
// calls. Each row is one request with the errno it must give and what the server then holds.
// Letters a..d, one per test; every mount is unmounted, also when a test fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "device/uftpdevice.h"
#include "drive/DokanFuse.h"
#include "drive/uveldra_drive.h"
#include "tests/support/FakeFtp.h"
#include "tests/support/FtpServers.h"
#include "tests/support/VeldraDrive.h"

namespace vt = veldra::test;

namespace {

// The drive served from a thread of this process as the veldra command's copy serves it.
struct Drive {
  Drive(char16_t letter, const TDeviceSettings& settings, USHORT threads)
      : letter{letter, 0}, path(veldra::drive::MountPointOf(letter)) {
    FtpDevice = std::make_unique<TFTPDevice>(settings);
    FillOperations(&ops);
    FillExtensions(&extensions);
    options = {DOKAN_VERSION, threads, 0, reinterpret_cast<ULONG64>(&extensions), this->letter};
    result = std::async(std::launch::async, [this] { return DokanMain(&options, &ops); });
    const auto ended = [this] { return result.wait_for(std::chrono::seconds(0)) == ready; };
    vt::WaitUntil([&] { return vt::FindMount(path) || ended(); }, 10000);
    mounted = !ended() && vt::FindMount(path);
  }
  ~Drive() { Stop(), FtpDevice.reset(); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  // Unmounts (bounded: a hung mount is aborted) and returns DokanMain's result.
  int Stop() {
    if (!result.valid()) return stopped;
    DokanRemoveMountPoint(letter);
    if (result.wait_for(std::chrono::seconds(10)) != ready) vt::ForceUnmount(path);
    return stopped = result.get();
  }

  const char16_t letter[2];
  const std::string path;
  DOKAN_OPERATIONS ops{};
  VELDRA_EXTENSIONS extensions{};
  DOKAN_OPTIONS options{};
  std::future<int> result;
  int stopped = DOKAN_ERROR;
  bool mounted = false;  // serving, and the mount is there
  static constexpr std::future_status ready = std::future_status::ready;
};

int Errno(long result) {
  return result < 0 ? errno : 0;
}

// Opens path with flags, writes data at offset (when there is any) or, opened for reading,
// reads; truncates to size (when not negative) and closes. -1 with errno at the first failure.
int Put(const std::string& path, int flags, const std::string& data = "", off_t offset = 0,
        off_t size = -1) {
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return -1;
  char buffer[16];
  int error = (flags & O_ACCMODE) == O_RDONLY ? Errno(::read(fd, buffer, sizeof buffer))
              : data.empty()                  ? 0
                             : Errno(::pwrite(fd, data.data(), data.size(), offset));
  if (error == 0 && size >= 0) error = Errno(::ftruncate(fd, size));
  if (::close(fd) != 0 && error == 0) error = errno;
  errno = error;
  return error == 0 ? 0 : -1;
}

int Rename(const std::string& from, const std::string& to, unsigned int flags = 0) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
}

// A request of a row: the call, as the errno it leaves (0 for success); a name on the drive.
#define DO(call) [&] { return Errno(call); }
#define AT(name) (d / name).c_str()

struct Row {
  std::function<int()> request;  // the errno it gave, 0 for success
  int expected;
  const char* file;     // checked on the server
  std::string content;  // "<none>": absent
};

}  // namespace

TEST(Drive, RequestsOverARealServer) {
  // Refused before anything is mounted.
  DOKAN_OPERATIONS ops{};
  FillOperations(&ops);
  ::mkdir("/mnt/a", 0755);  // something else mounted there: the mount point is taken
  ASSERT_EQ(::mount("veldra-test", "/mnt/a", "tmpfs", 0, "size=1m"), 0);
  DOKAN_OPTIONS options{DOKAN_VERSION, 1, 0, 0, u"a"};
  EXPECT_EQ(DokanMain(&options, &ops), DOKAN_MOUNT_POINT_ERROR);
  ::umount2("/mnt/a", MNT_DETACH);
  ::rmdir("/mnt/a");
  EXPECT_EQ(veldra::drive::EscapeMountOption("ftp://h/a,b\\c"), "ftp://h/a\\,b\\\\c");

  vt::TempDir root("veldra-drive");
  const std::string big = vt::PatternBytes(3 << 20, 7);
  for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
           {"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"d/inner.txt", "x"}, {"big.bin", big}})
    vt::WriteFile(root / name, content);
  for (const char* name : {"r0", "r1", "r2", "r3"})
    vt::WriteFile(root / name, vt::PatternBytes(8 << 20, name[1]));
  auto server = vt::StartServer(vt::ServerKind::Pyftpdlib, root.Path());
  ::rmdir("/mnt/b");
  Drive d(u'b', vt::DeviceSettingsFor(*server), 8);
  ASSERT_TRUE(d.mounted);
  EXPECT_EQ(DokanMain(&options, &ops), DOKAN_START_ERROR);  // one mount per process

  const timespec times[2] = {{0, UTIME_OMIT}, {1577836800, 0}};
  const Row rows[] = {
      {DO(Put(d / "new.txt", O_CREAT | O_EXCL | O_WRONLY, "hello")), 0, "new.txt", "hello"},
      {DO(Put(d / "a.txt", O_CREAT | O_EXCL | O_WRONLY)), EEXIST, "a.txt", "alpha"},
      {DO(Put(d / "b.txt", O_CREAT | O_WRONLY)), 0, "b.txt", "bravo!"},
      {DO(Put(d / "missing", O_RDONLY)), ENOENT, "missing", "<none>"},
      // A write elsewhere than at the end is spooled and sent whole at the close.
      {DO(Put(d / "a.txt", O_WRONLY, "AL")), 0, "a.txt", "ALpha"},
      // As programs truncate: through an open handle, whose close sends the result.
      {DO(Put(d / "a.txt", O_WRONLY, "", 0, 8)), 0, "a.txt", std::string("ALpha\0\0\0", 8)},
      // By name, with no handle open: nothing will close it, so the call itself sends it.
      {DO(::truncate(AT("a.txt"), 3)), 0, "a.txt", "ALp"},
      {DO(::truncate(AT("a.txt"), 0)), 0, "a.txt", ""},
      {[&] { return vt::RunShell("cp " + (d / "big.bin") + " " + (d / "twin")).status; }, 0, "twin",
       big},
      {DO(Rename(d / "b.txt", d / "new.txt")), 0, "new.txt", "bravo!"},
      {DO(Rename(d / "new.txt", d / "c.txt", RENAME_NOREPLACE)), 0, "c.txt", "bravo!"},
      {DO(Rename(d / "c.txt", d / "a.txt", RENAME_EXCHANGE)), EINVAL, "c.txt", "bravo!"},
      // A backslash cannot be expressed on the drive: refused before any request.
      {DO(::mkdir(AT("a\\b"), 0755)), EINVAL, "a\\b", "<none>"},
      {DO(::mkdir(AT(std::string(300, 'n')), 0755)), ENAMETOOLONG, "c.txt", "bravo!"},
      {DO(::rmdir(AT("d"))), ENOTEMPTY, "d/inner.txt", "x"},
      {DO(::chmod(AT("c.txt"), 0600)), 0, "c.txt", "bravo!"},
      {DO(::utimensat(AT_FDCWD, AT("c.txt"), times, 0)), 0, "c.txt", "bravo!"},
      {DO(::symlink("c.txt", AT("link"))), EPERM, "link", "<none>"},
      {DO(::link(AT("c.txt"), AT("hard"))), EPERM, "hard", "<none>"},
      {DO(::mkfifo(AT("fifo"), 0644)), EPERM, "fifo", "<none>"},
      {DO(::getxattr(AT("c.txt"), "user.x", nullptr, 0)), ENODATA, "c.txt", "bravo!"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.request(), row.expected) << "row " << &row - rows;
    const std::string at = root / row.file;
    EXPECT_EQ(vt::Exists(at) ? vt::ReadFile(at) : "<none>", row.content) << "row " << &row - rows;
  }

  // Four readers at once, each on one transfer: the kernel's read-ahead requests, taken up by
  // the library's threads in any order, reach the device in order.
  std::string cats;
  for (const char* name : {"r0", "r1", "r2", "r3"})
    cats += "{ cat " + (d / name) + " | cmp - " + (root / name) + " || echo bad; } & ";
  EXPECT_EQ(vt::RunShell(cats + "wait").output, "");
  const auto retrs = [&] { return vt::CountOf(server->LogText(), "RETR " + root.Path() + "/r"); };
  EXPECT_TRUE(vt::WaitUntil([&] { return retrs() >= 4; }, 5000));
  EXPECT_EQ(retrs(), 4u) << server->LogText();

  // What stat shows: the server's mode and time, the caller as owner.
  struct stat st;
  struct statvfs vfs;
  ASSERT_TRUE(::stat(AT("c.txt"), &st) == 0 && ::statvfs(d.path.c_str(), &vfs) == 0);
  EXPECT_EQ(std::make_tuple(st.st_mode, st.st_mtime, st.st_uid, vfs.f_namemax),
            std::make_tuple(S_IFREG | 0600u, 1577836800, ::getuid(), 255u));
  EXPECT_GT(static_cast<double>(vfs.f_bavail) * vfs.f_frsize, 1e12);  // copy tools must not refuse
  EXPECT_EQ(d.Stop(), DOKAN_SUCCESS);
  EXPECT_FALSE(vt::FindMount(d.path) || vt::Exists(d.path));  // made for this mount: gone again
}

// Failures as the server reports them (a server of our own answers the command) and the errno
// each kind becomes; raw name bytes; then, served on one thread as /DEBUG serves, the log lines
// and the owner check straight at the callbacks.
TEST(Drive, FailureKindsRawNamesAndDebugMode) {
  vt::FakeFtp ftp;
  ftp.OfferMlsd(true);
  const std::string big = vt::PatternBytes(3 << 20, 5);
  for (const char* path : {"/ok.txt", "/t.txt"}) ftp.Put(path, "fine");
  ftp.Put("/full/f", "");
  ftp.Put("/caf\xe9.txt", "latin");
  ftp.Put("/big.bin", big);
  DebugMode = true;
  ::testing::internal::CaptureStdout();
  TDeviceSettings set;
  std::tie(set.Host, set.Port, set.User, set.Password, set.Sessions) =
      std::make_tuple("127.0.0.1", ftp.Port(), "user", "secret", 1);
  Drive d(u'd', set, 1);
  if (!d.mounted) {
    ADD_FAILURE() << "not mounted\n" << ::testing::internal::GetCapturedStdout();
    return;
  }

  const auto mkdirX = DO(::mkdir(AT("x"), 0755));
  const auto readOk = DO(Put(d / "ok.txt", O_RDONLY));
  struct Failure {
    const char* command;
    const char* reply;  // "": the connection breaks instead
    std::function<int()> request;
    int expected;
  } failures[] = {
      {"MKD", "550 Permission denied.", mkdirX, EACCES},
      {"MKD", "550 File name too long.", mkdirX, ENAMETOOLONG},
      {"MKD", "550 File exists.", mkdirX, EEXIST},
      {"MKD", "550 Not a directory.", mkdirX, ENOTDIR},
      {"MKD", "452 Insufficient storage space.", mkdirX, ENOSPC},
      {"MKD", "552 Quota exceeded.", mkdirX, EDQUOT},
      {"MKD", "450 Try again.", mkdirX, EBUSY},
      {"MKD", "501 Bad argument.", mkdirX, EINVAL},
      {"MKD", "550 Refused.", mkdirX, EACCES},  // unexplained: most likely no right
      {"MKD", "", mkdirX, EIO},
      {"RMD", "550 Directory not empty.", DO(::rmdir(AT("full"))), ENOTEMPTY},
      {"DELE", "550 Permission denied.", DO(::unlink(AT("ok.txt"))), EACCES},
      {"APPE", "553 Could not create file.", DO(Put(d / "new.txt", O_CREAT | O_WRONLY)), EACCES},
      {"APPE", "550 Permission denied.", DO(Put(d / "ok.txt", O_WRONLY | O_APPEND, "x")), EACCES},
      {"RETR", "550 Permission denied.", readOk, EACCES},
      {"RETR", "", readOk, EIO},
  };
  for (const Failure& f : failures) {
    ftp.SetHook([&f](vt::ScriptedSession& s, const std::string& command) {
      if (command.rfind(f.command, 0) != 0) return false;
      return *f.reply == '\0' ? (s.Close(), true) : s.Send(f.reply) || true;
    });
    EXPECT_EQ(f.request(), f.expected) << f.command << " " << f.reply;
  }
  ftp.SetHook(nullptr);
  EXPECT_EQ(ftp.Get("/ok.txt"), "fine");
  // An upload the server refuses once it has the data: the close reports it.
  ftp.SetCompletionReply("451 Local error.");
  EXPECT_EQ(Errno(Put(d / "up.txt", O_CREAT | O_EXCL | O_WRONLY, "data")), EIO);
  ftp.SetCompletionReply("226 Transfer complete.");

  // Names are bytes: the server's come through unchanged, and so do ours.
  std::string out =
      vt::RunShell(": > " + (d / "e") + "; ls " + d.path + " && cat " + (d / "caf\xe9.txt")).output;
  EXPECT_TRUE(out.find("caf\xe9.txt\n") != std::string::npos && out.find("latin") != out.npos)
      << out;
  EXPECT_EQ(::mkdir(AT("d\xe9j\xe0"), 0755), 0);
  EXPECT_EQ(vt::CountPrefix(ftp.Commands(), "MKD /d\xe9j\xe0"), 1);
  // A server without modes: files 0644, directories 0755.
  struct stat file, dir;
  ASSERT_TRUE(::stat(AT("ok.txt"), &file) == 0 && ::stat(AT("full"), &dir) == 0);
  EXPECT_EQ(std::make_pair(file.st_mode, dir.st_mode),
            std::make_pair(S_IFREG | 0644u, S_IFDIR | 0755u));

  // A whole cat, and a whole cp in, each on one transfer, in 1 MiB requests.
  vt::TempDir local("veldra-drive");
  vt::WriteFile(local / "up.bin", big);
  EXPECT_EQ(vt::RunShell("cat " + (d / "big.bin") + " | cmp - " + (local / "up.bin")).status, 0);
  EXPECT_EQ(vt::CountPrefix(ftp.Commands(), "RETR /big.bin"), 1);
  EXPECT_EQ(vt::RunShell("cp " + (local / "up.bin") + " " + (d / "up.bin")).status, 0);
  EXPECT_EQ(vt::CountPrefix(ftp.Commands(), "APPE /up.bin"), 1);
  EXPECT_TRUE(ftp.Get("/up.bin") == big);

  // The request of another thread carries the process's id.
  std::thread([&] { EXPECT_EQ(vt::ReadFile(d / "t.txt"), "fine"); }).join();
  EXPECT_EQ(Rename(d / "t.txt", d / "t2.txt", RENAME_NOREPLACE), 0);

  EXPECT_EQ(Put(d / "ok.txt", O_WRONLY | O_TRUNC), 0);
  // Restricted to one user: a process of no user we can name is refused by every checked
  // callback; the serving process itself (the library's own queries) is not.
  OwnerUser = "65533";
  DOKAN_FILE_INFO info{};  // process 0
  BY_HANDLE_FILE_INFORMATION record{};
  const PFillFindData collect = [](WIN32_FIND_DATAW*, DOKAN_FILE_INFO*) { return 0; };
  for (const int result : {FtpCreateFile(u"\\ok.txt", 0x80000000, 3, OPEN_EXISTING, 0, &info),
                           FtpOpenDirectory(u"\\full", &info), FtpCreateDirectory(u"\\e", &info),
                           FtpGetFileInformation(u"\\ok.txt", &record, &info),
                           FtpDeleteFile(u"\\ok.txt", &info), FtpFindFiles(u"\\", collect, &info)})
    EXPECT_EQ(result, -5);
  info.ProcessId = static_cast<DWORD>(::getpid());
  EXPECT_EQ(FtpGetFileInformation(u"\\ok.txt", &record, &info), 0);
  OwnerUser.clear();

  EXPECT_EQ(d.Stop(), DOKAN_SUCCESS);
  const std::string log = ::testing::internal::GetCapturedStdout();
  DebugMode = false;
  for (const std::string& line : std::vector<std::string>{
           "FtpCreateFile: \\t.txt\n  CreationDisposition: 3\n  AccessMode: 2147483648\n"
           "  FlagsAndAttributes: 128\n  PID: " +
               std::to_string(::getpid()) + "\n",
           // How open and create flags become dispositions (3 above; new names only for 1, 2, 4).
           "FtpCreateFile: \\up.txt\n  CreationDisposition: 1\n  AccessMode: 1073741824\n",
           "FtpCreateFile: \\e\n  CreationDisposition: 2\n",
           "FtpCreateFile: \\new.txt\n  CreationDisposition: 4\n",
           "FtpCreateFile: \\ok.txt\n  CreationDisposition: 5\n",
           "FtpReadFile: \\ok.txt\n  Offset: 0\n  BufferLength: ", "  ReadLength: 4\n  -->Ext: 0\n",
           "FtpMoveFile: \\t.txt\n  NewFileName: \\t2.txt\n  ReplaceIfExisting: FALSE\n",
           "    FTP SendCmd: RNTO /t2.txt\n    -->Ext: 250\n  -->Ext: 0\n",
           "  -->Err: ", "FtpUnmount\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  EXPECT_GE(vt::CountOf(log, "  BufferLength: 1048576\n"), 3u);
  EXPECT_EQ(vt::CountOf(log, "  NumberOfBytesToWrite: 1048576\n"), 3u);
  if (HasFailure()) std::printf("%s", log.c_str());  // failures while capturing are in there
}
