// The drive callbacks driven directly, with a real device connected to a real FTP server on
// 127.0.0.1: return codes, what reaches the server, the owner check, the lock-free paths and the
// debug log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "drive/uveldra_drive.h"
#include "platform/TextConv.h"
#include "tests/support/FtpServers.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TempDir.h"

using veldra::platform::AnsiToWide;
using veldra::platform::WideToAnsi;
namespace vt = veldra::test;

namespace {

class CallbackTest : public ::testing::Test {
 protected:
  // Files the tests expect, laid out before the device lists the root.
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
    vt::MakeDirs(*root_ / "many");
    for (int i = 0; i < 200; ++i) vt::WriteFile(*root_ / ("many/f" + std::to_string(i)), "");
    server_ = vt::StartPyftpdlib(root_->Path(), options);
    FtpDevice = std::make_unique<TFTPDevice>(veldra::test::DeviceSettingsFor(*server_));
    info_ = DOKAN_FILE_INFO{};
    info_.ProcessId = static_cast<DWORD>(::getpid());
  }

  std::string OnServer(const std::string& name) { return vt::ReadFile(*root_ / name); }
  bool ExistsOnServer(const std::string& name) { return vt::Exists(*root_ / name); }

  int Create(const char* name, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    info_.IsDirectory = 7;  // must be overwritten
    return FtpCreateFile(W(name), 0xC0000000, 3, disposition, flags, &info_);
  }
  int Write(const char* name, const std::string& data, LONGLONG offset) {
    DWORD written = 12345;
    int code = FtpWriteFile(W(name), data.data(), static_cast<DWORD>(data.size()), &written, offset,
                            &info_);
    lastCount_ = written;
    return code;
  }
  int Read(const char* name, std::string* data, DWORD length, LONGLONG offset) {
    data->assign(length, '\0');
    DWORD got = 12345;
    int code = FtpReadFile(W(name), data->data(), length, &got, offset, &info_);
    lastCount_ = got;
    if (code == 0) data->resize(got);
    return code;
  }
  int Close(const char* name) {
    int code = FtpCleanup(W(name), &info_);
    FtpCloseFile(W(name), &info_);
    return code;
  }
  std::vector<std::string> List(const char* path) {
    listed_.clear();
    lastCode_ = FtpFindFiles(W(path), &Collect, &info_);
    return listed_;
  }

  // A UTF-16 name kept alive for the call.
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
  DWORD lastCount_ = 0;
  int lastCode_ = 0;
  std::vector<std::u16string> names_;
  static std::vector<std::string> listed_;
};

std::vector<std::string> CallbackTest::listed_;

