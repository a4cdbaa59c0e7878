// The device against real FTP servers on 127.0.0.1 (pyftpdlib and vsftpd): reads, writes
// and what the server holds afterwards, the cache after changes, restarts and idle data
// connections cut by the server.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device/uftpdevice.h"
#include "device/ureftp.h"
#include "platform/TextConv.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"

namespace {

using namespace veldra::test;

struct Param {
  ServerKind kind;
  bool passive;
};

std::string Label(const Param& p) {
  std::string n = p.kind == ServerKind::Pyftpdlib ? "Pyftpdlib" : "Vsftpd";
  return n + (p.passive ? "Passive" : "Active");
}
std::string Name(const ::testing::TestParamInfo<Param>& info) {
  return Label(info.param);
}
// Readable parameter in test listings.
void PrintTo(const Param& p, std::ostream* os) {
  *os << Label(p);
}

class DeviceOnServer : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    root_ = std::make_unique<TempDir>("veldra-device");
    MakeDirs(*root_ / "pub");
  }
  void StartServer(const ServerOptions& options = {}) {
    server_ = veldra::test::StartServer(GetParam().kind, root_->Path(), options);
  }
  // Listings are never trusted (a cache of 0 s): changes behind the device's back show.
  std::unique_ptr<TFTPDevice> Connect(const std::string& remote = "pub", int cacheSeconds = 0) {
    TDeviceSettings settings = DeviceSettingsFor(*server_, GetParam().passive, remote);
    settings.CacheSeconds = cacheSeconds;
    return std::make_unique<TFTPDevice>(settings);
  }
  std::string Local(const std::string& rel) const { return *root_ / ("pub/" + rel); }

  // Writes content through the device in blocks of `block` bytes, from a new empty file.
  void WriteAll(TFTPDevice& dev, const std::string& path, const std::string& content,
                size_t block) {
    dev.CreateEmptyFile(path);
    for (size_t at = 0; at < content.size(); at += block) {
      DWORD n = static_cast<DWORD>(std::min(block, content.size() - at));
      DWORD written = 0;
      dev.WriteAt(path, content.data() + at, static_cast<LONGLONG>(at), n, &written);
      ASSERT_EQ(written, n);
    }
  }

  std::vector<std::string> Enumerate(TFTPDevice& dev, const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW d;
    for (bool more = dev.FindFirst(dir, &d); more && names.size() < 1000; more = dev.FindNext(&d)) {
      names.push_back(veldra::platform::WideToAnsi(d.cFileName));
    }
    return names;
  }

  std::unique_ptr<TempDir> root_;
  std::unique_ptr<TestFtpServer> server_;
};

TEST_P(DeviceOnServer, ReadsServeTheFileAtAnyOffset) {
  const std::string content = PatternBytes(3 * 1024 * 1024 + 17, 7);
  WriteFile(Local("data.bin"), content);
  WriteFile(Local("small.txt"), "hello");
  StartServer();
  auto dev = Connect();
  EXPECT_EQ(dev->VolumeName(), "ftp://127.0.0.1/pub");
  std::string got(content.size(), '\0');
  const DWORD block = 128 * 1024;
  for (size_t at = 0; at < content.size(); at += block) {
    DWORD n = 0;
    dev->ReadAt("\\data.bin", &got[at], static_cast<LONGLONG>(at), block, &n);
    ASSERT_EQ(n, std::min<size_t>(block, content.size() - at)) << at;
  }
  EXPECT_EQ(Fnv1a64(got), Fnv1a64(content));
  char buf[64];
  DWORD n = 0;
  dev->ReadAt("\\data.bin", buf, 1000, 64, &n);
  ASSERT_EQ(n, 64u);
  EXPECT_EQ(std::string(buf, 64), content.substr(1000, 64));
  dev->ReadAt("\\small.txt", buf, 0, 64, &n);  // another file, asking past its end
  EXPECT_EQ(std::string(buf, n), "hello");
  dev->ReadAt("\\small.txt", buf, 5, 64, &n);
  EXPECT_EQ(n, 0u);
  dev->ReadAt("\\data.bin", buf, 2000, 10, &n);
  EXPECT_EQ(std::string(buf, n), content.substr(2000, 10));
}

