// The drive callbacks driven directly, with a real device connected to a real FTP server on
// 127.0.0.1: return codes and what reaches the server, one row per request, then the owner
// check, the volume and the log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "drive/uveldra_drive.h"
#include "platform/TextConv.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"

using veldra::platform::AnsiToWide;
using veldra::platform::WideToAnsi;
namespace vt = veldra::test;

namespace {

class CallbackTest : public ::testing::Test {
 protected:
  void SetUp() override { Start({}); }
  void TearDown() override {
    FtpDevice.reset();
    OwnerUser.clear();
    DebugMode = false;
  }

  void Start(const vt::ServerOptions& options) {
    FtpDevice.reset();
    root_ = std::make_unique<vt::TempDir>("veldra-drive");
    vt::WriteFile(*root_ / "a.txt", "alpha");
    vt::WriteFile(*root_ / "b.txt", "bravo!");
    vt::MakeDirs(*root_ / "d");
    vt::WriteFile(*root_ / "d/inner.txt", "x");
    vt::MakeDirs(*root_ / "empty");
    server_ = vt::StartPyftpdlib(root_->Path(), options);
    FtpDevice = std::make_unique<TFTPDevice>(vt::DeviceSettingsFor(*server_));
    info_ = DOKAN_FILE_INFO{};
    info_.ProcessId = static_cast<DWORD>(::getpid());
  }

  std::string OnServer(const std::string& name) {
    return vt::Exists(*root_ / name) ? vt::ReadFile(*root_ / name) : "<none>";
  }

  int Create(const std::string& name, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    info_.IsDirectory = 7;  // must be overwritten
    return FtpCreateFile(W(name), 0xC0000000, 3, disposition, flags, &info_);
  }
  int Write(const std::string& name, const std::string& data, LONGLONG offset) {
    DWORD written = 12345;
    const int code = FtpWriteFile(W(name), data.data(), static_cast<DWORD>(data.size()), &written,
                                  offset, &info_);
    count_ = written;
    return code;
  }
  int Read(const std::string& name, DWORD length, LONGLONG offset) {
    read_.assign(length, '\0');
    DWORD got = 12345;
    const int code = FtpReadFile(W(name), read_.data(), length, &got, offset, &info_);
    count_ = got;
    read_.resize(code == 0 ? got : 0);
    return code;
  }
  int Close(const std::string& name) {
    const int code = FtpCleanup(W(name), &info_);
    FtpCloseFile(W(name), &info_);
    return code;
  }
  int List(const std::string& path) {
    listed_.clear();
    return FtpFindFiles(W(path), &Collect, &info_);
  }
  // A UTF-16 name kept alive (and in place) for the test's life.
  const WCHAR* W(const std::string& name) {
    names_.push_back(AnsiToWide(name));
    return names_.back().c_str();
  }
  static int Collect(WIN32_FIND_DATAW* data, DOKAN_FILE_INFO*) {
    listed_.push_back(WideToAnsi(data->cFileName));
    return 0;
  }