TEST_F(CallbackTest, CreateFileDispositions) {
  // CREATE_NEW: existing file -183 and unchanged; directory -1; new name created empty.
  EXPECT_EQ(-183, Create("\\a.txt", CREATE_NEW));
  EXPECT_EQ(0, info_.IsDirectory);
  EXPECT_EQ("alpha", OnServer("a.txt"));
  EXPECT_EQ(-1, Create("\\d", CREATE_NEW));
  EXPECT_EQ(1, info_.IsDirectory);
  EXPECT_EQ(0, Create("\\new.txt", CREATE_NEW));
  EXPECT_EQ(0, Close("\\new.txt"));
  EXPECT_TRUE(ExistsOnServer("new.txt"));
  EXPECT_EQ("", OnServer("new.txt"));

  // OPEN_ALWAYS: creates a missing file, leaves an existing one.
  EXPECT_EQ(0, Create("\\oa.txt", OPEN_ALWAYS));
  EXPECT_EQ(0, Close("\\oa.txt"));
  EXPECT_TRUE(ExistsOnServer("oa.txt"));
  EXPECT_EQ(0, Create("\\b.txt", OPEN_ALWAYS));
  EXPECT_EQ("bravo!", OnServer("b.txt"));
  EXPECT_EQ(-1, Create("\\d", OPEN_ALWAYS));

  // CREATE_ALWAYS empties an existing file; never replaces a directory.
  EXPECT_EQ(0, Create("\\b.txt", CREATE_ALWAYS));
  EXPECT_EQ(0, Close("\\b.txt"));
  EXPECT_EQ("", OnServer("b.txt"));
  EXPECT_EQ(-1, Create("\\d", CREATE_ALWAYS));
  EXPECT_TRUE(ExistsOnServer("d/inner.txt"));

  // OPEN_EXISTING: missing -2; directory 0 with IsDirectory.
  EXPECT_EQ(-2, Create("\\missing", OPEN_EXISTING));
  EXPECT_EQ(0, Create("\\d", OPEN_EXISTING));
  EXPECT_EQ(1, info_.IsDirectory);
  EXPECT_EQ(0, Create("\\a.txt", OPEN_EXISTING));
  EXPECT_EQ(0, info_.IsDirectory);

  // TRUNCATE_EXISTING: missing -2 and nothing created; existing emptied.
  EXPECT_EQ(-2, Create("\\nothing", TRUNCATE_EXISTING));
  EXPECT_FALSE(ExistsOnServer("nothing"));
  EXPECT_EQ(0, Create("\\a.txt", TRUNCATE_EXISTING));
  EXPECT_EQ(0, Close("\\a.txt"));
  EXPECT_EQ("", OnServer("a.txt"));

  // Delete-on-close is refused whatever the disposition; unknown dispositions do nothing.
  for (DWORD disposition = 1; disposition <= 5; ++disposition) {
    EXPECT_EQ(-1, Create("\\x", disposition, FILE_FLAG_DELETE_ON_CLOSE));
  }
  EXPECT_FALSE(ExistsOnServer("x"));
  EXPECT_EQ(0, Create("\\d", 0));
  EXPECT_EQ(0, info_.IsDirectory);
  EXPECT_EQ(0, Create("\\zz", 6));
  EXPECT_FALSE(ExistsOnServer("zz"));

  // Directories: open, create, and their refusals.
  EXPECT_EQ(0, FtpOpenDirectory(W("\\d\\"), &info_));
  EXPECT_EQ(1, info_.IsDirectory);
  EXPECT_EQ(0, FtpOpenDirectory(W("\\a.txt"), &info_));
  EXPECT_EQ(0, info_.IsDirectory);
  EXPECT_EQ(-2, FtpOpenDirectory(W("\\nodir"), &info_));
  EXPECT_EQ(0, FtpCreateDirectory(W("\\made"), &info_));
  EXPECT_TRUE(vt::Exists(*root_ / "made"));
  EXPECT_EQ(-58, FtpCreateDirectory(W("\\d"), &info_));
}