TEST_P(DeviceOnServer, WritesStreamInOrderAndSpoolOtherwise) {
  StartServer();
  auto dev = Connect();
  const std::string content = PatternBytes(1000000, 9);
  WriteAll(*dev, "\\w.bin", content, 100000);
  dev->FinishUpload("\\w.bin");
  EXPECT_EQ(ChecksumOfFile(Local("w.bin")), ChecksumOf(content));

  // In order: a whole rewrite, then appends, streamed.
  WriteFile(Local("h.txt"), std::string(100, 'a'));
  DWORD written = 0;
  const std::string c100(100, 'c');
  dev->WriteAt("\\h.txt", c100.data(), 0, 100, &written);
  dev->WriteAt("\\h.txt", "dd", 100, 2, &written);
  dev->WriteAt("\\h.txt", "ee", 102, 2, &written);
  BY_HANDLE_FILE_INFORMATION info;
  dev->GetFileInfo("\\h.txt", &info);
  EXPECT_EQ(info.nFileSizeLow, 104u);
  dev->Flush("\\h.txt");
  EXPECT_EQ(ReadFile(Local("h.txt")), c100 + "ddee");
  // Out of order: spooled (reads see it at once), on the server whole at the flush.
  const std::uint64_t handle = dev->OpenHandle("\\h.txt");
  dev->WriteAt("\\h.txt", "XY", 50, 2, &written);
  dev->SetFileSize("\\h.txt", 60);
  char got[64];
  DWORD n = 0;
  dev->ReadAt("\\h.txt", got, 0, sizeof got, &n);
  EXPECT_EQ(std::string(got, n), std::string(50, 'c') + "XY" + std::string(8, 'c'));
  EXPECT_EQ(ReadFile(Local("h.txt")), c100 + "ddee");  // not before the close
  dev->CloseHandle(handle);
  EXPECT_EQ(ReadFile(Local("h.txt")), std::string(50, 'c') + "XY" + std::string(8, 'c'));
  EXPECT_THROW(dev->WriteAt("\\sub", "x", 0, 1, &written), EReFileNotFound);
}

TEST_P(DeviceOnServer, ServerHoldsEveryByteHoweverTheUploadIsClosed) {
  StartServer();
  const std::string content = PatternBytes(6 * 1024 * 1024 + 5, 11);
  {
    auto dev = Connect();
    // An upload is finished before anything reads the file.
    WriteAll(*dev, "\\byread.bin", content, 128 * 1024);
    std::string got(content.size(), '\0');
    DWORD n = 0;
    dev->ReadAt("\\byread.bin", &got[0], 0, static_cast<DWORD>(got.size()), &n);
    EXPECT_EQ(ChecksumOf(got.substr(0, n)), ChecksumOf(content));
    EXPECT_EQ(ChecksumOfFile(Local("byread.bin")), ChecksumOf(content));
    WriteAll(*dev, "\\bydestroy.bin", content, 128 * 1024);
  }  // unmount
  EXPECT_EQ(ChecksumOfFile(Local("bydestroy.bin")), ChecksumOf(content));
}