  std::unique_ptr<vt::TempDir> root_;
  std::unique_ptr<vt::TestFtpServer> server_;
  DOKAN_FILE_INFO info_{};
  DWORD count_ = 0;
  std::string read_;
  std::list<std::u16string> names_;
  static std::vector<std::string> listed_;
};

std::vector<std::string> CallbackTest::listed_;

// One request per row, in order, each with its result and what the server then holds.
TEST_F(CallbackTest, RequestsAndWhatTheServerHolds) {
  const std::string big = vt::PatternBytes(300000, 7);
  BY_HANDLE_FILE_INFORMATION record{};
  struct Row {
    const char* what;
    std::function<int()> request;
    int expected;
    const char* file;     // checked on the server when not null
    std::string content;  // what it holds ("<none>": absent)
  } rows[] = {
      {"create new over a file", [&] { return Create("\\a.txt", CREATE_NEW); }, -183, "a.txt",
       "alpha"},
      {"create new over a directory", [&] { return Create("\\d", CREATE_NEW); }, -1, nullptr, ""},
      {"create new", [&] { return Create("\\new.txt", CREATE_NEW) + Close("\\new.txt"); }, 0,
       "new.txt", ""},
      {"open always keeps", [&] { return Create("\\b.txt", OPEN_ALWAYS); }, 0, "b.txt", "bravo!"},
      {"open always on a directory", [&] { return Create("\\d", OPEN_ALWAYS); }, -1, nullptr, ""},
      {"create always empties", [&] { return Create("\\b.txt", CREATE_ALWAYS) + Close("\\b.txt"); },
       0, "b.txt", ""},
      {"create always spares a directory", [&] { return Create("\\d", CREATE_ALWAYS); }, -1,
       "d/inner.txt", "x"},
      {"open missing", [&] { return Create("\\missing", OPEN_EXISTING); }, -2, nullptr, ""},
      {"open a directory",
       [&] { return Create("\\d", OPEN_EXISTING) + (info_.IsDirectory == 1 ? 0 : 99); }, 0, nullptr,
       ""},
      {"truncate missing", [&] { return Create("\\nothing", TRUNCATE_EXISTING); }, -2, "nothing",
       "<none>"},
      {"delete on close", [&] { return Create("\\x", CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE); }, -1,
       "x", "<none>"},
      {"unknown disposition", [&] { return Create("\\zz", 6); }, 0, "zz", "<none>"},
      {"open directory",
       [&] { return FtpOpenDirectory(W("\\d\\"), &info_) + (info_.IsDirectory == 1 ? 0 : 99); }, 0,
       nullptr, ""},
      {"open missing directory", [&] { return FtpOpenDirectory(W("\\nodir"), &info_); }, -2,
       nullptr, ""},
      {"make directory", [&] { return FtpCreateDirectory(W("\\made"), &info_); }, 0, nullptr, ""},
      {"make existing directory", [&] { return FtpCreateDirectory(W("\\d"), &info_); }, -183,
       nullptr, ""},
      {"write in order",
       [&] {
         int code = Create("\\up.bin", CREATE_ALWAYS);
         for (size_t at = 0; at < big.size(); at += 70000)
           code += Write("\\up.bin", big.substr(at, 70000), static_cast<LONGLONG>(at));
         return code + FtpFlushFileBuffers(W("\\up.bin"), &info_);
       },
       0, "up.bin", big},
      // Out of order: the file is spooled and goes to the server whole at the close.
      {"write in the middle", [&] { return Write("\\up.bin", "zz", 10); }, 0, "up.bin", big},
      {"short rewrite", [&] { return Write("\\up.bin", "short", 0) + Close("\\up.bin"); }, 0,
       "up.bin", "short" + big.substr(5, 5) + "zz" + big.substr(12)},
      {"whole rewrite", [&] { return Write("\\b.txt", "BRAVO!!", 0) + Close("\\b.txt"); }, 0,
       "b.txt", "BRAVO!!"},
      {"read at an offset",
       [&] { return Read("\\up.bin", 10, 1000) + (read_ == big.substr(1000, 10) ? 0 : 99); }, 0,
       nullptr, ""},
      {"read at the end",
       [&] { return Read("\\up.bin", 10, static_cast<LONGLONG>(big.size())) + int(count_); }, 0,
       nullptr, ""},
      {"read a directory", [&] { return Read("\\d", 10, 0); }, -2, nullptr, ""},
      {"list an empty directory", [&] { return List("\\empty") + int(listed_.size()) - 2; }, 0,
       nullptr, ""},
      {"list with a pattern",
       [&] { return List("\\d\\*") + (listed_.back() == "inner.txt" ? 0 : 99); }, 0, nullptr, ""},
      {"list a missing directory", [&] { return List("\\nosuchdir\\"); }, -2, nullptr, ""},
      {"information of a file",
       [&] {
         return FtpGetFileInformation(W("\\b.txt"), &record, &info_) + int(record.nFileSizeLow) - 7;
       },
       0, nullptr, ""},
      {"information of a missing name",
       [&] { return FtpGetFileInformation(W("\\missing"), &record, &info_); }, -2, nullptr, ""},
      {"truncate to the same size", [&] { return FtpSetEndOfFile(W("\\b.txt"), 7, &info_); }, 0,
       "b.txt", "BRAVO!!"},
      {"truncate to another size",
       [&] { return FtpSetEndOfFile(W("\\b.txt"), 3, &info_) + Close("\\b.txt"); }, 0, "b.txt",
       "BRA"},
      {"truncate to 0", [&] { return FtpSetEndOfFile(W("\\b.txt"), 0, &info_) + Close("\\b.txt"); },
       0, "b.txt", ""},
      {"move without replacing", [&] { return FtpMoveFile(W("\\a.txt"), W("\\b.txt"), 0, &info_); },
       -183, "a.txt", "alpha"},
      {"move", [&] { return FtpMoveFile(W("\\a.txt"), W("\\c.txt"), 0, &info_); }, 0, "c.txt",
       "alpha"},
      {"move replacing", [&] { return FtpMoveFile(W("\\c.txt"), W("\\b.txt"), 1, &info_); }, 0,
       "b.txt", "alpha"},
      {"move a missing name", [&] { return FtpMoveFile(W("\\nope"), W("\\nope2"), 1, &info_); }, -2,
       nullptr, ""},
      {"delete a missing file", [&] { return FtpDeleteFile(W("\\missing"), &info_); }, -2, nullptr,
       ""},
      {"remove a full directory", [&] { return FtpDeleteDirectory(W("\\d"), &info_); }, -145,
       "d/inner.txt", "x"},
      {"delete", [&] { return FtpDeleteFile(W("\\d\\inner.txt"), &info_); }, 0, "d/inner.txt",
       "<none>"},
      {"remove a directory", [&] { return FtpDeleteDirectory(W("\\d"), &info_); }, 0, "d",
       "<none>"},
      {"set a time",
       [&] {
         const FILETIME t = MakeFileTime(132223838450000000ULL);
         return FtpSetFileTime(W("\\b.txt"), nullptr, nullptr, &t, &info_) +
                FtpGetFileInformation(W("\\b.txt"), &record, &info_) +
                (FileTimeValue(record.ftLastWriteTime) == 132223838450000000ULL ? 0 : 99);
       },
       0, nullptr, ""},
      {"set a mode",
       [&] {
         DWORD mode = 0;
         return FtpSetFileMode(W("\\b.txt"), 0700, &info_) +
                FtpGetFileMode(W("\\b.txt"), &mode, &info_) + int(mode) - 0700;
       },
       0, nullptr, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.request(), row.expected) << row.what;
    if (row.file != nullptr) {
      EXPECT_EQ(OnServer(row.file), row.content) << row.what;
    }
  }
}

TEST_F(CallbackTest, OwnerCheckAndVolume) {
  WCHAR volume[64], fsName[16];
  DWORD serial = 0, maxLength = 0, flags = 0;
  ASSERT_EQ(0,
            FtpGetVolumeInformation(volume, 64, &serial, &maxLength, &flags, fsName, 16, &info_));
  EXPECT_EQ("ftp://127.0.0.1", WideToAnsi(volume).substr(0, 15));
  EXPECT_EQ("VELDRA", WideToAnsi(fsName));
  EXPECT_EQ(255u, maxLength);
  EXPECT_EQ(FtpDevice->VolumeSerial(), serial);
  EXPECT_EQ(0, FtpGetVolumeInformation(volume, 5, nullptr, nullptr, nullptr, nullptr, 0, &info_));
  EXPECT_EQ(u"", std::u16string(volume));
  EXPECT_EQ(-31,
            FtpGetVolumeInformation(volume, 64, nullptr, nullptr, nullptr, nullptr, 0, nullptr));

  // A process of no user we can name: refused where the table says so, served elsewhere.
  // (Requests that carry the serving process's own id are the library's and never refused.)
  BY_HANDLE_FILE_INFORMATION record{};
  const DWORD self = info_.ProcessId;
  info_.ProcessId = 0;
  OwnerUser = "65533";
  EXPECT_EQ(-5, Create("\\a.txt", OPEN_EXISTING));
  EXPECT_EQ(-5, FtpOpenDirectory(W("\\d"), &info_));
  EXPECT_EQ(-5, FtpCreateDirectory(W("\\e"), &info_));
  EXPECT_EQ(-5, Read("\\a.txt", 5, 0));
  EXPECT_EQ(-5, FtpGetFileInformation(W("\\a.txt"), &record, &info_));
  EXPECT_EQ(-5, FtpDeleteFile(W("\\a.txt"), &info_));
  EXPECT_EQ(-5, FtpDeleteDirectory(W("\\empty"), &info_));
  EXPECT_EQ(-5, List("\\"));
  EXPECT_EQ(0, FtpCleanup(W("\\a.txt"), &info_));
  EXPECT_EQ(0, FtpFlushFileBuffers(W("\\a.txt"), &info_));
  EXPECT_EQ(0, FtpMoveFile(W("\\a.txt"), W("\\moved.txt"), 1, &info_));
  EXPECT_EQ("alpha", OnServer("moved.txt"));
  info_.ProcessId = self;
  EXPECT_EQ(0, Create("\\moved.txt", OPEN_EXISTING));
}

TEST_F(CallbackTest, RefusalsOfAReadOnlyServer) {
  vt::ServerOptions readOnly;
  readOnly.allowWrite = false;
  Start(readOnly);
  DWORD written = 99;
  // Appending to an existing file is refused by the server: an error, 0 written.
  EXPECT_EQ(-5, FtpWriteFile(W("\\a.txt"), "more", 4, &written, 5, &info_));
  EXPECT_EQ(0u, written);
  Close("\\a.txt");
  EXPECT_EQ("alpha", OnServer("a.txt"));
  EXPECT_EQ(-5, FtpCreateDirectory(W("\\new"), &info_));
}

// One request of each kind: the log shows it with its arguments and its result.
TEST_F(CallbackTest, DebugLines) {
  DebugMode = true;
  info_.ProcessId = 4242;
  DWORD count = 0;
  char buffer[8];
  ::testing::internal::CaptureStdout();
  Create("\\a.txt", OPEN_EXISTING);
  FtpReadFile(W("\\a.txt"), buffer, 8, &count, 0, &info_);
  FtpCleanup(W("\\a.txt"), &info_);
  FtpMoveFile(W("\\a.txt"), W("\\b.txt"), 0, &info_);
  const std::string out = ::testing::internal::GetCapturedStdout();
  for (const char* expected :
       {"FtpCreateFile: \\a.txt\n  CreationDisposition: 3\n  AccessMode: 3221225472\n"
        "  FlagsAndAttributes: 128\n  PID: 4242\n",
        "FtpReadFile: \\a.txt\n  Offset: 0\n  BufferLength: 8\n", "  ReadLength: 5\n  -->Ext: 0\n",
        "FtpCleanup: \\a.txt\n",
        "FtpMoveFile: \\a.txt\n  NewFileName: \\b.txt\n  ReplaceIfExisting: FALSE\n",
        "  -->Ext: -183\n"}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\nin:\n" << out;
  }
}

}  // namespace