TEST_F(CallbackTest, ReadsAndWrites) {
  // In-order chunks from offset 0 of an empty file; complete on the server after the flush.
  ASSERT_EQ(0, Create("\\up.bin", CREATE_ALWAYS));
  std::string content = vt::PatternBytes(300000, 7);
  for (size_t at = 0; at < content.size(); at += 70000) {
    std::string chunk = content.substr(at, 70000);
    ASSERT_EQ(0, Write("\\up.bin", chunk, static_cast<LONGLONG>(at)));
    EXPECT_EQ(chunk.size(), lastCount_);
  }
  EXPECT_EQ(0, FtpFlushFileBuffers(W("\\up.bin"), &info_));
  EXPECT_EQ(content, OnServer("up.bin"));

  // Middle writes and short rewrites are refused and change nothing.
  EXPECT_EQ(-25, Write("\\up.bin", "zz", 10));
  EXPECT_EQ(0u, lastCount_);
  EXPECT_EQ(-25, Write("\\up.bin", "short", 0));
  EXPECT_EQ(0, Close("\\up.bin"));
  EXPECT_EQ(content, OnServer("up.bin"));
  // A rewrite at least as long replaces the file.
  EXPECT_EQ(0, Write("\\b.txt", "BRAVO!!", 0));
  EXPECT_EQ(0, Close("\\b.txt"));
  EXPECT_EQ("BRAVO!!", OnServer("b.txt"));

  // Reads: whole, from an offset, at the end, of nothing, of a directory.
  std::string data;
  ASSERT_EQ(0, Read("\\up.bin", &data, 100000, 0));
  std::string all = data;
  while (all.size() < content.size() && lastCount_ > 0) {
    ASSERT_EQ(0, Read("\\up.bin", &data, 100000, static_cast<LONGLONG>(all.size())));
    all += data;
  }
  EXPECT_EQ(content, all);
  ASSERT_EQ(0, Read("\\up.bin", &data, 10, 1000));
  EXPECT_EQ(content.substr(1000, data.size()), data);
  EXPECT_EQ(0, Read("\\up.bin", &data, 10, static_cast<LONGLONG>(content.size())));
  EXPECT_EQ(0u, lastCount_);
  EXPECT_EQ(0, Read("\\up.bin", &data, 0, 0));
  EXPECT_EQ(0u, lastCount_);
  EXPECT_EQ(-2, Read("\\d", &data, 10, 0));
  EXPECT_EQ(0u, lastCount_);
  EXPECT_EQ(-2, Read("\\gone", &data, 10, 0));

  // Null count pointers work.
  char buffer[5];
  EXPECT_EQ(0, FtpReadFile(W("\\a.txt"), buffer, 5, nullptr, 0, &info_));
  EXPECT_EQ("alpha", std::string(buffer, 5));
  EXPECT_EQ(0, Create("\\n.txt", CREATE_ALWAYS));
  EXPECT_EQ(0, FtpWriteFile(W("\\n.txt"), "abc", 3, nullptr, 0, &info_));
  EXPECT_EQ(0, Close("\\n.txt"));
  EXPECT_EQ("abc", OnServer("n.txt"));
}

TEST_F(CallbackTest, ListingInformationDeleteMoveTruncate) {
  EXPECT_EQ((std::vector<std::string>{".", ".."}), List("\\empty"));
  EXPECT_EQ(0, lastCode_);
  std::vector<std::string> many = List("\\many\\*");
  EXPECT_EQ(0, lastCode_);
  EXPECT_EQ(202u, many.size());
  EXPECT_EQ(".", many.front());
  List("\\nosuchdir\\");
  EXPECT_EQ(-51, lastCode_);

  BY_HANDLE_FILE_INFORMATION record{};
  EXPECT_EQ(-2, FtpGetFileInformation(W("\\missing"), &record, &info_));
  ASSERT_EQ(0, FtpGetFileInformation(W("\\b.txt"), &record, &info_));
  EXPECT_EQ(6u, record.nFileSizeLow);
  EXPECT_EQ(0, info_.IsDirectory);
  ASSERT_EQ(0, FtpGetFileInformation(W("\\d"), &record, &info_));
  EXPECT_EQ(1, info_.IsDirectory);

  // Truncation: same size is a no-op, 0 empties, anything else refused.
  EXPECT_EQ(0, FtpSetEndOfFile(W("\\b.txt"), 6, &info_));
  EXPECT_EQ("bravo!", OnServer("b.txt"));
  EXPECT_EQ(-1, FtpSetEndOfFile(W("\\b.txt"), 3, &info_));
  EXPECT_EQ(-1, FtpSetEndOfFile(W("\\b.txt"), 60, &info_));
  EXPECT_EQ(0, FtpSetEndOfFile(W("\\b.txt"), 0, &info_));
  EXPECT_EQ(0, Close("\\b.txt"));
  EXPECT_EQ("", OnServer("b.txt"));

  // Move without replacing onto an existing name: refused, nothing renamed.
  EXPECT_EQ(-183, FtpMoveFile(W("\\a.txt"), W("\\b.txt"), 0, &info_));
  EXPECT_EQ("alpha", OnServer("a.txt"));
  EXPECT_EQ("", OnServer("b.txt"));
  EXPECT_EQ(0, FtpMoveFile(W("\\a.txt"), W("\\c.txt"), 0, &info_));
  EXPECT_EQ("alpha", OnServer("c.txt"));
  EXPECT_EQ(0, FtpMoveFile(W("\\c.txt"), W("\\b.txt"), 1, &info_));
  EXPECT_EQ("alpha", OnServer("b.txt"));
  EXPECT_FALSE(ExistsOnServer("c.txt"));
  EXPECT_EQ(-58, FtpMoveFile(W("\\nope"), W("\\nope2"), 1, &info_));

  // Deleting: missing file and non-empty directory are refused.
  EXPECT_EQ(-58, FtpDeleteFile(W("\\missing"), &info_));
  EXPECT_EQ(-58, FtpDeleteDirectory(W("\\d"), &info_));
  EXPECT_TRUE(ExistsOnServer("d/inner.txt"));
  EXPECT_EQ(0, FtpDeleteFile(W("\\d\\inner.txt"), &info_));
  EXPECT_EQ(0, FtpDeleteDirectory(W("\\d"), &info_));
  EXPECT_FALSE(ExistsOnServer("d"));
}