TEST_P(DeviceOnServer, CacheFollowsChangesAndListingsAgain) {
  WriteFile(Local("Readme"), "1");
  WriteFile(Local("README"), "22");
  MakeDirs(Local("d"));
  WriteFile(Local("d/old.txt"), "old");
  MakeSparseFile(Local("big.bin"), 5000000000ULL, 0, "");
  StartServer();
  auto dev = Connect();

  BY_HANDLE_FILE_INFORMATION info;
  dev->GetFileInfo("\\big.bin", &info);
  EXPECT_EQ(info.nFileSizeHigh, 1u);
  EXPECT_EQ(info.nFileSizeLow, 705032704u);
  dev->GetFileInfo("\\Readme", &info);
  EXPECT_EQ(info.nFileSizeLow, 1u);
  dev->GetFileInfo("\\README", &info);
  EXPECT_EQ(info.nFileSizeLow, 2u);
  EXPECT_THROW(dev->GetFileInfo("\\readme", &info), EReFileNotFound);
  dev->GetFileInfo("\\", &info);
  EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(FileTimeValue(info.ftLastWriteTime), 94353120000000000ULL);
  BY_HANDLE_FILE_INFORMATION root;
  EXPECT_TRUE(dev->GetCachedRootInfo("\\", &root));
  EXPECT_EQ(root.dwVolumeSerialNumber, dev->VolumeSerial());
  EXPECT_FALSE(dev->GetCachedRootInfo("\\d", &root));

  EXPECT_EQ(Enumerate(*dev, "\\d\\"), (std::vector<std::string>{".", "..", "old.txt"}));
  // Changed behind the device's back, then listed again after a change of its own: the
  // removed entry is gone and the walk shows every new one.
  RemoveTree(Local("d/old.txt"));
  WriteFile(Local("d/a.txt"), "a");
  WriteFile(Local("d/z.txt"), "z");
  dev->CreateDir("\\d\\e");
  EXPECT_EQ(Enumerate(*dev, "\\d\\"), (std::vector<std::string>{".", "..", "a.txt", "e", "z.txt"}));
  EXPECT_EQ(Enumerate(*dev, "\\d\\e\\"), (std::vector<std::string>{".", ".."}));

  // A removed directory takes its listing along: the new one of that name is empty.
  dev->RemoveFile("\\d\\a.txt");
  dev->RemoveFile("\\d\\z.txt");
  dev->RemoveDir("\\d\\e");
  dev->RemoveDir("\\d");
  dev->CreateDir("\\d");
  EXPECT_EQ(Enumerate(*dev, "\\d\\"), (std::vector<std::string>{".", ".."}));

  // A renamed directory: the old name is gone, the new one shows its content.
  WriteFile(Local("d/in.txt"), "in");
  dev->Rename("\\d", "\\d2");
  EXPECT_THROW(dev->GetFileInfo("\\d", &info), EReFileNotFound);
  dev->GetFileInfo("\\d2\\in.txt", &info);
  EXPECT_EQ(info.nFileSizeLow, 2u);
}

// A file that another client deleted after it was listed is created anew, not refused; one
// that cannot be deleted is never appended to in place of an empty file.
TEST_P(DeviceOnServer, CreateOverAFileDeletedElsewhereStartsItEmpty) {
  WriteFile(Local("gone.txt"), "old");
  MakeDirs(Local("locked"));
  WriteFile(Local("locked/keep.txt"), "keep");
  StartServer();
  auto dev = Connect();
  BY_HANDLE_FILE_INFORMATION info;
  dev->GetFileInfo("\\gone.txt", &info);
  dev->GetFileInfo("\\locked\\keep.txt", &info);
  RemoveTree(Local("gone.txt"));
  WriteAll(*dev, "\\gone.txt", "new content", 4);
  dev->FinishUpload("\\gone.txt");
  EXPECT_EQ(ReadFile(Local("gone.txt")), "new content");

  // A name the server refuses to delete (here a directory on the server under the file's
  // cached name) stays an error.
  RemoveTree(Local("locked/keep.txt"));
  MakeDirs(Local("locked/keep.txt"));
  WriteFile(Local("locked/keep.txt/inner"), "x");
  EXPECT_THROW(dev->CreateEmptyFile("\\locked\\keep.txt"), EReRefused);
}

