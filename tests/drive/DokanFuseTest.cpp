// The FUSE binding on its own: a real mount served by a small in-memory operation table, driven
// by ordinary system calls. Checks how requests become callbacks (dispositions, flags, process
// ids, names) and how results become errno values, and the mount's life cycle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "drive/Dokan.h"
#include "drive/DokanFuse.h"
#include "platform/TextConv.h"
#include "tests/support/VeldraDrive.h"

using veldra::platform::AnsiToWide;
using veldra::platform::WideToAnsi;

namespace {

// ---- the in-memory operation table ----------------------------------------------------------

struct Node {
  bool dir = false;
  std::string data;
};

struct Fake {
  std::mutex m;
  std::map<std::string, Node> nodes;   // drive path -> node
  std::map<std::string, int> failing;  // drive path -> code for CreateFile/GetFileInformation
  std::vector<std::string> calls;      // "<Callback> <name> [details]"
  std::set<DWORD> pids;
  std::set<std::thread::id> threads;
  int flushResult = 0;
  std::string volume = "ftp://127.0.0.1/pub,x y";
  bool unmounted = false;

  void Reset() {
    std::lock_guard<std::mutex> hold(m);
    nodes = {{"\\", Node{true, ""}}};
    failing.clear();
    calls.clear();
    pids.clear();
    threads.clear();
    flushResult = 0;
    unmounted = false;
  }
  void Record(const std::string& call, DOKAN_FILE_INFO* info) {
    std::lock_guard<std::mutex> hold(m);
    calls.push_back(call);
    if (info != nullptr) pids.insert(info->ProcessId);
    threads.insert(std::this_thread::get_id());
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(m);
    return calls;
  }
  bool Called(const std::string& call) {
    for (const std::string& c : Calls()) {
      if (c == call) return true;
    }
    return false;
  }
};

Fake g_fake;

std::string N(LPCWSTR name) {
  return WideToAnsi(name);
}

int Fail(const std::string& name) {
  auto it = g_fake.failing.find(name);
  return it == g_fake.failing.end() ? 0 : it->second;
}

int FakeCreateFile(LPCWSTR fileName, DWORD access, DWORD, DWORD disposition, DWORD,
                   DOKAN_FILE_INFO* info) {
  const std::string name = N(fileName);
  g_fake.Record(
      "CreateFile " + name + " " + std::to_string(disposition) + " " + std::to_string(access),
      info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  if (int code = Fail(name)) return code;
  auto it = g_fake.nodes.find(name);
  bool exists = it != g_fake.nodes.end();
  info->IsDirectory = exists && it->second.dir;
  switch (disposition) {
    case CREATE_NEW:
      if (exists) return -ERROR_ALREADY_EXISTS;
      g_fake.nodes[name] = Node{};
      return 0;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      if (!exists || disposition == CREATE_ALWAYS) g_fake.nodes[name] = Node{};
      return 0;
    case TRUNCATE_EXISTING:
      if (!exists) return -ERROR_FILE_NOT_FOUND;
      it->second.data.clear();
      return 0;
    default:
      return exists ? 0 : -ERROR_FILE_NOT_FOUND;
  }
}

int FakeOpenDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  g_fake.Record("OpenDirectory " + N(fileName), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  auto it = g_fake.nodes.find(N(fileName));
  if (it == g_fake.nodes.end()) return -ERROR_FILE_NOT_FOUND;
  info->IsDirectory = it->second.dir;
  return 0;
}

int FakeCreateDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  g_fake.Record("CreateDirectory " + N(fileName), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  if (g_fake.nodes.count(N(fileName))) return -ERROR_BAD_NET_RESP;
  g_fake.nodes[N(fileName)] = Node{true, ""};
  return 0;
}

int FakeCleanup(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  g_fake.Record("Cleanup " + N(fileName) + (info->IsDirectory ? " dir" : ""), info);
  return 0;
}
int FakeCloseFile(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  g_fake.Record("CloseFile " + N(fileName), info);
  return 0;
}

int FakeReadFile(LPCWSTR fileName, void* buffer, DWORD length, DWORD* read, LONGLONG offset,
                 DOKAN_FILE_INFO* info) {
  g_fake.Record("ReadFile " + N(fileName) + " " + std::to_string(offset), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  *read = 0;
  auto it = g_fake.nodes.find(N(fileName));
  if (it == g_fake.nodes.end() || it->second.dir) return -ERROR_FILE_NOT_FOUND;
  const std::string& data = it->second.data;
  if (offset < 0 || static_cast<size_t>(offset) >= data.size()) return 0;
  // Hands out at most 1000 bytes per call, as a transfer may deliver less than asked for.
  size_t count = std::min<size_t>({length, data.size() - offset, 1000});
  std::copy(data.begin() + offset, data.begin() + offset + count, static_cast<char*>(buffer));
  *read = static_cast<DWORD>(count);
  return 0;
}

int FakeWriteFile(LPCWSTR fileName, const void* buffer, DWORD count, DWORD* written,
                  LONGLONG offset, DOKAN_FILE_INFO* info) {
  g_fake.Record("WriteFile " + N(fileName) + " " + std::to_string(offset), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  *written = 0;
  auto it = g_fake.nodes.find(N(fileName));
  if (it == g_fake.nodes.end()) return -ERROR_FILE_NOT_FOUND;
  std::string& data = it->second.data;
  if (static_cast<size_t>(offset) != data.size()) return -ERROR_SEEK;
  data.append(static_cast<const char*>(buffer), count);
  *written = count;
  return 0;
}

int FakeFlush(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  g_fake.Record("FlushFileBuffers " + N(fileName), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  return g_fake.flushResult;
}

int FakeGetFileInformation(LPCWSTR fileName, BY_HANDLE_FILE_INFORMATION* record,
                           DOKAN_FILE_INFO* info) {
  g_fake.Record("GetFileInformation " + N(fileName), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  if (int code = Fail(N(fileName))) return code;
  auto it = g_fake.nodes.find(N(fileName));
  if (it == g_fake.nodes.end()) return -ERROR_FILE_NOT_FOUND;
  *record = BY_HANDLE_FILE_INFORMATION{};
  record->dwFileAttributes = it->second.dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  record->nFileSizeLow = static_cast<DWORD>(it->second.data.size());
  // 2020-01-01 00:00:00 UTC.
  record->ftLastWriteTime = MakeFileTime(116444736000000000ULL + 1577836800ULL * 10000000ULL);
  info->IsDirectory = it->second.dir;
  return 0;
}

int FakeFindFiles(LPCWSTR pathName, PFillFindData fill, DOKAN_FILE_INFO* info) {
  std::string dir = N(pathName);
  g_fake.Record("FindFiles " + dir, info);
  if (dir.back() != '\\') dir += '\\';
  std::vector<std::pair<std::string, Node>> entries = {{".", Node{true, ""}},
                                                       {"..", Node{true, ""}}};
  {
    std::lock_guard<std::mutex> hold(g_fake.m);
    for (const auto& [key, node] : g_fake.nodes) {
      if (key.size() > dir.size() && key.compare(0, dir.size(), dir) == 0 &&
          key.find('\\', dir.size()) == std::string::npos) {
        entries.emplace_back(key.substr(dir.size()), node);
      }
    }
  }
  for (const auto& [name, node] : entries) {
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = node.dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    data.nFileSizeLow = static_cast<DWORD>(node.data.size());
    std::u16string wide = AnsiToWide(name);
    std::copy(wide.begin(), wide.end(), data.cFileName);
    fill(&data, info);
  }
  return 0;
}

int FakeDeleteFile(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  g_fake.Record("DeleteFile " + N(fileName), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  return g_fake.nodes.erase(N(fileName)) ? 0 : -ERROR_BAD_NET_RESP;
}

int FakeDeleteDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  g_fake.Record("DeleteDirectory " + N(fileName), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  return g_fake.nodes.erase(N(fileName)) ? 0 : -ERROR_BAD_NET_RESP;
}

int FakeMoveFile(LPCWSTR from, LPCWSTR to, BOOL replace, DOKAN_FILE_INFO* info) {
  g_fake.Record("MoveFile " + N(from) + " " + N(to) + " " + std::to_string(replace), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  auto it = g_fake.nodes.find(N(from));
  if (it == g_fake.nodes.end()) return -ERROR_BAD_NET_RESP;
  if (!replace && g_fake.nodes.count(N(to))) return -ERROR_ALREADY_EXISTS;
  Node node = it->second;
  g_fake.nodes.erase(it);
  g_fake.nodes[N(to)] = node;
  return 0;
}

int FakeSetEndOfFile(LPCWSTR fileName, LONGLONG size, DOKAN_FILE_INFO* info) {
  g_fake.Record("SetEndOfFile " + N(fileName) + " " + std::to_string(size), info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  auto it = g_fake.nodes.find(N(fileName));
  if (it == g_fake.nodes.end()) return -ERROR_BAD_NET_RESP;
  if (size != 0 && static_cast<size_t>(size) != it->second.data.size()) {
    return -ERROR_INVALID_FUNCTION;
  }
  it->second.data.clear();
  return 0;
}

int FakeGetVolumeInformation(LPWSTR volumeName, DWORD volumeSize, DWORD* serial,
                             DWORD* maxComponent, DWORD* flags, LPWSTR fsName, DWORD fsSize,
                             DOKAN_FILE_INFO* info) {
  g_fake.Record("GetVolumeInformation", info);
  auto put = [](LPWSTR buffer, DWORD size, const std::u16string& text) {
    if (buffer == nullptr || size == 0) return;
    std::u16string value = text.size() < size ? text : std::u16string();
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = 0;
  };
  put(volumeName, volumeSize, AnsiToWide(g_fake.volume));
  put(fsName, fsSize, u"VELDRA");
  if (serial) *serial = 58729;
  if (maxComponent) *maxComponent = 260;
  if (flags) *flags = 7;
  return 0;
}

int FakeUnmount(DOKAN_FILE_INFO* info) {
  g_fake.Record("Unmount", info);
  std::lock_guard<std::mutex> hold(g_fake.m);
  g_fake.unmounted = true;
  return 0;
}

DOKAN_OPERATIONS FakeOperations() {
  DOKAN_OPERATIONS ops{};
  ops.CreateFile = FakeCreateFile;
  ops.OpenDirectory = FakeOpenDirectory;
  ops.CreateDirectory = FakeCreateDirectory;
  ops.Cleanup = FakeCleanup;
  ops.CloseFile = FakeCloseFile;
  ops.ReadFile = FakeReadFile;
  ops.WriteFile = FakeWriteFile;
  ops.FlushFileBuffers = FakeFlush;
  ops.GetFileInformation = FakeGetFileInformation;
  ops.FindFiles = FakeFindFiles;
  ops.DeleteFile = FakeDeleteFile;
  ops.DeleteDirectory = FakeDeleteDirectory;
  ops.MoveFile = FakeMoveFile;
  ops.SetEndOfFile = FakeSetEndOfFile;
  ops.GetVolumeInformation = FakeGetVolumeInformation;
  ops.Unmount = FakeUnmount;
  return ops;
}

// ---- a mount served by a thread of the test process ----------------------------------------

class ThreadMount {
 public:
  ThreadMount(char16_t letter, USHORT threads)
      : letter_{letter, 0}, path_(veldra::drive::MountPointOf(letter)) {
    options_ = DOKAN_OPTIONS{DOKAN_VERSION, threads, 0, 0, letter_};
    operations_ = FakeOperations();
    result_ = std::async(std::launch::async, [this] { return DokanMain(&options_, &operations_); });
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!veldra::test::FindMount(path_) && std::chrono::steady_clock::now() < until &&
           result_.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    }
  }
  ~ThreadMount() { Stop(); }
  ThreadMount(const ThreadMount&) = delete;
  ThreadMount& operator=(const ThreadMount&) = delete;

  bool Mounted() const {
    return result_.valid() &&
           result_.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
           veldra::test::FindMount(path_);
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Unmounts and returns DokanMain's result (bounded: a hung mount is aborted).
  int Stop() {
    if (!result_.valid()) return stopped_;
    DokanRemoveMountPoint(letter_);
    if (result_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      veldra::test::ForceUnmount(path_);
    }
    stopped_ = result_.get();
    return stopped_;
  }

 private:
  char16_t letter_[2];
  std::string path_;
  DOKAN_OPTIONS options_{};
  DOKAN_OPERATIONS operations_{};
  std::future<int> result_;
  int stopped_ = DOKAN_ERROR;
};

int ErrnoOf(int result) {
  return result < 0 ? errno : 0;
}

}  // namespace

TEST(DokanFuseTables, WindowsCodesBecomeOneErrnoEach) {
  using veldra::drive::WindowsErrorToErrno;
  const std::pair<int, int> rows[] = {
      {0, 0},         {-1, EPERM},          {-2, ENOENT},    {-3, ENOENT},      {-5, EACCES},
      {-25, ESPIPE},  {-112, ENOSPC},       {-123, EINVAL},  {-145, ENOTEMPTY}, {-170, EBUSY},
      {-183, EEXIST}, {-206, ENAMETOOLONG}, {-267, ENOTDIR}, {-995, EINTR},     {-1295, EDQUOT},
      {-31, EIO},     {-51, EIO},           {-53, EIO},      {-58, EIO},        {-1000, EIO},
  };
  for (const auto& [code, expected] : rows) EXPECT_EQ(expected, WindowsErrorToErrno(code)) << code;
}

TEST(DokanFuseTables, MountPointsNamesAndOptions) {
  using namespace veldra::drive;
  EXPECT_EQ("/mnt/f", MountPointOf(u'F'));
  EXPECT_EQ("/mnt/z", MountPointOf(u'z'));
  EXPECT_EQ("", MountPointOf(u'1'));
  EXPECT_EQ("", MountPointOf(u'\u00c4'));
  EXPECT_EQ("ftp://h/a\\,b\\\\c d", EscapeMountOption("ftp://h/a,b\\c d"));
  std::string path;
  ASSERT_TRUE(ToDrivePath("/", &path));
  EXPECT_EQ("\\", path);
  ASSERT_TRUE(ToDrivePath("/a b/12:30.log", &path));
  EXPECT_EQ("\\a b\\12:30.log", path);
  EXPECT_FALSE(ToDrivePath("/a\\b", &path));
}

TEST(DokanFuseMount, RefusesBadLettersAndTakenMountPoints) {
  DOKAN_OPERATIONS ops = FakeOperations();
  char16_t digit[] = u"1";
  DOKAN_OPTIONS options{DOKAN_VERSION, 1, 0, 0, digit};
  EXPECT_EQ(DOKAN_DRIVE_LETTER_ERROR, DokanMain(&options, &ops));
  char16_t withColon[] = u"a:";
  options.MountPoint = withColon;
  EXPECT_EQ(DOKAN_DRIVE_LETTER_ERROR, DokanMain(&options, &ops));
  EXPECT_EQ(DOKAN_ERROR, DokanMain(nullptr, &ops));
  EXPECT_FALSE(DokanRemoveMountPoint(digit));

  // Something else mounted on /mnt/a: the mount point is taken.
  ::mkdir("/mnt/a", 0755);
  ASSERT_EQ(0, ::mount("veldra-test", "/mnt/a", "tmpfs", 0, "size=1m"));
  char16_t a[] = u"a";
  options.MountPoint = a;
  EXPECT_EQ(DOKAN_MOUNT_POINT_ERROR, DokanMain(&options, &ops));
  ::umount2("/mnt/a", MNT_DETACH);
  ::rmdir("/mnt/a");
}

TEST(DokanFuseMount, MountTableShowsVolumeAndTypeAndUnmountEnds) {
  g_fake.Reset();
  ::rmdir("/mnt/b");
  ThreadMount mount(u'b', 8);
  ASSERT_TRUE(mount.Mounted());
  veldra::test::MountEntry entry;
  ASSERT_TRUE(veldra::test::FindMount("/mnt/b", &entry));
  EXPECT_EQ("ftp://127.0.0.1/pub,x y", entry.source);
  EXPECT_EQ("fuse.VELDRA", entry.type);
  std::string options;
  EXPECT_EQ(0, veldra::test::Shell("findmnt -n -o OPTIONS /mnt/b", &options));
  EXPECT_NE(std::string::npos, options.find("allow_other")) << options;
  // One mount per process.
  DOKAN_OPERATIONS ops = FakeOperations();
  char16_t other[] = u"k";
  DOKAN_OPTIONS second{DOKAN_VERSION, 1, 0, 0, other};
  EXPECT_EQ(DOKAN_START_ERROR, DokanMain(&second, &ops));

  EXPECT_EQ(DOKAN_SUCCESS, mount.Stop());
  EXPECT_FALSE(veldra::test::FindMount("/mnt/b"));
  EXPECT_TRUE(g_fake.unmounted);
  // The mount point was made for this mount, so it is gone again.
  struct stat st;
  EXPECT_NE(0, ::stat("/mnt/b", &st));
}

TEST(DokanFuseMount, RequestsBecomeCallbacksAndCodesBecomeErrno) {
  g_fake.Reset();
  ThreadMount mount(u'c', 8);
  ASSERT_TRUE(mount.Mounted());

  // create: O_EXCL -> CREATE_NEW, O_TRUNC -> CREATE_ALWAYS, else OPEN_ALWAYS.
  int fd = ::open((mount / "new").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(5, ::write(fd, "hello", 5));
  EXPECT_EQ(0, ::close(fd));
  EXPECT_TRUE(g_fake.Called("CreateFile \\new 1 1073741824"));
  EXPECT_TRUE(g_fake.Called("FlushFileBuffers \\new"));
  EXPECT_EQ(-1, ::open((mount / "new").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644));
  EXPECT_EQ(EEXIST, errno);
  fd = ::open((mount / "made").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0644);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_TRUE(g_fake.Called("CreateFile \\made 2 3221225472"));
  fd = ::open((mount / "other").c_str(), O_CREAT | O_RDONLY, 0644);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_TRUE(g_fake.Called("CreateFile \\other 4 2147483648"));

  // open: OPEN_EXISTING, or TRUNCATE_EXISTING for O_TRUNC; release = Cleanup then CloseFile.
  fd = ::open((mount / "new").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char buffer[16] = {};
  EXPECT_EQ(5, ::read(fd, buffer, sizeof buffer));
  EXPECT_EQ("hello", std::string(buffer));
  ::close(fd);
  EXPECT_TRUE(g_fake.Called("CreateFile \\new 3 2147483648"));
  for (int i = 0; i < 500 && !g_fake.Called("CloseFile \\new"); ++i) ::usleep(10000);
  std::vector<std::string> calls = g_fake.Calls();
  auto cleanup = std::find(calls.begin(), calls.end(), "Cleanup \\new");
  auto close = std::find(calls.begin(), calls.end(), "CloseFile \\new");
  EXPECT_TRUE(cleanup != calls.end() && close != calls.end() && cleanup < close);
  fd = ::open((mount / "new").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_TRUE(g_fake.Called("CreateFile \\new 5 1073741824"));

  // A read longer than what one callback delivers is filled by further callbacks.
  {
    std::lock_guard<std::mutex> hold(g_fake.m);
    g_fake.nodes["\\big"] = Node{false, std::string(5000, 'x') + "end"};
  }
  fd = ::open((mount / "big").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string big(8192, '\0');
  EXPECT_EQ(5003, ::read(fd, big.data(), big.size()));
  EXPECT_EQ("end", big.substr(5000, 3));
  ::close(fd);

  // Every code of the table, as the kernel hands it to the caller.
  const std::map<int, int> expected = {{-1, EPERM},    {-2, ENOENT}, {-5, EACCES}, {-25, ESPIPE},
                                       {-31, EIO},     {-51, EIO},   {-53, EIO},   {-58, EIO},
                                       {-183, EEXIST}, {-99, EIO}};
  for (const auto& [code, err] : expected) {
    const std::string name = "fail" + std::to_string(-code);
    g_fake.failing["\\" + name] = code;
    struct stat st;
    EXPECT_EQ(err, ErrnoOf(::stat((mount / name).c_str(), &st))) << code;
  }

  // Writes at a position the file cannot take report ESPIPE.
  fd = ::open((mount / "new").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(-1, ::pwrite(fd, "x", 1, 3));
  EXPECT_EQ(ESPIPE, errno);
  ::close(fd);

  // A failed flush is the close's error.
  fd = ::open((mount / "new").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  g_fake.flushResult = -ERROR_BAD_NETPATH;
  EXPECT_EQ(-1, ::fsync(fd));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(-1, ::close(fd));
  EXPECT_EQ(EIO, errno);
  g_fake.flushResult = 0;

  // Names: a backslash is refused before any callback; other bytes pass unchanged.
  EXPECT_EQ(EINVAL, ErrnoOf(::mkdir((mount / "a\\b").c_str(), 0755)));
  EXPECT_FALSE(g_fake.Called("CreateDirectory \\a\\b"));
  const std::string latin1 = "caf\xe9 12:30";
  ASSERT_EQ(0, ::mkdir((mount / latin1).c_str(), 0755));
  EXPECT_TRUE(g_fake.Called("CreateDirectory \\" + latin1));
  std::string listing;
  EXPECT_EQ(0, veldra::test::Shell("ls -1 " + mount.Path() + " | od -c | head -5", &listing));
  EXPECT_NE(std::string::npos, listing.find("351")) << listing;

  // rename: plain rename replaces, RENAME_NOREPLACE does not; RENAME_EXCHANGE is refused.
  ASSERT_EQ(0, ::rename((mount / "other").c_str(), (mount / "moved").c_str()));
  EXPECT_TRUE(g_fake.Called("MoveFile \\other \\moved 1"));
  ASSERT_EQ(0, ::renameat2(AT_FDCWD, (mount / "moved").c_str(), AT_FDCWD, (mount / "fresh").c_str(),
                           RENAME_NOREPLACE));
  EXPECT_TRUE(g_fake.Called("MoveFile \\moved \\fresh 0"));
  EXPECT_EQ(EINVAL, ErrnoOf(::renameat2(AT_FDCWD, (mount / "fresh").c_str(), AT_FDCWD,
                                        (mount / "new").c_str(), RENAME_EXCHANGE)));

  // truncate to another length is refused with EPERM; modes, owners, times accepted.
  EXPECT_EQ(EPERM, ErrnoOf(::truncate((mount / "big").c_str(), 5)));
  EXPECT_EQ(0, ::truncate((mount / "big").c_str(), 0));
  EXPECT_TRUE(g_fake.Called("SetEndOfFile \\big 0"));
  EXPECT_EQ(0, ::chmod((mount / "big").c_str(), 0600));
  EXPECT_EQ(0, ::chown((mount / "big").c_str(), 1, 1));
  EXPECT_EQ(0, ::utimensat(AT_FDCWD, (mount / "big").c_str(), nullptr, 0));
  EXPECT_EQ(EPERM, ErrnoOf(::symlink("big", (mount / "link").c_str())));
  EXPECT_EQ(EPERM, ErrnoOf(::link((mount / "big").c_str(), (mount / "hard").c_str())));
  EXPECT_EQ(EPERM, ErrnoOf(::mkfifo((mount / "fifo").c_str(), 0644)));
  char value[64];
  EXPECT_EQ(ENODATA, ErrnoOf(static_cast<int>(
                         ::getxattr((mount / "big").c_str(), "user.x", value, sizeof value))));
  EXPECT_EQ(0, ::listxattr((mount / "big").c_str(), value, sizeof value));

  // Presentation: owner is the caller, modes 0755/0644.
  struct stat st;
  ASSERT_EQ(0, ::stat((mount / "big").c_str(), &st));
  EXPECT_EQ(S_IFREG | 0644u, st.st_mode);
  EXPECT_EQ(::getuid(), st.st_uid);
  EXPECT_EQ(1577836800, st.st_mtime);
  ASSERT_EQ(0, ::stat((mount / latin1).c_str(), &st));
  EXPECT_EQ(S_IFDIR | 0755u, st.st_mode);
  struct statvfs vfs;
  ASSERT_EQ(0, ::statvfs(mount.Path().c_str(), &vfs));
  EXPECT_EQ(260u, vfs.f_namemax);
  EXPECT_GT(static_cast<double>(vfs.f_bavail) * vfs.f_frsize, 1e12);

  // The process id of a request from another thread is the process's id.
  {
    std::lock_guard<std::mutex> hold(g_fake.m);
    g_fake.pids.clear();
  }
  std::thread([&] {
    struct stat ignored;
    ::stat((mount / "pid probe").c_str(), &ignored);
  }).join();
  {
    std::lock_guard<std::mutex> hold(g_fake.m);
    EXPECT_EQ(std::set<DWORD>({static_cast<DWORD>(::getpid())}), g_fake.pids);
  }

  // Directories: rmdir and unlink reach their callbacks; listing a big directory is complete.
  EXPECT_EQ(0, ::rmdir((mount / latin1).c_str()));
  EXPECT_TRUE(g_fake.Called("DeleteDirectory \\" + latin1));
  EXPECT_EQ(0, ::unlink((mount / "big").c_str()));
  EXPECT_TRUE(g_fake.Called("DeleteFile \\big"));
  ASSERT_EQ(0, ::mkdir((mount / "many").c_str(), 0755));
  {
    std::lock_guard<std::mutex> hold(g_fake.m);
    for (int i = 0; i < 300; ++i) g_fake.nodes["\\many\\entry number " + std::to_string(i)] = {};
  }
  std::string count;
  EXPECT_EQ(0, veldra::test::Shell("ls -la '" + (mount / "many") + "' | wc -l", &count));
  EXPECT_EQ(301 + 2, std::stoi(count));  // "total" line, ".", "..", 300 entries
  EXPECT_EQ(DOKAN_SUCCESS, mount.Stop());
}

TEST(DokanFuseMount, OneThreadServesEverythingWhenAskedFor) {
  g_fake.Reset();
  ThreadMount mount(u'd', 1);
  ASSERT_TRUE(mount.Mounted());
  std::vector<std::thread> users;
  for (int i = 0; i < 4; ++i) {
    users.emplace_back([&mount, i] {
      for (int j = 0; j < 20; ++j) {
        struct stat st;
        ::stat((mount / ("f" + std::to_string(i * 100 + j))).c_str(), &st);
      }
    });
  }
  for (std::thread& t : users) t.join();
  {
    std::lock_guard<std::mutex> hold(g_fake.m);
    EXPECT_EQ(1u, g_fake.threads.size());
  }
  EXPECT_EQ(DOKAN_SUCCESS, mount.Stop());
}