TEST_F(CallbackTest, OwnerCheckVolumeAndLockFreeRoot) {
  // Volume values, a too-small name buffer, a null file info.
  WCHAR volume[64], fsName[16];
  DWORD serial = 0, maxLength = 0, flags = 0;
  ASSERT_EQ(0,
            FtpGetVolumeInformation(volume, 64, &serial, &maxLength, &flags, fsName, 16, &info_));
  EXPECT_EQ("ftp://127.0.0.1", WideToAnsi(volume).substr(0, 15));
  EXPECT_EQ("VELDRA", WideToAnsi(fsName));
  EXPECT_EQ(260u, maxLength);
  EXPECT_EQ(7u, flags);
  EXPECT_EQ(FtpDevice->VolumeSerial(), serial);
  EXPECT_EQ(0, FtpGetVolumeInformation(volume, 5, nullptr, nullptr, nullptr, nullptr, 0, &info_));
  EXPECT_EQ(u"", std::u16string(volume));
  EXPECT_EQ(-31,
            FtpGetVolumeInformation(volume, 64, nullptr, nullptr, nullptr, nullptr, 0, nullptr));

  // The root, once known, and the volume are answered while another thread holds the lock.
  BY_HANDLE_FILE_INFORMATION record{};
  ASSERT_EQ(0, FtpGetFileInformation(W("\\"), &record, &info_));
  {
    std::lock_guard<std::mutex> hold(DeviceLock);
    auto answer = std::async(std::launch::async, [this] {
      DOKAN_FILE_INFO info = info_;
      BY_HANDLE_FILE_INFORMATION root{};
      WCHAR name[64];
      return FtpGetFileInformation(u"\\", &root, &info) == 0 && info.IsDirectory == 1 &&
             FtpOpenDirectory(u"\\", &info) == 0 &&
             FtpCreateFile(u"\\", 0, 3, OPEN_EXISTING, 0, &info) == 0 &&
             FtpGetVolumeInformation(name, 64, nullptr, nullptr, nullptr, nullptr, 0, &info) == 0;
    });
    ASSERT_EQ(std::future_status::ready, answer.wait_for(std::chrono::seconds(10)));
    EXPECT_TRUE(answer.get());
  }

  // A process of no user we can name: refused where the table says so, served elsewhere.
  // (Requests that carry the serving process's own id are the library's and never refused.)
  const DWORD self = info_.ProcessId;
  info_.ProcessId = 0;
  OwnerUser = "65533";
  std::string data;
  EXPECT_EQ(-5, Create("\\a.txt", OPEN_EXISTING));
  EXPECT_EQ(-5, FtpOpenDirectory(W("\\d"), &info_));
  EXPECT_EQ(-5, FtpCreateDirectory(W("\\e"), &info_));
  EXPECT_EQ(-5, Read("\\a.txt", &data, 5, 0));
  EXPECT_EQ(-5, FtpGetFileInformation(W("\\a.txt"), &record, &info_));
  EXPECT_EQ(-5, FtpDeleteFile(W("\\a.txt"), &info_));
  EXPECT_EQ(-5, FtpDeleteDirectory(W("\\empty"), &info_));
  EXPECT_EQ(-5, FtpGetVolumeInformation(volume, 64, nullptr, nullptr, nullptr, nullptr, 0, &info_));
  List("\\");
  EXPECT_EQ(-5, lastCode_);
  EXPECT_EQ(0, FtpCleanup(W("\\a.txt"), &info_));
  EXPECT_EQ(0, FtpCloseFile(W("\\a.txt"), &info_));
  EXPECT_EQ(0, FtpFlushFileBuffers(W("\\a.txt"), &info_));
  EXPECT_EQ(0, FtpMoveFile(W("\\a.txt"), W("\\moved.txt"), 1, &info_));
  EXPECT_EQ(0, FtpSetEndOfFile(W("\\moved.txt"), 5, &info_));
  EXPECT_TRUE(ExistsOnServer("moved.txt"));
  EXPECT_FALSE(ExistsOnServer("e"));
  info_.ProcessId = self;
  EXPECT_EQ(0, Create("\\moved.txt", OPEN_EXISTING));
}