INSTANTIATE_TEST_SUITE_P(Servers, DeviceOnServer,
                         ::testing::Values(Param{ServerKind::Pyftpdlib, true},
                                           Param{ServerKind::Vsftpd, true},
                                           Param{ServerKind::Vsftpd, false}),
                         Name);

// What the drive shows of each server: exact names (blanks kept), dot-files, times and modes,
// and what setting them does.
TEST(DeviceShowsTheServer, NamesTimesModesOnEveryServer) {
  for (ServerKind kind :
       {ServerKind::Pyftpdlib, ServerKind::Vsftpd, ServerKind::Proftpd, ServerKind::PureFtpd}) {
    TempDir root("veldra-device");
    for (const char* name : {" leading.txt", "trailing.txt ", "double  space.txt", ".hidden"})
      WriteFile(root / name, name);
    WriteFile(root / "run.sh", "#!/bin/sh\n");
    auto server = StartServer(kind, root.Path());
    TDeviceSettings settings = DeviceSettingsFor(*server);
    TFTPDevice dev(settings);
    for (const char* name : {" leading.txt", "trailing.txt ", "double  space.txt", ".hidden"}) {
      char buf[32];
      DWORD n = 0;
      dev.ReadAt(std::string("\\") + name, buf, 0, sizeof buf, &n);
      EXPECT_EQ(std::string(buf, n), name) << server->Name();
    }
    // A time set through the drive is the time the drive shows, to the second, and stays.
    const FILETIME set = MakeFileTime(132224078450000000ULL);  // 2020-01-02 03:04:05 UTC
    dev.SetFileTime("\\run.sh", set);
    dev.SetFileMode("\\run.sh", 0755);
    TDeviceSettings fresh = settings;  // a second mount sees what the server keeps
    TFTPDevice again(fresh);
    BY_HANDLE_FILE_INFORMATION info;
    again.GetFileInfo("\\run.sh", &info);
    const ULONGLONG shown = FileTimeValue(info.ftLastWriteTime);
    // A LIST-only server gives an old file's day only; the drive never shows a stray fraction.
    EXPECT_EQ(shown % 10000000ULL, 0u) << server->Name();
    EXPECT_LT(132224078450000000ULL - shown, 864000000000ULL) << server->Name();
    EXPECT_EQ(again.GetFileMode("\\run.sh") & 0111, 0111u) << server->Name();
    dev.GetFileInfo("\\run.sh", &info);
    EXPECT_EQ(FileTimeValue(info.ftLastWriteTime), 132224078450000000ULL) << server->Name();
  }
}

// A server that refuses writes: each refusal is the error a program expects.
TEST(DeviceShowsTheServer, RefusalsOfAReadOnlyServer) {
  TempDir root("veldra-device");
  MakeDirs(root / "full");
  WriteFile(root / "full/x", "x");
  WriteFile(root / "f", "f");
  ServerOptions options;
  options.allowWrite = false;
  auto server = StartVsftpd(root.Path(), options);
  TFTPDevice dev(DeviceSettingsFor(*server));
  struct Row {
    const char* what;
    std::function<void()> step;
    int expected;
  } rows[] = {
      {"mkdir", [&] { dev.CreateDir("\\new"); }, wincode::kAccessDenied},
      {"rm", [&] { dev.RemoveFile("\\f"); }, wincode::kAccessDenied},
      {"mv", [&] { dev.Rename("\\f", "\\g"); }, wincode::kAccessDenied},
      {"create", [&] { dev.CreateEmptyFile("\\new.txt"); }, wincode::kAccessDenied},
      {"name too long", [&] { dev.CreateEmptyFile("\\" + std::string(256, 'n')); },
       wincode::kFilenameTooLong},
  };
  for (const Row& row : rows) {
    try {
      row.step();
      ADD_FAILURE() << row.what << " succeeded";
    } catch (const EReRefused& e) {
      EXPECT_EQ(e.WindowsCode(), row.expected) << row.what << ": " << e.what();
    }
  }
}

}  // namespace