TEST_F(CallbackTest, RefusedUploadIsAFailedWrite) {
  vt::ServerOptions readOnly;
  readOnly.allowWrite = false;
  Start(readOnly);
  DWORD written = 99;
  // Appending at the end of an existing file is refused by the server: an error, 0 written.
  EXPECT_EQ(-53, FtpWriteFile(W("\\a.txt"), "more", 4, &written, 5, &info_));
  EXPECT_EQ(0u, written);
  Close("\\a.txt");
  EXPECT_EQ("alpha", OnServer("a.txt"));
  EXPECT_EQ(-58, FtpCreateDirectory(W("\\new"), &info_));
}

// A server that takes every command but refuses each non-empty upload once its data is complete
// ("552" after the data connection closes), as a server over its quota does.
void RefuseCompletedUploads(vt::ScriptedSession& s) {
  if (!s.Greet()) return;
  for (int i = 0; i < 200; ++i) {
    const std::string command = s.ReadCommand(10000);
    if (command.empty()) return;
    const std::string verb = command.substr(0, command.find(' '));
    if (verb == "USER") {
      s.Send("331 Password required.");
    } else if (verb == "PASS") {
      s.Send("230 Logged in.");
    } else if (verb == "SYST") {
      s.Send("215 UNIX Type: L8");
    } else if (verb == "TYPE") {
      s.Send("200 Type set.");
    } else if (verb == "CWD" || verb == "DELE") {
      s.Send("250 OK.");
    } else if (verb == "REST") {
      s.Send("350 Restarting.");
    } else if (verb == "PASV") {
      s.Send(s.OpenPassive());
    } else if (verb == "LIST") {
      s.Send("150 Listing.");
      if (s.AcceptData()) {
        s.SendData("-rw-r--r-- 1 u g 0 Jan 01 2020 q.txt\r\n");
        s.CloseData();
      }
      s.Send("226 Done.");
    } else if (verb == "APPE" || verb == "STOR") {
      s.Send("150 Go ahead.");
      const std::string data = s.AcceptData() ? s.ReceiveData() : std::string();
      s.Send(data.empty() ? "226 Stored." : "552 Storage allocation exceeded.");
    } else if (verb == "QUIT") {
      s.Send("221 Bye.");
      return;
    } else {
      s.Send("502 Not implemented.");
    }
  }
}

// A refused completion is the error of the flush (and so of close), never lost.
TEST(CallbackCompletion, RefusedCompletionFailsTheFlush) {
  vt::ScriptedFtpServer server(RefuseCompletedUploads);
  FtpDevice = std::make_unique<TFTPDevice>([&] {
    TDeviceSettings s;
    s.Host = "127.0.0.1";
    s.RemotePath = "";
    s.User = "u";
    s.Password = "p";
    s.Passive = true;
    s.Port = server.Port();
    return s;
  }());
  DOKAN_FILE_INFO info{};
  info.ProcessId = static_cast<DWORD>(::getpid());
  ASSERT_EQ(0, FtpCreateFile(u"\\q.txt", 0x40000000, 3, CREATE_ALWAYS, 0x80, &info));
  DWORD written = 0;
  EXPECT_EQ(0, FtpWriteFile(u"\\q.txt", "data", 4, &written, 0, &info));
  EXPECT_EQ(4u, written);
  EXPECT_EQ(-53, FtpFlushFileBuffers(u"\\q.txt", &info));
  // Reported once: the handle's last close has nothing left to finish.
  EXPECT_EQ(0, FtpCleanup(u"\\q.txt", &info));
  FtpDevice.reset();
  EXPECT_TRUE(server.Mismatches().empty());
}

// One request of each kind, with the lines the log shows for it.
TEST_F(CallbackTest, DebugLines) {
  DebugMode = true;
  OwnerUser.clear();
  info_.ProcessId = 4242;
  BY_HANDLE_FILE_INFORMATION record{};
  char buffer[8];
  DWORD count = 0;
  WCHAR volume[64];
  ::testing::internal::CaptureStdout();
  Create("\\a.txt", OPEN_EXISTING);
  FtpReadFile(W("\\a.txt"), buffer, 8, &count, 0, &info_);
  FtpGetFileInformation(W("\\a.txt"), &record, &info_);
  FtpCleanup(W("\\a.txt"), &info_);
  FtpCloseFile(W("\\a.txt"), &info_);
  FtpMoveFile(W("\\a.txt"), W("\\b.txt"), 0, &info_);
  FtpSetEndOfFile(W("\\b.txt"), 6, &info_);
  FtpGetVolumeInformation(volume, 64, nullptr, nullptr, nullptr, nullptr, 0, &info_);
  Create("\\x", CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  FtpUnmount(&info_);
  std::string out = ::testing::internal::GetCapturedStdout();
  // The session's own lines are indented by four or more blanks; keep the drive's.
  std::istringstream lines(out);
  std::string line, drive;
  while (std::getline(lines, line)) {
    if (line.rfind("    ", 0) != 0) drive += line + "\n";
  }
  const std::string expected =
      "FtpCreateFile: \\a.txt\n"
      "  CreationDisposition: 3\n"
      "  AccessMode: 3221225472\n"
      "  FlagsAndAttributes: 128\n"
      "  PID: 4242\n"
      "  -->Ext: 0\n"
      "FtpReadFile: \\a.txt\n"
      "  Offset: 0\n"
      "  BufferLength: 8\n"
      "  ReadLength: 5\n"
      "  -->Ext: 0\n"
      "FtpGetFileInformation: \\a.txt\n"
      "  -->Ext: 0\n"
      "FtpCleanup: \\a.txt\n"
      "FtpCloseFile: \\a.txt\n"
      "FtpMoveFile: \\a.txt\n"
      "  NewFileName: \\b.txt\n"
      "  ReplaceIfExisting: FALSE\n"
      "  -->Ext: -183\n"
      "FtpSetEndOfFile: \\b.txt\n"
      "  ByteOffset: 6\n"
      "  -->Ext: 0\n"
      "FtpGetVolumeInformation\n"
      "  lpVolumeNameBuffer: " +
      WideToAnsi(volume) +
      "\n"
      "  -->Ext: 0\n"
      "FtpCreateFile: \\x\n"
      "  CreationDisposition: 1\n"
      "  AccessMode: 3221225472\n"
      "  FlagsAndAttributes: 67108864\n"
      "  PID: 4242\n"
      "FtpUnmount\n";
  EXPECT_EQ(expected, drive);
}

}  // namespace
